#include "FrameConvert.h"

#include <cstring>

namespace lumetra::camera {

namespace {

// Packed three-byte pixels, channel order given by the offsets of red, green and blue.
QImage fromPacked(const RawFrame& f, size_t stride, int r, int g, int b, bool turn) {
    QImage out(f.width, f.height, QImage::Format_RGB888);
    if (out.isNull())
        return out;
    const int w = f.width, h = f.height;
    const bool asIs = r == 0 && g == 1 && b == 2;
    for (int y = 0; y < h; ++y) {
        uint8_t* d = out.scanLine(y);
        const uint8_t* line = f.data + size_t(turn ? h - 1 - y : y) * stride;
        if (!turn && asIs) {
            std::memcpy(d, line, size_t(w) * 3);
            continue;
        }
        for (int x = 0; x < w; ++x, d += 3) {
            const uint8_t* s = line + size_t(turn ? w - 1 - x : x) * 3;
            d[0] = s[r];
            d[1] = s[g];
            d[2] = s[b];
        }
    }
    return out;
}

QImage fromMono(const RawFrame& f, size_t stride, bool turn) {
    QImage out(f.width, f.height, QImage::Format_RGB888);
    if (out.isNull())
        return out;
    const int w = f.width, h = f.height;
    for (int y = 0; y < h; ++y) {
        uint8_t* d = out.scanLine(y);
        const uint8_t* s = f.data + size_t(turn ? h - 1 - y : y) * stride;
        for (int x = 0; x < w; ++x, d += 3)
            d[0] = d[1] = d[2] = s[turn ? w - 1 - x : x];
    }
    return out;
}

} // namespace

QImage toRgbImage(const RawFrame& f, bool turn) {
    const int bits = sdk::bitDepth(f.type);
    if (!f.data || f.width <= 0 || f.height <= 0 || bits == 0)
        return QImage();
    const size_t lineBytes = size_t(f.width) * size_t(bits / 8);
    const size_t stride = lineBytes + f.paddingX;
    // The last line needs no padding after it.
    if (f.size < stride * size_t(f.height - 1) + lineBytes)
        return QImage();
    switch (f.type) {
    case sdk::PixelType::RGB8:
        return fromPacked(f, stride, 0, 1, 2, turn);
    case sdk::PixelType::BGR8:
        return fromPacked(f, stride, 2, 1, 0, turn);
    case sdk::PixelType::Mono8:
        return fromMono(f, stride, turn);
    default:
        return QImage();
    }
}

} // namespace lumetra::camera
