#pragma once

namespace lumetra {

// Keeps the memory of freed camera frames in the process for the next ones. A stream
// allocates and frees images of several megabytes many times a second (the crop, the
// drawn frame, the conversion); by default the C library returns such blocks to the system
// and the next frame takes fresh pages, which the kernel must clear first: about a tenth
// of the processor time of a fast stream. Call once, first thing in main().
void keepFreedFrameMemory();

} // namespace lumetra
