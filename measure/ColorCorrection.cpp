#include "ColorCorrection.h"

#include "PixelShuffle.h"

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

LUMETRA_HOT_LOOP void mixRowPlain(const float* __restrict r, const float* __restrict g,
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
LUMETRA_HOT_LOOP void toFloatPlain(const uchar* __restrict p, int x0, int x1, float* __restrict r,
                                   float* __restrict g, float* __restrict b) {
    for (int x = x0; x < x1; ++x) {
        r[x] = float(p[3 * x]);
        g[x] = float(p[3 * x + 1]);
        b[x] = float(p[3 * x + 2]);
    }
}

// The same, adding the raw values to the channel sums (x1 - x0 at most kMaxRoiSide).
LUMETRA_HOT_LOOP void toFloatSumPlain(const uchar* __restrict p, int x0, int x1,
                                      float* __restrict r, float* __restrict g, float* __restrict b,
                                      ChannelSums* sums) {
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

LUMETRA_HOT_LOOP void joinRowPlain(const std::uint8_t* r, const std::uint8_t* g,
                                   const std::uint8_t* b, int w, uchar* out, std::uint16_t* all) {
    for (int x = 0; x < w; ++x) {
        out[3 * x] = r[x];
        out[3 * x + 1] = g[x];
        out[3 * x + 2] = b[x];
        all[x] = std::uint16_t(r[x] + g[x] + b[x]);
    }
}

#if defined(LUMETRA_X86_SIMD)
using simd::hasAvx2;

__attribute__((target("avx2"))) inline void storeFloats(__m128i bytes, float* to) {
    _mm256_storeu_ps(to, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(bytes)));
    _mm256_storeu_ps(to + 8, _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(_mm_srli_si128(bytes, 8))));
}

// Sixteen pixels a step; returns the column where the plain loop takes over.
template <bool Sum>
__attribute__((target("avx2"))) int toFloatAvx2(const uchar* p, int x0, int x1, float* r, float* g,
                                                float* b, ChannelSums* sums) {
    const simd::ShuffleMasks& m = simd::masks();
    const __m128i zero = _mm_setzero_si128();
    __m128i sr = zero, sg = zero, sb = zero;
    int x = x0;
    for (; x + 16 <= x1; x += 16) {
        __m128i ch[3];
        simd::split16(m, p + 3 * x, ch);
        storeFloats(ch[0], r + x);
        storeFloats(ch[1], g + x);
        storeFloats(ch[2], b + x);
        if (Sum) {
            sr = _mm_add_epi64(sr, _mm_sad_epu8(ch[0], zero));
            sg = _mm_add_epi64(sg, _mm_sad_epu8(ch[1], zero));
            sb = _mm_add_epi64(sb, _mm_sad_epu8(ch[2], zero));
        }
    }
    if (Sum) {
        (*sums)[0] += _mm_cvtsi128_si64(sr) + _mm_extract_epi64(sr, 1);
        (*sums)[1] += _mm_cvtsi128_si64(sg) + _mm_extract_epi64(sg, 1);
        (*sums)[2] += _mm_cvtsi128_si64(sb) + _mm_extract_epi64(sb, 1);
    }
    return x;
}

__attribute__((target("avx2"))) int joinRowAvx2(const std::uint8_t* r, const std::uint8_t* g,
                                                const std::uint8_t* b, int w, uchar* out,
                                                std::uint16_t* all) {
    const simd::ShuffleMasks& m = simd::masks();
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m128i in[3] = {_mm_loadu_si128(reinterpret_cast<const __m128i*>(r + x)),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(g + x)),
                               _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + x))};
        simd::join16(m, in, out + 3 * x);
        const __m256i sum = _mm256_add_epi16(
            _mm256_add_epi16(_mm256_cvtepu8_epi16(in[0]), _mm256_cvtepu8_epi16(in[1])),
            _mm256_cvtepu8_epi16(in[2]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(all + x), sum);
    }
    return x;
}

