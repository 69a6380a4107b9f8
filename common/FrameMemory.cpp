#include "FrameMemory.h"

#include <cstdlib> // any C library header: it defines __GLIBC__ when the library is glibc

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace lumetra {

void keepFreedFrameMemory() {
#if defined(__GLIBC__)
    // Blocks below 32 MB (a 1920 x 1200 frame is 9 MB as RGB32) come from the heap, and up
    // to 128 MB freed at a heap's end stays there. What stays is used again by the next
    // frames, so the process grows by at most that and no further.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
#endif
}

} // namespace lumetra
