#pragma once
// Small value types shared by the measuring code, the window and the offline tool.

#include <array>

namespace lumetra::measure {

// Spot corners of the sensor head, in the order of the calibration keys.
enum class Corner { TL = 0, TR = 1, BL = 2, BR = 3 };

// Argument of a spot search: which value of a pixel is examined.
enum SpotSelector { SpotAll = 0, SpotRed = 1, SpotGreen = 2, SpotBlue = 3 };

// Divergence (mrad) or alignment (mrad) of one result, as two floats.
struct MeasurePair {
    float x = 0.0f;
    float y = 0.0f;
};

// Seven results: divergence of all, R, G, B, then alignment RG, BG, RB.
enum PairIndex { PairAll = 0, PairRed, PairGreen, PairBlue, PairRG, PairBG, PairRB, PairCount };

// The ROI (and so the stabiliser history) is at most this many pixels on each side.
constexpr int kMaxRoiSide = 1200;
// Deepest stabiliser history.
constexpr int kMaxStabDepth = 10;
// Margin of the colour-corrected image inside the crop, and the channel shift.
constexpr int kCorrectionMargin = 5;

// Channel shift (sx, sy) of the red sample towards the corner; none selected: no shift.
struct Shift {
    int sx = 0;
    int sy = 0;
};
Shift cornerShift(Corner corner);

// Row-major 3 x 3 unmixing coefficients of one corner.
using UnmixMatrix = std::array<double, 9>;

// Writable rows of an RGB888 image, taken once on the owning thread: tasks writing
// disjoint rows go through this instead of QImage::scanLine, whose detach check is not
// meant for concurrent callers.
struct RowView {
    unsigned char* bits = nullptr;
    long long bytesPerLine = 0;
    int width = 0;
    int height = 0;
    unsigned char* row(int y) const { return bits + y * bytesPerLine; }
};

// Hot loops get an AVX2 clone next to the baseline one where the toolchain can pick at run
// time; both give the same bits (no fused multiply-add in either). Not in sanitizer builds:
// the clone resolvers run before the sanitizer runtime is up and crash the program.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__linux__) &&       \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define LUMETRA_HOT_LOOP __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define LUMETRA_HOT_LOOP
#endif

} // namespace lumetra::measure