// mixRowPlain's single-precision blocks, eight lanes a vector. Packing with signed then
// unsigned saturation is the clamp to 0..255 for every 32-bit value, the out-of-range one
// the conversion gives for NaN and overflow included. Returns the column where the plain
// loop takes over.
__attribute__((target("avx2"))) int mixRowAvx2(const float* r, const float* g, const float* b,
                                               int w, const MixPlan& p, std::uint8_t* out) {
    constexpr int kBlock = 32;
    const __m256 f0 = _mm256_set1_ps(p.f0), f1 = _mm256_set1_ps(p.f1), f2 = _mm256_set1_ps(p.f2);
    const __m256 margin = _mm256_set1_ps(p.margin);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    int x = 0;
    for (; x + kBlock <= w; x += kBlock) {
        __m256i lo[4];
        __m256i differ = _mm256_setzero_si256();
        for (int v = 0; v < 4; ++v) {
            const int i = x + 8 * v;
            const __m256 s = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(f0, _mm256_loadu_ps(r + i)),
                                                         _mm256_mul_ps(f1, _mm256_loadu_ps(g + i))),
                                           _mm256_mul_ps(f2, _mm256_loadu_ps(b + i)));
            lo[v] = _mm256_cvttps_epi32(_mm256_sub_ps(s, margin));
            const __m256i hi = _mm256_cvttps_epi32(_mm256_add_ps(s, margin));
            differ = _mm256_or_si256(differ, _mm256_xor_si256(lo[v], hi));
        }
        if (!_mm256_testz_si256(differ, differ)) {
            mixExact(r + x, g + x, b + x, kBlock, p, out + x);
            continue;
        }
        const __m256i bytes =
            _mm256_packus_epi16(_mm256_packs_epi32(lo[0], lo[1]), _mm256_packs_epi32(lo[2], lo[3]));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x),
                            _mm256_permutevar8x32_epi32(bytes, order));
    }
    return x;
}
#endif

void toFloat(const uchar* p, int x0, int x1, float* r, float* g, float* b) {
#if defined(LUMETRA_X86_SIMD)
    if (hasAvx2()) {
        x0 = toFloatAvx2<false>(p, x0, x1, r, g, b, nullptr);
    }
#endif
    toFloatPlain(p, x0, x1, r, g, b);
}

void toFloatSum(const uchar* p, int x0, int x1, float* r, float* g, float* b, ChannelSums* sums) {
#if defined(LUMETRA_X86_SIMD)
    if (hasAvx2()) {
        x0 = toFloatAvx2<true>(p, x0, x1, r, g, b, sums);
    }
#endif
    toFloatSumPlain(p, x0, x1, r, g, b, sums);
}

void mixRow(const float* r, const float* g, const float* b, int w, const MixPlan& p,
            std::uint8_t* out) {
    int x = 0;
#if defined(LUMETRA_X86_SIMD)
    if (p.single && hasAvx2()) {
        x = mixRowAvx2(r, g, b, w, p, out);
    }
#endif
    mixRowPlain(r + x, g + x, b + x, w - x, p, out + x);
}

void joinRow(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b, int w, uchar* out,
             std::uint16_t* all) {
    int x = 0;
#if defined(LUMETRA_X86_SIMD)
    if (hasAvx2()) {
        x = joinRowAvx2(r, g, b, w, out, all);
    }
#endif
    joinRowPlain(r + x, g + x, b + x, w - x, out + 3 * x, all + x);
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
    const int lag = mg + std::abs(sy); // output row y is whole once crop row y + lag is mixed
    ChannelSums sums{0, 0, 0};
    for (int j = y0 + mg - std::abs(sy); j < y1 + lag; ++j) {
        const int yr = j - mg - sy, yg = j - mg, yb = j - mg + sy;
        const bool needR = yr >= y0 && yr < y1;
        const bool needG = yg >= y0 && yg < y1;
        const bool needB = yb >= y0 && yb < y1;
        // The raw sums are of the pixels blue samples: this row, when it serves blue.
        const uchar* p = k.row(j);
        if (needB) {
            toFloat(p, 0, mg - sx, fr, fg, fb);
            toFloatSum(p, mg - sx, mg - sx + w, fr, fg, fb, &sums);
            toFloat(p, mg - sx + w, kw, fr, fg, fb);
        } else if (needR || needG) {
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
        // Joined while its plane rows are still in the cache.
        const int y = j - lag;
        if (y >= y0) {
            const std::size_t o = std::size_t(y) * std::size_t(w);
            joinRow(planes->red.data() + o, planes->green.data() + o, planes->blue.data() + o, w,
                    out.row(y), planes->all.data() + o);
        }
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
