#include "Stabilizer.h"

#include <algorithm>
#include <cstring>

namespace lumetra::measure {

namespace {
constexpr int kRing = kMaxStabDepth;

int slotOf(std::uint64_t frame) {
    return int(frame % kRing);
}

// px = max(px, h) over one row.
LUMETRA_HOT_LOOP void maxInto(std::uint8_t* __restrict px, const std::uint8_t* __restrict h,
                              std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        px[i] = std::max(px[i], h[i]);
    }
}
} // namespace

Stabilizer::Stabilizer()
    : m_planes(std::size_t(kRing) * kMaxRoiSide * kRowBytes, 0),
      m_leftAt(std::size_t(kMaxRoiSide) * kMaxRoiSide, 0) {}

std::size_t Stabilizer::memoryBytes() const {
    return m_planes.capacity() + m_leftAt.capacity() + sizeof(*this);
}

void Stabilizer::beginFrame(int width, int height, int depth) {
    m_prevW = m_w;
    m_prevH = m_h;
    m_prevDepth = m_depth;
    m_w = std::clamp(width, 0, kMaxRoiSide);
    m_h = std::clamp(height, 0, kMaxRoiSide);
    m_depth = std::clamp(depth, 1, kMaxStabDepth);
    ++m_frame;

    // Pixels of the previous frame that this frame does not touch remember when they left,
    // so they can be brought back into line when the crop grows again.
    const std::uint8_t prevSlot = std::uint8_t(slotOf(m_frame - 1));
    for (int y = 0; y < m_prevH; ++y) {
        std::uint8_t* left = m_leftAt.data() + std::size_t(y) * kMaxRoiSide;
        if (y >= m_h) {
            std::memset(left, prevSlot, std::size_t(m_prevW));
        } else if (m_prevW > m_w) {
            std::memset(left + m_w, prevSlot, std::size_t(m_prevW - m_w));
        }
    }

    // In the previous frame's area the histories hold at most prevDepth values; after this
    // frame's value is added, ages depth..prevDepth fall out (age 10 is overwritten).
    m_zeroFrom = m_depth;
    m_zeroTo = std::min(m_prevDepth, kRing - 1);
}

void Stabilizer::adoptPixel(int x, int y) {
    // Rotate the ring of a pixel that was not touched by the previous frame so that its
    // newest value sits where the previous frame wrote, then drop ages depth and older.
    const int left = m_leftAt[std::size_t(y) * kMaxRoiSide + std::size_t(x)];
    const int target = slotOf(m_frame - 1);
    const int shift = (target - left + kRing) % kRing;
    std::uint8_t old[kRing][3];
    const std::size_t off = std::size_t(x) * 3;
    if (shift != 0) {
        for (int s = 0; s < kRing; ++s) {
            std::memcpy(old[s], row(s, y) + off, 3);
        }
        for (int s = 0; s < kRing; ++s) {
            std::memcpy(row((s + shift) % kRing, y) + off, old[s], 3);
        }
    }
    for (int age = m_depth; age < kRing; ++age) {
        std::memset(row(slotOf(m_frame + kRing - std::uint64_t(age)), y) + off, 0, 3);
    }
}

int Stabilizer::stabilizeBand(QImage* image, int band) {
    uchar* bits = image->bits();
    return stabilizeBand(RowView{bits, image->bytesPerLine(), image->width(), image->height()},
                         band);
}

int Stabilizer::stabilizeBand(const RowView& image, int band) {
    const int y0 = bandBegin(m_h, band);
    const int y1 = bandEnd(m_h, band);
    const std::size_t n = std::size_t(m_w) * 3;
    std::uint8_t* ages[kRing];
    for (int y = y0; y < y1; ++y) {
        for (int age = 0; age < kRing; ++age) {
            ages[age] = row(slotOf(m_frame + kRing - std::uint64_t(age)), y);
        }
        // Pixels new to the area of the previous frame.
        const int newFrom = y < m_prevH ? std::min(m_prevW, m_w) : 0;
        for (int x = newFrom; x < m_w; ++x) {
            adoptPixel(x, y);
        }
        const int keptEnd = y < m_prevH ? std::min(m_prevW, m_w) : 0;
        for (int age = m_zeroFrom; age <= m_zeroTo; ++age) {
            std::memset(ages[age], 0, std::size_t(keptEnd) * 3);
        }

        // Age 0 takes the new values; the row becomes the maximum over the live ages. One
        // age at a time keeps the row in L1 and the memory streams few.
        std::uint8_t* px = image.row(y);
        std::memcpy(ages[0], px, n);
        for (int age = 1; age < m_depth; ++age) {
            maxInto(px, ages[age], n);
        }
    }
    return 0;
}

} // namespace lumetra::measure
