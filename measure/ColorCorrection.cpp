#include "ColorCorrection.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace lumetra::measure {

Shift cornerShift(Corner corner) {
    switch (corner) {
    case Corner::BL:
        return {-5, 5};
    case Corner::BR:
        return {5, 5};
    case Corner::TL:
        return {-5, -5};
    case Corner::TR:
        return {5, -5};
    }
    return {};
}

bool hasCorrectedImage(int cropWidth, int cropHeight) {
    return cropWidth > 2 * kCorrectionMargin && cropHeight > 2 * kCorrectionMargin;
}

namespace {

// How one output channel is mixed. The defined result is m0*r + m1*g + m2*b summed in
// double (left to right), then float, clamped to 0..255 and truncated. It only steps where
// that float reaches a whole number, so a single-precision sum whose error bound keeps it
// clear of every step gives the same byte at twice the lanes; pixels near a step, and
// matrices where no useful bound exists, take the double path.
struct MixPlan {
    double m0 = 0, m1 = 0, m2 = 0;
    float f0 = 0, f1 = 0, f2 = 0;
    float margin = 0;    // bound on |single - exact| plus the float rounding below a step
    bool single = false; // use the single-precision path
};

// True when every product and partial sum is exact in single precision (and so in double):
// the coefficients are multiples of a common power of two small enough for 24 bits.
bool exactInSingle(double m0, double m1, double m2) {
    for (int e = 0; e <= 24; ++e) {
        const double k0 = std::ldexp(m0, e), k1 = std::ldexp(m1, e), k2 = std::ldexp(m2, e);
        if (k0 == std::trunc(k0) && k1 == std::trunc(k1) && k2 == std::trunc(k2)) {
            return (std::abs(k0) + std::abs(k1) + std::abs(k2)) * 255.0 < std::ldexp(1.0, 24);
        }
    }
    return false;
}

MixPlan planFor(double m0, double m1, double m2) {
    MixPlan p;
    p.m0 = m0;
    p.m1 = m1;
    p.m2 = m2;
    const double sumAbs = std::abs(m0) + std::abs(m1) + std::abs(m2);
    if (!(sumAbs < std::ldexp(1.0, 20))) { // also NaN and infinities: double path only
        return p;
    }
    p.f0 = float(m0);
    p.f1 = float(m1);
    p.f2 = float(m2);
    p.single = true;
    if (exactInSingle(m0, m1, m2)) {
        return p; // the single-precision sum is the exact one: no margin
    }
    // Four roundings of relative size 2^-24 (coefficient, product, two sums) on at most
    // 255 * sumAbs, the double path's own error, the rounding of s +- margin, and 2^-17:
    // below a step k <= 255 the float conversion already rounds up from k - 2^-17.
    const double u = std::ldexp(1.0, -24);
    p.margin = float(std::ldexp(1.0, -17) + 16.0 * u * (255.0 * sumAbs + 1.0));
    return p;
}

// Inputs are channel values held as floats (exact for 0..255).
inline void mixExact(const float* r, const float* g, const float* b, int w, const MixPlan& p,
                     std::uint8_t* out) {
    for (int x = 0; x < w; ++x) {
        const double s = p.m0 * double(r[x]) + p.m1 * double(g[x]) + p.m2 * double(b[x]);
        float f = float(s);
        f = f > 0.0f ? f : 0.0f; // also catches NaN from a broken matrix
        f = f < 255.0f ? f : 255.0f;
        out[x] = std::uint8_t(std::int32_t(f));
    }
}

LUMETRA_HOT_LOOP void mixRow(const float* __restrict r, const float* __restrict g,
                             const float* __restrict b, int w, const MixPlan& p,
                             std::uint8_t* __restrict out) {
    constexpr int kBlock = 32;
    int x = 0;
    if (p.single) {
        const float f0 = p.f0, f1 = p.f1, f2 = p.f2, margin = p.margin;
        for (; x + kBlock <= w; x += kBlock) {
            std::int32_t differ = 0;
            for (int k = 0; k < kBlock; ++k) {
                const float s = f0 * r[x + k] + f1 * g[x + k] + f2 * b[x + k];
                // Both ends truncate alike: no step lies within the margin (the bytes below 0
                // and above 255 saturate alike too).
                const std::int32_t lo = std::int32_t(s - margin);
                const std::int32_t hi = std::int32_t(s + margin);
                differ |= lo ^ hi;
                out[x + k] = std::uint8_t(std::clamp(lo, 0, 255));
            }
            if (differ != 0) {
                mixExact(r + x, g + x, b + x, kBlock, p, out + x);
            }
        }
    }
    mixExact(r + x, g + x, b + x, w - x, p, out + x);
}

// Columns [x0, x1) of an RGB888 row to three float rows.
LUMETRA_HOT_LOOP void toFloat(const uchar* __restrict p, int x0, int x1, float* __restrict r,
                              float* __restrict g, float* __restrict b) {
    for (int x = x0; x < x1; ++x) {
        r[x] = float(p[3 * x]);
        g[x] = float(p[3 * x + 1]);
        b[x] = float(p[3 * x + 2]);
    }
}

// The same, adding the raw values to the channel sums (x1 - x0 at most kMaxRoiSide).
LUMETRA_HOT_LOOP void toFloatSum(const uchar* __restrict p, int x0, int x1, float* __restrict r,
                                 float* __restrict g, float* __restrict b, ChannelSums* sums) {
    std::uint32_t sr = 0, sg = 0, sb = 0;
    for (int x = x0; x < x1; ++x) {
        r[x] = float(p[3 * x]);
        g[x] = float(p[3 * x + 1]);
        b[x] = float(p[3 * x + 2]);
        sr += p[3 * x];
        sg += p[3 * x + 1];
        sb += p[3 * x + 2];
    }
    (*sums)[0] += sr;
    (*sums)[1] += sg;
    (*sums)[2] += sb;
}

LUMETRA_HOT_LOOP void joinRow(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                              int w, uchar* out, std::uint16_t* all) {
    for (int x = 0; x < w; ++x) {
        out[3 * x] = r[x];
        out[3 * x + 1] = g[x];
        out[3 * x + 2] = b[x];
        all[x] = std::uint16_t(r[x] + g[x] + b[x]);
    }
}

} // namespace

