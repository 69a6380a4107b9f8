#pragma once
// Camera frames to the RGB888 images the program measures and shows. What a frame holds
// is decided by its own pixel type, never by the name the camera's PixelFormat node gives
// the format (cameras name the same layout differently, e.g. "RGB8Packed").

#include <QImage>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "FrameMemory.h"
#include "sdk/Sdk.h"

namespace lumetra::camera {

// One frame as the camera delivered it, in sensor orientation.
struct RawFrame {
    const uint8_t* data = nullptr;
    size_t size = 0; // bytes available at data
    int width = 0;
    int height = 0;
    size_t paddingX = 0; // bytes after each line
    sdk::PixelType type = sdk::PixelType::Undefined;
};

using lumetra::ImagePool;

// RGB888 image of the frame, turned by 180 degrees when turn is set (last line first,
// each line right to left). A null image for a pixel type without a conversion, a buffer
// shorter than the frame, or a Bayer frame smaller than 2 x 2. The image's memory comes
// from pool when one is given.
QImage toRgbImage(const RawFrame& frame, bool turn, ImagePool* pool = nullptr);

} // namespace lumetra::camera
