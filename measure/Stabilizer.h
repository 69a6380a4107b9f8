#pragma once
// Image stabiliser: each pixel of the ROI crop shows the per-channel maximum of the values
// it received in its last `depth` frames (fewer while its history fills). Histories are
// per pixel of the crop (crop coordinates), persist across frames and crop sizes, and are
// never cleared; a lower depth shortens a history the next time its pixel is touched.
//
// Storage is a ring of kMaxStabDepth RGB planes over kMaxRoiSide x kMaxRoiSide, allocated
// once. A slot that holds no (or an expired) value holds 0, so the maximum over the live
// slots equals the maximum over the pixel's list. All pixels touched by the previous frame
// share one ring position; a pixel that re-enters the crop is rotated into that position
// once, using the frame number at which it last left (one byte per pixel).

#include "MeasureTypes.h"

#include <QImage>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumetra::measure {

class Stabilizer {
public:
    static constexpr int kBands = 4;

    Stabilizer();
    Stabilizer(const Stabilizer&) = delete;
    Stabilizer& operator=(const Stabilizer&) = delete;

    // Starts a frame of the given crop size (each side 1..kMaxRoiSide) and depth (clamped to
    // 1..kMaxStabDepth). Must run before the bands of that frame, on one thread.
    void beginFrame(int width, int height, int depth);

    // Stabilises band `band` (0..3) of the image in place: rows band*H/4 .. (band+1)*H/4-1.
    // The image must be RGB888 of the size given to beginFrame and detached. Bands of one
    // frame touch disjoint rows and may run concurrently.
    int stabilizeBand(QImage* image, int band);
    // The same on rows taken beforehand (for concurrent bands).
    int stabilizeBand(const RowView& image, int band);

    // First and one-past-last row of a band for a crop of height h.
    static int bandBegin(int h, int band) { return band * h / kBands; }
    static int bandEnd(int h, int band) { return (band + 1) * h / kBands; }

    // Bytes held for the histories.
    std::size_t memoryBytes() const;

private:
    std::uint8_t* row(int slot, int y) {
        return m_planes.data() + (std::size_t(slot) * kMaxRoiSide + std::size_t(y)) * kRowBytes;
    }
    void adoptPixel(int x, int y);

    static constexpr std::size_t kRowBytes = std::size_t(kMaxRoiSide) * 3;

    std::vector<std::uint8_t> m_planes; // [slot][row][column * 3 + channel]
    std::vector<std::uint8_t> m_leftAt; // frame number (mod ring size) a pixel last left
    std::uint64_t m_frame = 0;          // frames begun so far
    int m_prevW = 0, m_prevH = 0, m_prevDepth = 0;
    // State of the current frame.
    int m_w = 0, m_h = 0, m_depth = 0;
    int m_zeroFrom = 0, m_zeroTo = -1; // ages to clear in the previous frame's area
};

} // namespace lumetra::measure
