#include "Stabilizer.h"

#include <algorithm>
#include <cstring>

namespace lumetra::measure {

namespace {

using Byte = std::uint8_t;

// The frame's value joins a non-empty run of values: the running maximum grows, the result
// is it combined with the suffix maximum at the window start, and the value takes its slot.
LUMETRA_HOT_LOOP void pushAppend(Byte* __restrict px, Byte* __restrict run,
                                 const Byte* __restrict front, Byte* __restrict slot,
                                 std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Byte x = px[i];
        const Byte g = std::max(run[i], x);
        run[i] = g;
        slot[i] = x;
        px[i] = std::max(front[i], g);
    }
}

// The same right after a fold (the run starts with this value).
LUMETRA_HOT_LOOP void pushFirst(Byte* __restrict px, Byte* __restrict run,
                                const Byte* __restrict front, Byte* __restrict slot,
                                std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Byte x = px[i];
        run[i] = x;
        slot[i] = x;
        px[i] = std::max(front[i], x);
    }
}

// Both, when the window start is the oldest slot, which the frame's value then replaces.
LUMETRA_HOT_LOOP void pushAppendInPlace(Byte* __restrict px, Byte* __restrict run,
                                        Byte* __restrict slot, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Byte x = px[i];
        const Byte f = slot[i];
        const Byte g = std::max(run[i], x);
        run[i] = g;
        slot[i] = x;
        px[i] = std::max(f, g);
    }
}

LUMETRA_HOT_LOOP void pushFirstInPlace(Byte* __restrict px, Byte* __restrict run,
                                       Byte* __restrict slot, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Byte x = px[i];
        const Byte f = slot[i];
        run[i] = x;
        slot[i] = x;
        px[i] = std::max(f, x);
    }
}

LUMETRA_HOT_LOOP void maxInto(Byte* __restrict px, const Byte* __restrict h, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        px[i] = std::max(px[i], h[i]);
    }
}

// One step of a fold: acc and the slot both become their maximum.
LUMETRA_HOT_LOOP void foldStep(Byte* __restrict acc, Byte* __restrict slot, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Byte v = std::max(acc[i], slot[i]);
        acc[i] = v;
        slot[i] = v;
    }
}

// End of a fold whose window includes the oldest slot: the result takes it in, then the
// frame's value replaces it.
LUMETRA_HOT_LOOP void foldLast(Byte* __restrict px, const Byte* __restrict acc,
                               Byte* __restrict slot, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const Byte oldest = slot[i];
        slot[i] = px[i];
        px[i] = std::max(acc[i], oldest);
    }
}

LUMETRA_HOT_LOOP void foldEnd(Byte* __restrict px, const Byte* __restrict acc,
                              Byte* __restrict slot, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        slot[i] = px[i];
        px[i] = acc[i];
    }
}

// Up to this depth the result is taken straight from the slots.
constexpr int kDirectDepth = 3;

int ringSlot(std::int64_t position, int kSlots) {
    return int(position % kSlots);
}

} // namespace

Stabilizer::Stabilizer()
    : m_store(std::size_t(kSlots + 1) * kPlaneBytes, 0),
      m_leftAt(std::size_t(kMaxRoiSide) * kMaxRoiSide, 0), m_rows(std::size_t(kMaxRoiSide)),
      m_scratch(std::size_t(kBands) * kSlots * kRowBytes, 0) {}

std::size_t Stabilizer::memoryBytes() const {
    return m_store.capacity() + m_leftAt.capacity() + m_rows.capacity() * sizeof(RowState) +
           m_scratch.capacity() + sizeof(*this);
}

void Stabilizer::beginFrame(int width, int height, int depth) {
    m_prevW = m_w;
    m_prevH = m_h;
    m_w = std::clamp(width, 0, kMaxRoiSide);
    m_h = std::clamp(height, 0, kMaxRoiSide);
    m_depth = std::clamp(depth, 1, kMaxStabDepth);
    const std::int64_t last = m_frame++;

    // Pixels of the previous frame that this frame does not touch note where their newest
    // value sits and how many values they keep, to rejoin a row when the crop grows again.
    for (int y = 0; y < m_prevH; ++y) {
        const int from = y >= m_h ? 0 : std::min(m_w, m_prevW);
        if (from >= m_prevW) {
            continue;
        }
        const std::int64_t kept = std::min<std::int64_t>(last - m_rows[y].start + 1, kSlots);
        const Byte note = Byte(ringSlot(last, kSlots) | int(kept) << 4);
        std::memset(m_leftAt.data() + std::size_t(y) * kMaxRoiSide + from, note,
                    std::size_t(m_prevW - from));
    }
}

