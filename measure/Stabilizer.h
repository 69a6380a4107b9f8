#pragma once
// Image stabiliser: each pixel of the ROI crop shows the per-channel maximum of the values
// it received in its last `depth` frames (fewer while its history fills). Histories are
// per pixel of the crop (crop coordinates), persist across frames and crop sizes, and are
// never cleared; a lower depth shortens a history the next time its pixel is touched.
//
// The cost per pixel does not grow with the depth: a sliding-window maximum after van Herk
// and Gil-Werman, kept per row as a two-stack queue. A row's history is split at its "fold"
// frame: values up to it are held as suffix maxima (the maximum from that frame up to the
// fold), later values as they came, together with their running maximum. A frame's result
// is the suffix maximum at the start of its window combined with the running maximum. When
// the window start passes the fold, the row folds again: one pass over its values, once per
// `depth` frames, on a different frame for each group of 16 rows so that every frame does
// the same work (a group is a long run in every slot plane). At depths of 3 and less the
// maximum over the few slots, taken directly, costs less; a row coming from there into a
// deeper window folds first.
//
// A suffix maximum may stand in for the value it replaced in every later window (they all
// reach the fold), so a row can be folded at any time from what it holds. That is how
// pixels that re-enter the crop join their row: their values are rotated into the row's
// ring positions, the row's older positions are cleared for the pixels that never had
// values there, and the row folds.
//
// Storage, allocated once: kMaxStabDepth - 1 ring slots of older values (the frame's own
// value makes the tenth) and the running maximum, each a plane of the whole history; per
// pixel one byte for pixels that left the crop (which slot holds their newest value, how
// many they keep).

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
    // The same on rows taken beforehand (for concurrent bands). With `from`, each row is
    // first copied from there (rows of the same width), while it is in the cache anyway.
    int stabilizeBand(const RowView& image, int band, const RowView* from = nullptr);

    // First and one-past-last row of a band for a crop of height h.
    static int bandBegin(int h, int band) { return band * h / kBands; }
    static int bandEnd(int h, int band) { return (band + 1) * h / kBands; }

    // Bytes held for the histories.
    std::size_t memoryBytes() const;

private:
    static constexpr int kSlots = kMaxStabDepth - 1;
    static constexpr std::size_t kRowBytes = std::size_t(kMaxRoiSide) * 3;
    static constexpr std::size_t kPlaneBytes = std::size_t(kMaxRoiSide) * kRowBytes;

    // Positions are frame numbers; a row's values sit in slot position % kSlots.
    struct RowState {
        std::int64_t start = 0; // oldest position of the row's window
        std::int64_t fold = 0;  // positions up to here hold suffix maxima
    };

    // One plane per slot (and one for the running maxima), so that the rows of a band are
    // long runs of memory.
    std::uint8_t* slot(int y, std::int64_t position) {
        return m_store.data() + std::size_t(position % kSlots) * kPlaneBytes +
               std::size_t(y) * kRowBytes;
    }
    std::uint8_t* running(int y) {
        return m_store.data() + std::size_t(kSlots) * kPlaneBytes + std::size_t(y) * kRowBytes;
    }
    void joinRow(int y, int keptWidth, std::uint8_t* scratch);
    void restoreRun(int y, int x0, int x1, std::uint8_t left, std::uint8_t* scratch);

    std::vector<std::uint8_t> m_store;    // [slot 0..8, running maximum][row][column * 3 + c]
    std::vector<std::uint8_t> m_leftAt;   // [row][column]: newest slot | values kept << 4
    std::vector<RowState> m_rows;         // [row]
    std::vector<std::uint8_t> m_scratch;  // [band][slot][column * 3 + c]
    std::int64_t m_frame = kMaxStabDepth; // position of the current frame (always > kSlots)
    int m_prevW = 0, m_prevH = 0;
    // State of the current frame.
    int m_w = 0, m_h = 0, m_depth = 0;
};

} // namespace lumetra::measure