ChannelSums correctRows(const RowView& k, const UnmixMatrix& m, Shift shift, const RowView& out,
                        SpotPlanes* planes, int y0, int y1) {
    const int w = out.width;
    const int kw = k.width;
    const int mg = kCorrectionMargin;
    const MixPlan red = planFor(m[0], m[1], m[2]);
    const MixPlan green = planFor(m[3], m[4], m[5]);
    const MixPlan blue = planFor(m[6], m[7], m[8]);

    // Each crop row serves three output rows (red of the row shift.sy above its own, green,
    // blue), so it is converted to float once for all three.
    std::vector<float> rowBuf(std::size_t(kw) * 3);
    float* fr = rowBuf.data();
    float* fg = fr + kw;
    float* fb = fg + kw;
    auto outRow = [&](std::vector<std::uint8_t>& plane, int y) {
        return plane.data() + std::size_t(y) * std::size_t(w);
    };
    const int sx = shift.sx, sy = shift.sy;
    ChannelSums sums{0, 0, 0};
    for (int j = y0 + mg - std::abs(sy); j < y1 + mg + std::abs(sy); ++j) {
        const int yr = j - mg - sy, yg = j - mg, yb = j - mg + sy;
        const bool needR = yr >= y0 && yr < y1;
        const bool needG = yg >= y0 && yg < y1;
        const bool needB = yb >= y0 && yb < y1;
        if (!needR && !needG && !needB) {
            continue;
        }
        // The raw sums are of the pixels blue samples: this row, when it serves blue.
        const uchar* p = k.row(j);
        if (needB) {
            toFloat(p, 0, mg - sx, fr, fg, fb);
            toFloatSum(p, mg - sx, mg - sx + w, fr, fg, fb, &sums);
            toFloat(p, mg - sx + w, kw, fr, fg, fb);
        } else {
            toFloat(p, 0, kw, fr, fg, fb);
        }
        if (needR) {
            const int x = mg + sx;
            mixRow(fr + x, fg + x, fb + x, w, red, outRow(planes->red, yr));
        }
        if (needG) {
            mixRow(fr + mg, fg + mg, fb + mg, w, green, outRow(planes->green, yg));
        }
        if (needB) {
            const int x = mg - sx;
            mixRow(fr + x, fg + x, fb + x, w, blue, outRow(planes->blue, yb));
        }
    }

    for (int y = y0; y < y1; ++y) {
        const std::size_t o = std::size_t(y) * std::size_t(w);
        joinRow(planes->red.data() + o, planes->green.data() + o, planes->blue.data() + o, w,
                out.row(y), planes->all.data() + o);
    }
    return sums;
}

std::array<float, 3> cornerSignalOf(const UnmixMatrix& m, const ChannelSums& s) {
    const double r = double(s[0]), g = double(s[1]), b = double(s[2]);
    return {float(m[0] * r + m[1] * g + m[2] * b), float(m[3] * r + m[4] * g + m[5] * b),
            float(m[6] * r + m[7] * g + m[8] * b)};
}

void applyRedBoost(QImage* image, int boost) {
    if (boost <= 1) {
        return;
    }
    const int w = image->width();
    for (int y = 0; y < image->height(); ++y) {
        uchar* p = image->scanLine(y);
        for (int x = 0; x < w; ++x) {
            p[3 * x] = uchar(std::min(p[3 * x] * boost, 255));
        }
    }
}

} // namespace lumetra::measure