void Stabilizer::restoreRun(int y, int x0, int x1, Byte left, Byte* scratch) {
    const std::int64_t last = m_frame - 1;
    const int newest = left & 15;
    const int kept = left >> 4;
    const std::size_t off = std::size_t(x0) * 3;
    const std::size_t len = std::size_t(x1 - x0) * 3;
    // Age a (0 = newest) sits in slot newest - a before and in slot of (last - a) after.
    if (newest == ringSlot(last, kSlots)) {
        for (int age = kept; age < kSlots; ++age) {
            std::memset(slot(y, last - age) + off, 0, len);
        }
        return;
    }
    for (int s = 0; s < kSlots; ++s) {
        std::memcpy(scratch + std::size_t(s) * len, slot(y, s) + off, len);
    }
    for (int age = 0; age < kSlots; ++age) {
        Byte* dst = slot(y, last - age) + off;
        if (age < kept) {
            std::memcpy(dst, scratch + std::size_t((newest - age + kSlots) % kSlots) * len, len);
        } else {
            std::memset(dst, 0, len);
        }
    }
}

void Stabilizer::joinRow(int y, int keptWidth, Byte* scratch) {
    const std::int64_t last = m_frame - 1;
    // The pixels that stayed hold values from the row's start only; older slots are stale.
    if (keptWidth > 0) {
        const std::int64_t kept = last - m_rows[y].start + 1;
        for (std::int64_t age = kept; age < kSlots; ++age) {
            std::memset(slot(y, last - age), 0, std::size_t(keptWidth) * 3);
        }
    }
    const Byte* left = m_leftAt.data() + std::size_t(y) * kMaxRoiSide;
    for (int x = keptWidth; x < m_w;) {
        int end = x + 1;
        while (end < m_w && left[end] == left[x]) {
            ++end;
        }
        restoreRun(y, x, end, left[x], scratch);
        x = end;
    }
    // Every slot now holds a value of this pixel (or 0) at the row's positions.
    m_rows[y].start = last - kSlots + 1;
}

int Stabilizer::stabilizeBand(QImage* image, int band) {
    uchar* bits = image->bits();
    return stabilizeBand(RowView{bits, image->bytesPerLine(), image->width(), image->height()},
                         band);
}

int Stabilizer::stabilizeBand(const RowView& image, int band, const RowView* from) {
    const int y0 = bandBegin(m_h, band);
    const int y1 = bandEnd(m_h, band);
    const std::size_t n = std::size_t(m_w) * 3;
    const std::int64_t now = m_frame;
    Byte* scratch = m_scratch.data() + std::size_t(band) * kSlots * kRowBytes;
    for (int y = y0; y < y1; ++y) {
        RowState& row = m_rows[std::size_t(y)];
        const int keptWidth = y < m_prevH ? std::min(m_prevW, m_w) : 0;
        const bool joined = keptWidth < m_w;
        if (joined) {
            joinRow(y, keptWidth, scratch);
        }
        const std::int64_t start = std::max(row.start, now - m_depth + 1);
        // Fold when the window has left the suffix maxima, and besides once per depth
        // frames at a phase of the row group's own, so that folds spread over the frames.
        const bool fold = joined || start > row.fold || (now + y / 16) % m_depth == 0;
        Byte* px = image.row(y);
        if (from) {
            std::memcpy(px, from->row(y), n);
        }
        Byte* run = running(y);
        Byte* own = slot(y, now); // the slot of position now - kSlots
        if (m_depth <= kDirectDepth) {
            // A few values: their maximum taken directly costs less than keeping the
            // running maximum. Suffix maxima stand in for their values here as well; the
            // next deeper frame folds.
            std::memcpy(own, px, n);
            for (std::int64_t p = start; p < now; ++p) {
                maxInto(px, slot(y, p), n);
            }
            row.fold = 0;
        } else if (fold) {
            std::memcpy(run, px, n);
            for (std::int64_t p = now - 1; p >= std::max(start, now - kSlots + 1); --p) {
                foldStep(run, slot(y, p), n);
            }
            if (start == now - kSlots) {
                foldLast(px, run, own, n);
            } else {
                foldEnd(px, run, own, n);
            }
            row.fold = now;
        } else {
            const bool first = row.fold == now - 1;
            if (start == now - kSlots) {
                if (first) {
                    pushFirstInPlace(px, run, own, n);
                } else {
                    pushAppendInPlace(px, run, own, n);
                }
            } else if (first) {
                pushFirst(px, run, slot(y, start), own, n);
            } else {
                pushAppend(px, run, slot(y, start), own, n);
            }
        }
        row.start = start;
    }
    return 0;
}

} // namespace lumetra::measure
