#pragma once

#include <QImage>

#include <cstddef>
#include <memory>

namespace lumetra {

// Keeps the memory of freed camera frames in the process for the next ones. A stream
// allocates and frees images of several megabytes many times a second (the crop, the
// drawn frame, the conversion); by default the C library returns such blocks to the system
// and the next frame takes fresh pages, which the kernel must clear first: about a tenth
// of the processor time of a fast stream. Call once, first thing in main().
void keepFreedFrameMemory();

// Memory for images of a stream (converted frames, crops, corrected images), used again
// once every copy of an image is gone: a stream would otherwise take fresh pages from the
// system for every frame (7 MB at 1920 x 1200), and the kernel clears each page before it
// is first written.
// \context take() from one thread; the images may be released in any thread.
class ImagePool {
public:
    explicit ImagePool(size_t keep = 4);
    // An RGB888 image of this size, contents undefined.
    QImage take(int width, int height);
    // False in thread-sanitizer builds: the sanitizer cannot see Qt's reference counts
    // (Qt is not instrumented), so it would report every reuse as a race.
    static bool recycles();

    struct Shared; // the kept buffers, shared with the images out there

private:
    std::shared_ptr<Shared> m_shared;
};

} // namespace lumetra
