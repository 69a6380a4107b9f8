#include "BeamAnalysis.h"

#include "PixelShuffle.h"

#include <QImage>

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumetra::measure {

namespace {

// The outer band that gives the baselines: a twelfth of the shorter side, 1 to 32 pixels.
int bandWidth(int w, int h) {
    return std::clamp(std::min(w, h) / 12, 1, 32);
}

// Noise of one 8-bit value can never be below its quantisation step.
constexpr double kQuantisationRms = 0.2887;
// A beam's sum must stand this far above the noise of the whole-crop sum.
constexpr double kMinSnr = 5.0;
// Gaussian-equivalent peak, in counts, below which a beam is not measured.
constexpr double kMinPeak = 5.0;
constexpr int kMaxRounds = 10;
constexpr double kConvergence = 0.01;
constexpr double kAreaFactor = 1.5; // half of the 3 x D4sigma integration area
constexpr double kRoiTolerance = 0.95;
constexpr double kEdgeFactor = 1.25; // 5 sigma in D4sigma
// Below this side a crop holds no beam with its integration area, and its outer band is
// no floor but the beam itself.
constexpr int kMinSide = 16;
// The start area: blocks brighter than this share of the brightest block, which itself must
// stand this far above the noise of a block's mean.
constexpr double kStartShare = 0.2;
constexpr double kStartSnr = 5.0;
constexpr double kPi = 3.14159265358979323846;

// Splits n pixels of an RGB888 row into three channel rows.
LUMETRA_HOT_LOOP void splitRow(const std::uint8_t* p, int n, std::uint8_t* r, std::uint8_t* g,
                               std::uint8_t* b) {
    for (int x = 0; x < n; ++x) {
        r[x] = p[3 * x];
        g[x] = p[3 * x + 1];
        b[x] = p[3 * x + 2];
    }
}

// Sums of 1, x and x^2 over the integers a..b.
struct Range {
    double n, s1, s2;
};
Range rangeSums(int a, int b) {
    auto s1 = [](double k) { return k * (k + 1) / 2; };
    auto s2 = [](double k) { return k * (k + 1) * (2 * k + 1) / 6; };
    return {double(b - a + 1), s1(b) - s1(a - 1), s2(b) - s2(a - 1)};
}

// Sums of v, x v and x^2 v over the row segment [xa, xb] of one channel of an RGB888 row.
struct RowSums {
    std::int64_t a0 = 0, a1 = 0, a2 = 0;
};
LUMETRA_HOT_LOOP RowSums rowSums(const std::uint8_t* row, int xa, int xb) {
    std::int64_t a0 = 0, a1 = 0, a2 = 0;
    for (int x = xa; x <= xb; ++x) {
        const std::int32_t v = row[3 * x];
        a0 += v;
        a1 += x * v;
        a2 += std::int64_t(x * x * v); // at most 1200^2 * 255: fits 32 bits
    }
    return {a0, a1, a2};
}

// One row of a block row into its column sums: c0 += v, c1 += d v, c2 += d^2 v with the
// row's offset d from the block row's middle (-4..3), so that all three fit 16 bits with a
// sign; max keeps each column's largest value. The first row starts the sums.
LUMETRA_HOT_LOOP void accumulateRow(const std::uint8_t* row, int n, std::int16_t d, bool first,
                                    std::int16_t* c0, std::int16_t* c1, std::int16_t* c2,
                                    std::uint8_t* max) {
    const std::int16_t d2 = std::int16_t(d * d);
    if (first) {
        for (int x = 0; x < n; ++x) {
            const std::int16_t v = row[x];
            c0[x] = v;
            c1[x] = std::int16_t(d * v);
            c2[x] = std::int16_t(d2 * v);
            max[x] = row[x];
        }
        return;
    }
    for (int x = 0; x < n; ++x) {
        const std::int16_t v = row[x];
        c0[x] = std::int16_t(c0[x] + v);
        c1[x] = std::int16_t(c1[x] + d * v);
        c2[x] = std::int16_t(c2[x] + d2 * v);
        max[x] = std::max(max[x], row[x]);
    }
}

#if defined(LUMETRA_X86_SIMD)
// accumulateRow over the eight rows of a block row and all three channels at once, sixteen
// columns a step, straight from the interleaved rows: the sums stay in registers over the
// rows (16-bit lanes wrap as the plain loop's casts do). Returns the first column left.
__attribute__((target("avx2"))) int accumulateBlockRowAvx2(const RowView& crop, int y0, int n,
                                                           std::size_t w,
                                                           std::int16_t* const sums[3],
                                                           std::uint8_t* const max[3]) {
    constexpr int kRows = 8; // a block row's (tablePart checks)
    const simd::ShuffleMasks& m = simd::masks();
    int x = 0;
    for (; x + 16 <= n; x += 16) {
        __m256i s0[3], s1[3], s2[3];
        __m128i mx[3];
        for (int dy = 0; dy < kRows; ++dy) {
            __m128i ch[3];
            simd::split16(m, crop.row(y0 + dy) + 3 * x, ch);
            const int d = dy - kRows / 2;
            const __m256i vd = _mm256_set1_epi16(std::int16_t(d));
            const __m256i vd2 = _mm256_set1_epi16(std::int16_t(d * d));
            for (int k = 0; k < 3; ++k) {
                const __m256i v = _mm256_cvtepu8_epi16(ch[k]);
                if (dy == 0) {
                    s0[k] = v;
                    s1[k] = _mm256_mullo_epi16(vd, v);
                    s2[k] = _mm256_mullo_epi16(vd2, v);
                    mx[k] = ch[k];
                } else {
                    s0[k] = _mm256_add_epi16(s0[k], v);
                    s1[k] = _mm256_add_epi16(s1[k], _mm256_mullo_epi16(vd, v));
                    s2[k] = _mm256_add_epi16(s2[k], _mm256_mullo_epi16(vd2, v));
                    mx[k] = _mm_max_epu8(mx[k], ch[k]);
                }
            }
        }
        for (int k = 0; k < 3; ++k) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums[k] + x), s0[k]);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums[k] + w + x), s1[k]);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums[k] + 2 * w + x), s2[k]);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(max[k] + x), mx[k]);
        }
    }
    return x;
}
#endif

// Sums over the 32 columns of a block: c0, d c0, d^2 c0, c1, d c1, c2 (d = 0..31 the
// column within the block), and the largest value.
struct BlockSums {
    std::int32_t s0, sx0, sxx0, s1, sx1, s2;
    std::uint8_t max;
};

inline BlockSums reduceBlock(const std::int16_t* c0, const std::int16_t* c1, const std::int16_t* c2,
                             const std::uint8_t* max) {
#if defined(__SSE2__)
    const __m128i ones = _mm_set1_epi16(1);
    __m128i a = _mm_setzero_si128(), b = a, c = a, e = a, f = a, g = a;
    for (int i = 0; i < 32; i += 8) {
        const __m128i d = _mm_setr_epi16(
            std::int16_t(i), std::int16_t(i + 1), std::int16_t(i + 2), std::int16_t(i + 3),
            std::int16_t(i + 4), std::int16_t(i + 5), std::int16_t(i + 6), std::int16_t(i + 7));
        const __m128i d2 = _mm_mullo_epi16(d, d);
        const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c0 + i));
        const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c1 + i));
        const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c2 + i));
        a = _mm_add_epi32(a, _mm_madd_epi16(v0, ones));
        b = _mm_add_epi32(b, _mm_madd_epi16(v0, d));
        c = _mm_add_epi32(c, _mm_madd_epi16(v0, d2));
        e = _mm_add_epi32(e, _mm_madd_epi16(v1, ones));
        f = _mm_add_epi32(f, _mm_madd_epi16(v1, d));
        g = _mm_add_epi32(g, _mm_madd_epi16(v2, ones));
    }
    // Four vectors of four partial sums into one vector of four totals.
    auto total4 = [](__m128i p, __m128i q, __m128i r, __m128i t) {
        const __m128i pq = _mm_add_epi32(_mm_unpacklo_epi32(p, q), _mm_unpackhi_epi32(p, q));
        const __m128i rt = _mm_add_epi32(_mm_unpacklo_epi32(r, t), _mm_unpackhi_epi32(r, t));
        return _mm_add_epi32(_mm_unpacklo_epi64(pq, rt), _mm_unpackhi_epi64(pq, rt));
    };
    alignas(16) std::int32_t x[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(x), total4(a, b, c, e));
    _mm_store_si128(reinterpret_cast<__m128i*>(x + 4), total4(f, g, f, g));
    __m128i m = _mm_max_epu8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(max)),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(max + 16)));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 8));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 4));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 2));
    m = _mm_max_epu8(m, _mm_srli_si128(m, 1));
    return {x[0], x[1], x[2], x[3], x[4], x[5], std::uint8_t(_mm_cvtsi128_si32(m) & 0xFF)};
#else
    BlockSums s{0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 32; ++i) {
        s.s0 += c0[i];
        s.sx0 += i * c0[i];
        s.sxx0 += i * i * c0[i];
        s.s1 += c1[i];
        s.sx1 += i * c1[i];
        s.s2 += c2[i];
        s.max = std::max(s.max, max[i]);
    }
    return s;
#endif
}

// Sums over columns xa..xb of a block row's column sums: c0, x c0, x^2 c0, c1, x c1, c2.
struct ColumnSums {
    std::int64_t a0 = 0, a1 = 0, a2 = 0, b0 = 0, b1 = 0, c0 = 0;
};
LUMETRA_HOT_LOOP ColumnSums columnSums(const std::int16_t* c0, const std::int16_t* c1,
                                       const std::int16_t* c2, int xa, int xb) {
    std::int64_t a0 = 0, a1 = 0, a2 = 0, b0 = 0, b1 = 0, s2 = 0;
    for (int x = xa; x <= xb; ++x) {
        const std::int32_t v = c0[x], w = c1[x];
        a0 += v;
        a1 += x * v;
        a2 += std::int64_t(x) * x * v;
        b0 += w;
        b1 += x * w;
        s2 += c2[x];
    }
    return {a0, a1, a2, b0, b1, s2};
}

bool finite(double v) {
    return std::isfinite(v);
}

} // namespace

BeamAnalysisResult BeamAnalyzer::analyse(const QImage& image, const BeamAnalysisInput& in) {
    if (image.isNull()) {
        return {};
    }
    const QImage rgb = image.format() == QImage::Format_RGB888
                           ? image
                           : image.convertToFormat(QImage::Format_RGB888);
    const RowView rows{const_cast<uchar*>(rgb.constBits()), rgb.bytesPerLine(), rgb.width(),
                       rgb.height()};
    return analyse(rows, in);
}

BeamAnalysisResult BeamAnalyzer::analyse(const RowView& crop, const BeamAnalysisInput& in) {
    begin(crop, in);
    floors();
    for (int p = 0; p < kTableParts; ++p) {
        tablePart(p);
    }
    corrections();
    for (int c = 0; c < 3; ++c) {
        channel(c);
    }
    return finish();
}

void BeamAnalyzer::begin(const RowView& crop, const BeamAnalysisInput& in) {
    m_crop = crop;
    m_in = in;
    m_res = BeamAnalysisResult();
    const int w = crop.width, h = crop.height;
    m_width = std::max(w, 0);
    m_height = std::max(h, 0);
    m_bw = m_width / kBlockW;
    m_bh = m_height / kBlockH;
    if (w < 1 || h < 1) {
        return;
    }
    m_res.analysed = true;
    m_res.profiles = in.profiles;
    const std::size_t blocks = std::size_t(m_bw) * std::size_t(m_bh);
    const std::size_t sums = std::size_t(m_bh) * (std::size_t(m_bw) + 1) * 6;
    for (auto& part : m_partMax) {
        part.fill(0);
    }
    for (int k = 0; k < 3; ++k) {
        m_columnSums[std::size_t(k)].resize(std::size_t(m_bh) * 3 * std::size_t(m_width));
        m_rowSums[std::size_t(k)].resize(sums);
        m_blockMax[std::size_t(k)].resize(blocks);
        m_blockSum[std::size_t(k)].resize(blocks);
        m_blockSx[std::size_t(k)].resize(blocks);
        m_blockSy[std::size_t(k)].resize(blocks);
        m_corrected[std::size_t(k)] = false;
    }
    for (std::vector<std::uint8_t>& m : m_columnMax) {
        m.resize(3 * (std::size_t(m_width) + 32));
    }
    for (std::vector<std::uint8_t>& p : m_splitRows) {
        p.resize(3 * std::size_t(kBlockH) * std::size_t(m_width));
    }
}

void BeamAnalyzer::floors() {
    if (!m_res.analysed) {
        return;
    }
    const int w = m_width, h = m_height;
    const BeamAnalysisInput& in = m_in;

    // Baselines from the outer band, and the floor the light sits on.
    const int bw = bandWidth(w, h);
    for (int k = 0; k < 3; ++k) {
        // Four histograms in turn, so that equal neighbours do not wait on each other.
        std::array<FloorHistogram, 4> parts{};
        auto count = [&](const std::uint8_t* row, int x0, int x1) {
            int x = x0;
            for (; x + 4 <= x1; x += 4) {
                ++parts[0][row[3 * x]];
                ++parts[1][row[3 * x + 3]];
                ++parts[2][row[3 * x + 6]];
                ++parts[3][row[3 * x + 9]];
            }
            for (; x < x1; ++x) {
                ++parts[0][row[3 * x]];
            }
        };
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* row = m_crop.row(y) + k;
            if (y < bw || y >= h - bw || 2 * bw >= w) {
                count(row, 0, w);
            } else {
                count(row, 0, bw);
                count(row, w - bw, w);
            }
        }
        FloorHistogram hist{};
        for (std::size_t v = 0; v < hist.size(); ++v) {
            hist[v] = parts[0][v] + parts[1][v] + parts[2][v] + parts[3][v];
        }
        m_floors[std::size_t(k)] = NoiseFloor::fit(hist, in.frames, &m_floors[std::size_t(k)]);
        m_res.background[std::size_t(k)] = m_floors[std::size_t(k)].mean();
        m_res.backgroundRms[std::size_t(k)] = m_floors[std::size_t(k)].rms();
    }
}

void BeamAnalyzer::tablePart(int part) {
    static_assert(kBlockW == 32 && kBlockH == 8, "the block reduction works on 8 x 32 pixels");
    if (!m_res.analysed || part < 0 || part >= kTableParts) {
        return;
    }
    const int by0 = part * m_bh / kTableParts, by1 = (part + 1) * m_bh / kTableParts;
    const std::size_t w = std::size_t(m_width), bw = std::size_t(m_bw);
    std::uint8_t* planes = m_splitRows[std::size_t(part)].data(); // [channel][row][column]
    std::array<std::uint8_t, 3> top{};
    for (int by = by0; by < by1; ++by) {
        const int y0 = by * kBlockH;
        std::int16_t* sums[3];
        std::uint8_t* maxes[3]; // largest value of each column of the block row
        for (int k = 0; k < 3; ++k) {
            sums[k] = m_columnSums[std::size_t(k)].data() + std::size_t(by) * 3 * w;
            maxes[k] = m_columnMax[std::size_t(part)].data() + std::size_t(k) * (w + 32);
        }
        int x = 0;
#if defined(LUMETRA_X86_SIMD)
        if (simd::hasAvx2()) {
            x = accumulateBlockRowAvx2(m_crop, y0, m_width, w, sums, maxes);
        }
#endif
        if (x < m_width) {
            const int n = m_width - x;
            for (int dy = 0; dy < kBlockH; ++dy) {
                std::uint8_t* r = planes + std::size_t(dy) * w;
                splitRow(m_crop.row(y0 + dy) + 3 * x, n, r, r + kBlockH * w, r + 2 * kBlockH * w);
            }
            for (int k = 0; k < 3; ++k) {
                const std::uint8_t* p = planes + std::size_t(k) * kBlockH * w;
                for (int dy = 0; dy < kBlockH; ++dy) {
                    accumulateRow(p + std::size_t(dy) * w, n, std::int16_t(dy - kBlockH / 2),
                                  dy == 0, sums[k] + x, sums[k] + w + x, sums[k] + 2 * w + x,
                                  maxes[k] + x);
                }
            }
        }
        for (int k = 0; k < 3; ++k) {
            const std::int16_t* c0 = sums[k];
            const std::int16_t* c1 = c0 + w;
            const std::int16_t* c2 = c1 + w;
            const std::uint8_t* cmax = maxes[k];
            std::int64_t* run = m_rowSums[std::size_t(k)].data() + std::size_t(by) * (bw + 1) * 6;
            for (int t = 0; t < 6; ++t) {
                run[t] = 0;
            }
            const std::int64_t Y = y0 + kBlockH / 2; // the rows' middle
            for (std::size_t bx = 0; bx < bw; ++bx) {
                const std::size_t x0 = bx * kBlockW;
                const BlockSums b = reduceBlock(c0 + x0, c1 + x0, c2 + x0, cmax + x0);
                const std::size_t bi = std::size_t(by) * bw + bx;
                m_blockMax[std::size_t(k)][bi] = b.max;
                top[std::size_t(k)] = std::max(top[std::size_t(k)], b.max);
                m_blockSum[std::size_t(k)][bi] = b.s0;
                m_blockSx[std::size_t(k)][bi] = b.sx0;
                m_blockSy[std::size_t(k)][bi] = b.s1 + kBlockH / 2 * b.s0; // rows from the top
                // Moments in crop coordinates: x = X + column, y = Y + row offset.
                const std::int64_t X = std::int64_t(x0);
                const std::int64_t mxK = X * b.s0 + b.sx0;
                const std::int64_t q[6] = {b.s0,
                                           mxK,
                                           Y * b.s0 + b.s1,
                                           X * X * b.s0 + 2 * X * b.sx0 + b.sxx0,
                                           Y * Y * b.s0 + 2 * Y * b.s1 + b.s2,
                                           Y * mxK + X * b.s1 + b.sx1};
                std::int64_t* next = run + 6;
                for (int t = 0; t < 6; ++t) {
                    next[t] = run[t] + q[t];
                }
                run = next;
            }
        }
    }
    m_partMax[std::size_t(part)] = top;
}

void BeamAnalyzer::buildCorrections(int k) {
    const NoiseFloor& f = m_floors[std::size_t(k)];
    m_corrected[std::size_t(k)] = false;
    if (!f.structured() || m_bw < 1 || m_bh < 1) {
        return;
    }
    const std::size_t bw = std::size_t(m_bw);
    std::vector<double>& delta = m_delta[std::size_t(k)];
    delta.resize(bw * std::size_t(m_bh));
    const std::int32_t* sum = m_blockSum[std::size_t(k)].data();
    const std::int32_t* sxs = m_blockSx[std::size_t(k)].data();
    const std::int32_t* sys = m_blockSy[std::size_t(k)].data();
    const double n = double(kBlockW) * kBlockH;
    const double cx = (kBlockW - 1) / 2.0, cy = (kBlockH - 1) / 2.0;
    // Sums of the squared offsets from the block's middle, over its pixels.
    const double vx = kBlockH * (double(kBlockW) * (double(kBlockW) * kBlockW - 1) / 12.0);
    const double vy = kBlockW * (double(kBlockH) * (double(kBlockH) * kBlockH - 1) / 12.0);
    // On the bare floor the structure is the floor's own, which its mean already holds: a
    // block within three standard errors of the floor is floor.
    const double floorMean = f.mean(), floorBand = 3 * f.rms() / std::sqrt(n);
    for (std::size_t i = 0; i < delta.size(); ++i) {
        const double mean = sum[i] / n;
        delta[i] = std::abs(mean - floorMean) <= floorBand
                       ? 0.0
                       : f.blockCorrection(mean, (sxs[i] - cx * sum[i]) / vx,
                                           (sys[i] - cy * sum[i]) / vy, kBlockW, kBlockH);
    }
    // Running sums along each block row, weighted by each block's pixel moments.
    auto sums1 = [](int a, int len) { // sum of a .. a + len - 1
        return len * (a + (len - 1) / 2.0);
    };
    auto sums2 = [](int a, int len) {
        double s = 0;
        for (int i = 0; i < len; ++i) {
            s += double(a + i) * (a + i);
        }
        return s;
    };
    std::vector<double>& out = m_deltaSums[std::size_t(k)];
    out.resize(std::size_t(m_bh) * (bw + 1) * 6);
    for (int by = 0; by < m_bh; ++by) {
        double* run = out.data() + std::size_t(by) * (bw + 1) * 6;
        std::fill(run, run + 6, 0.0);
        const int Y = by * kBlockH;
        const double y1 = sums1(Y, kBlockH), y2 = sums2(Y, kBlockH);
        for (std::size_t bx = 0; bx < bw; ++bx) {
            const double d = delta[std::size_t(by) * bw + bx];
            const int X = int(bx) * kBlockW;
            const double x1 = sums1(X, kBlockW), x2 = d != 0 ? sums2(X, kBlockW) : 0;
            const double q[6] = {
                d * n,      d * x1 * kBlockH, d * y1 * kBlockW, d * x2 * kBlockH, d * y2 * kBlockW,
                d * x1 * y1};
            double* next = run + 6;
            for (int t = 0; t < 6; ++t) {
                next[t] = run[t] + q[t];
            }
            run = next;
        }
    }
    m_corrected[std::size_t(k)] = true;
}

double BeamAnalyzer::correctionAt(int k, int x, int y) const {
    if (!m_corrected[std::size_t(k)]) {
        return 0;
    }
    const int bx = x / kBlockW, by = y / kBlockH;
    if (bx >= m_bw || by >= m_bh) {
        return 0;
    }
    return m_delta[std::size_t(k)][std::size_t(by) * std::size_t(m_bw) + std::size_t(bx)];
}

BeamAnalyzer::Split BeamAnalyzer::split(const QRect& r) const {
    Split s;
    s.x0 = r.left();
    s.x1 = r.right();
    const int y0 = r.top(), y1 = r.bottom();
    s.by0 = (y0 + kBlockH - 1) / kBlockH;
    s.by1 = std::min((y1 + 1) / kBlockH, m_bh);
    if (s.by0 >= s.by1) {
        s.by0 = s.by1 = 0;
        s.ya0 = y0; // no whole block row: every row on its own
        s.yb0 = y1;
        return s;
    }
    s.ya0 = y0;
    s.yb0 = s.by0 * kBlockH - 1;
    s.ya1 = s.by1 * kBlockH;
    s.yb1 = y1;
    s.bx0 = (s.x0 + kBlockW - 1) / kBlockW;
    s.bx1 = std::min((s.x1 + 1) / kBlockW, m_bw);
    if (s.bx0 >= s.bx1) {
        s.bx0 = s.bx1 = 0;
        s.xa0 = s.x0; // no whole block: every column of the block rows on its own
        s.xb0 = s.x1;
        return s;
    }
    s.xa0 = s.x0;
    s.xb0 = s.bx0 * kBlockW - 1;
    s.xa1 = s.bx1 * kBlockW;
    s.xb1 = s.x1;
    return s;
}

BeamAnalyzer::Moments BeamAnalyzer::rectMoments(int k, const QRect& r) const {
    const Split sp = split(r);
    const std::size_t bw1 = std::size_t(m_bw) + 1, w = std::size_t(m_width);
    std::int64_t m[6] = {0, 0, 0, 0, 0, 0};
    // Whole blocks.
    if (sp.bx1 > sp.bx0) {
        const std::int64_t* sums = m_rowSums[std::size_t(k)].data();
        for (int by = sp.by0; by < sp.by1; ++by) {
            const std::int64_t* a = sums + (std::size_t(by) * bw1 + std::size_t(sp.bx0)) * 6;
            const std::int64_t* b = sums + (std::size_t(by) * bw1 + std::size_t(sp.bx1)) * 6;
            for (int t = 0; t < 6; ++t) {
                m[t] += b[t] - a[t];
            }
        }
    }
    // Columns of the block rows beside the whole blocks, from the column sums.
    for (int by = sp.by0; by < sp.by1; ++by) {
        const std::int16_t* c0 = m_columnSums[std::size_t(k)].data() + std::size_t(by) * 3 * w;
        const std::int64_t Y = by * kBlockH + kBlockH / 2;
        for (const auto& [xa, xb] : {std::pair(sp.xa0, sp.xb0), std::pair(sp.xa1, sp.xb1)}) {
            if (xa > xb) {
                continue;
            }
            const ColumnSums c = columnSums(c0, c0 + w, c0 + 2 * w, xa, xb);
            m[0] += c.a0;
            m[1] += c.a1;
            m[2] += Y * c.a0 + c.b0;
            m[3] += c.a2;
            m[4] += Y * Y * c.a0 + 2 * Y * c.b0 + c.c0;
            m[5] += Y * c.a1 + c.b1;
        }
    }
    // Rows above and below the block rows, pixel by pixel.
    for (const auto& [ya, yb] : {std::pair(sp.ya0, sp.yb0), std::pair(sp.ya1, sp.yb1)}) {
        for (int y = ya; y <= yb; ++y) {
            const RowSums s = rowSums(m_crop.row(y) + k, sp.x0, sp.x1);
            const std::int64_t Y = y;
            m[0] += s.a0;
            m[1] += s.a1;
            m[2] += Y * s.a0;
            m[3] += s.a2;
            m[4] += Y * Y * s.a0;
            m[5] += Y * s.a1;
        }
    }
    Moments o;
    for (int t = 0; t < 6; ++t) {
        o.m[t] = double(m[t]);
    }
    if (!m_corrected[std::size_t(k)]) {
        return o;
    }
    // Less the quantisation structure under the light, block by block.
    if (sp.bx1 > sp.bx0) {
        const double* sums = m_deltaSums[std::size_t(k)].data();
        for (int by = sp.by0; by < sp.by1; ++by) {
            const double* a = sums + (std::size_t(by) * bw1 + std::size_t(sp.bx0)) * 6;
            const double* b = sums + (std::size_t(by) * bw1 + std::size_t(sp.bx1)) * 6;
            for (int t = 0; t < 6; ++t) {
                o.m[t] -= b[t] - a[t];
            }
        }
    }
    // Elsewhere per row segment within one block (its correction is one number).
    auto segment = [&](int y0, int y1, int xa, int xb) {
        for (int x = xa; x <= xb;) {
            const int xe = std::min(xb, (x / kBlockW + 1) * kBlockW - 1);
            const double dv = correctionAt(k, x, y0);
            if (dv != 0) {
                const Range rx = rangeSums(x, xe), ry = rangeSums(y0, y1);
                o.m[0] -= dv * rx.n * ry.n;
                o.m[1] -= dv * rx.s1 * ry.n;
                o.m[2] -= dv * rx.n * ry.s1;
                o.m[3] -= dv * rx.s2 * ry.n;
                o.m[4] -= dv * rx.n * ry.s2;
                o.m[5] -= dv * rx.s1 * ry.s1;
            }
            x = xe + 1;
        }
    };
    for (int by = sp.by0; by < sp.by1; ++by) {
        segment(by * kBlockH, by * kBlockH + kBlockH - 1, sp.xa0, sp.xb0);
        segment(by * kBlockH, by * kBlockH + kBlockH - 1, sp.xa1, sp.xb1);
    }
    for (const auto& [ya, yb] : {std::pair(sp.ya0, sp.yb0), std::pair(sp.ya1, sp.yb1)}) {
        for (int y = ya; y <= yb; ++y) {
            segment(y, y, sp.x0, sp.x1);
        }
    }
    return o;
}

bool BeamAnalyzer::saturatedIn(const QRect& r, const std::array<bool, 3>& used) const {
    const Split sp = split(r);
    for (int k = 0; k < 3; ++k) {
        if (!used[std::size_t(k)]) {
            continue;
        }
        bool any = false; // anywhere in the whole block rows
        for (const auto& part : m_partMax) {
            any = any || part[std::size_t(k)] == 255;
        }
        const std::uint8_t* bmax = m_blockMax[std::size_t(k)].data();
        auto pixels = [&](int y0, int y1, int x0, int x1) {
            for (int y = y0; y <= y1; ++y) {
                const std::uint8_t* row = m_crop.row(y) + k;
                for (int x = x0; x <= x1; ++x) {
                    if (row[3 * x] == 255) {
                        return true;
                    }
                }
            }
            return false;
        };
        if (any) {
            for (int by = sp.by0; by < sp.by1; ++by) {
                for (int bx = sp.bx0; bx < sp.bx1; ++bx) {
                    if (bmax[std::size_t(by) * std::size_t(m_bw) + std::size_t(bx)] == 255) {
                        return true;
                    }
                }
                const int y0 = by * kBlockH, y1 = y0 + kBlockH - 1;
                if (pixels(y0, y1, sp.xa0, sp.xb0) || pixels(y0, y1, sp.xa1, sp.xb1)) {
                    return true;
                }
            }
        }
        if (pixels(sp.ya0, sp.yb0, sp.x0, sp.x1) || pixels(sp.ya1, sp.yb1, sp.x0, sp.x1)) {
            return true;
        }
    }
    return false;
}

std::optional<QRect> BeamAnalyzer::startArea(const double (&m)[3], double pixelNoise) const {
    if (m_bw < 1 || m_bh < 1) {
        return QRect(0, 0, m_width, m_height); // small crop: no blocks
    }
    const std::array<double, 3>& bg = m_res.background;
    const double n = double(kBlockW) * kBlockH;
    const double offset = m[0] * bg[0] + m[1] * bg[1] + m[2] * bg[2];
    const std::size_t count = std::size_t(m_bw) * std::size_t(m_bh);
    std::vector<double> means(count);
    double top = 0;
    for (std::size_t i = 0; i < count; ++i) {
        double v = -offset;
        for (int k = 0; k < 3; ++k) {
            v += m[k] * (m_blockSum[std::size_t(k)][i] / n -
                         (m_corrected[std::size_t(k)] ? m_delta[std::size_t(k)][i] : 0));
        }
        means[i] = v;
        top = std::max(top, v);
    }
    const double blockNoise = pixelNoise / std::sqrt(n);
    if (!(top > kStartSnr * blockNoise)) {
        return std::nullopt;
    }
    const double threshold = std::max(kStartShare * top, 3 * blockNoise);
    double t0 = 0, tx = 0, ty = 0, txx = 0, tyy = 0;
    for (int by = 0; by < m_bh; ++by) {
        const double y = by * kBlockH + (kBlockH - 1) / 2.0;
        for (int bx = 0; bx < m_bw; ++bx) {
            const double v = means[std::size_t(by) * std::size_t(m_bw) + std::size_t(bx)];
            if (v > threshold) {
                const double x = bx * kBlockW + (kBlockW - 1) / 2.0;
                t0 += v;
                tx += v * x;
                ty += v * y;
                txx += v * x * x;
                tyy += v * y * y;
            }
        }
    }
    const double cx = tx / t0, cy = ty / t0;
    // Within-block spread, and the share of a Gaussian's variance that a cut at a fifth of
    // its peak keeps (0.56): the start is then close to the beam's own width.
    const double vx =
        (std::max(txx / t0 - cx * cx, 0.0) + (double(kBlockW) * kBlockW - 1) / 12) / 0.56;
    const double vy =
        (std::max(tyy / t0 - cy * cy, 0.0) + (double(kBlockH) * kBlockH - 1) / 12) / 0.56;
    const double rx = kAreaFactor * 4 * std::sqrt(vx) + kBlockW;
    const double ry = kAreaFactor * 4 * std::sqrt(vy) + kBlockH;
    const int x0 = std::clamp(int(std::floor(cx - rx)), 0, m_width - 1);
    const int x1 = std::clamp(int(std::ceil(cx + rx)), 0, m_width - 1);
    const int y0 = std::clamp(int(std::floor(cy - ry)), 0, m_height - 1);
    const int y1 = std::clamp(int(std::ceil(cy + ry)), 0, m_height - 1);
    return QRect(QPoint(x0, y0), QPoint(x1, y1));
}

void BeamAnalyzer::corrections() {
    if (!m_res.analysed) {
        return;
    }
    for (int k = 0; k < 3; ++k) {
        buildCorrections(k);
    }
}

void BeamAnalyzer::channel(int c) {
    if (!m_res.analysed || c < 0 || c > 2) {
        return;
    }
    const int w = m_width, h = m_height;
    const BeamAnalysisInput& in = m_in;
    const std::array<double, 3>& bg = m_res.background;
    BeamChannelResult& ch = m_res.channel[std::size_t(c)];
    ch = BeamChannelResult();
    const double m[3] = {in.unmix[std::size_t(3 * c)], in.unmix[std::size_t(3 * c + 1)],
                         in.unmix[std::size_t(3 * c + 2)]};
    if (!finite(m[0]) || !finite(m[1]) || !finite(m[2]) || (m[0] == 0 && m[1] == 0 && m[2] == 0)) {
        ch.reason = QString::fromLatin1(kReasonNoUnmixing);
        return;
    }
    if (std::min(w, h) < kMinSide) {
        ch.reason = QString::fromLatin1(kReasonRoiTooSmall);
        return;
    }
    const std::array<bool, 3> used{m[0] != 0, m[1] != 0, m[2] != 0};
    double noise2 = 0;
    for (int k = 0; k < 3; ++k) {
        const double s = std::max(m_res.backgroundRms[std::size_t(k)], kQuantisationRms);
        noise2 += m[k] * m[k] * s * s;
    }
    const double pixelNoise = std::sqrt(noise2);

    // Moments of the unmixed, background-corrected beam over an area.
    struct Central {
        double s = 0, cx = 0, cy = 0, vxx = 0, vyy = 0, vxy = 0;
        std::array<double, 3> cam{};
    };
    auto central = [&](const QRect& a) {
        const Range rx = rangeSums(a.left(), a.right());
        const Range ry = rangeSums(a.top(), a.bottom());
        // Moments of a uniform level of 1 over the area.
        const double u[6] = {rx.n * ry.n,  rx.s1 * ry.n, rx.n * ry.s1,
                             rx.s2 * ry.n, rx.n * ry.s2, rx.s1 * ry.s1};
        double t[6] = {0, 0, 0, 0, 0, 0};
        Central cm;
        for (int k = 0; k < 3; ++k) {
            if (!used[std::size_t(k)]) {
                continue;
            }
            const Moments q = rectMoments(k, a);
            const double b = bg[std::size_t(k)];
            cm.cam[std::size_t(k)] = q.m[0] - b * u[0];
            for (int i = 0; i < 6; ++i) {
                t[i] += m[k] * (q.m[i] - b * u[i]);
            }
        }
        cm.s = t[0];
        if (t[0] != 0) {
            cm.cx = t[1] / t[0];
            cm.cy = t[2] / t[0];
            cm.vxx = t[3] / t[0] - cm.cx * cm.cx;
            cm.vyy = t[4] / t[0] - cm.cy * cm.cy;
            cm.vxy = t[5] / t[0] - cm.cx * cm.cy;
        }
        return cm;
    };

    // The whole crop must hold clearly more light than noise.
    const Central all = central(QRect(0, 0, w, h));
    if (!(all.s > kMinSnr * pixelNoise * std::sqrt(double(w) * double(h)))) {
        ch.reason = QString::fromLatin1(kReasonTooWeak);
        return;
    }
    // The first area comes from the bright blocks: second moments over a crop much larger
    // than the beam are ruled by noise and baseline error, and can even come out negative.
    const std::optional<QRect> first = startArea(m, pixelNoise);
    if (!first) {
        ch.reason = QString::fromLatin1(kReasonTooWeak);
        return;
    }
    QRect area = *first;
    Central cm = central(area);
    bool converged = false, weak = false;
    int rounds = 1;
    double pdx = 0, pdy = 0;
    for (;;) {
        if (!(cm.s > 0) || !(cm.vxx > 0) || !(cm.vyy > 0) ||
            !(cm.vxx * cm.vyy - cm.vxy * cm.vxy > 0) || !finite(cm.cx) || !finite(cm.cy)) {
            weak = true;
            break;
        }
        const double dx = 4 * std::sqrt(cm.vxx), dy = 4 * std::sqrt(cm.vyy);
        if (rounds > 1 && std::abs(dx - pdx) < kConvergence * pdx &&
            std::abs(dy - pdy) < kConvergence * pdy) {
            converged = true;
            break;
        }
        const int ax0 = std::clamp(int(std::ceil(cm.cx - kAreaFactor * dx)), 0, w - 1);
        const int ax1 = std::clamp(int(std::floor(cm.cx + kAreaFactor * dx)), 0, w - 1);
        const int ay0 = std::clamp(int(std::ceil(cm.cy - kAreaFactor * dy)), 0, h - 1);
        const int ay1 = std::clamp(int(std::floor(cm.cy + kAreaFactor * dy)), 0, h - 1);
        const QRect next = ax0 <= ax1 && ay0 <= ay1
                               ? QRect(QPoint(ax0, ay0), QPoint(ax1, ay1))
                               : QRect(std::clamp(int(std::lround(cm.cx)), 0, w - 1),
                                       std::clamp(int(std::lround(cm.cy)), 0, h - 1), 1, 1);
        if (next == area && rounds > 1) {
            converged = true; // the same area again gives the same widths
            break;
        }
        if (rounds == kMaxRounds) {
            break;
        }
        pdx = dx;
        pdy = dy;
        area = next;
        cm = central(area);
        ++rounds;
    }
    ch.rounds = rounds;
    if (weak) {
        ch.reason = QString::fromLatin1(kReasonTooWeak);
        return;
    }
    if (!converged) {
        ch.reason = QString::fromLatin1(kReasonNoConvergence);
        return;
    }
    if (saturatedIn(area, used)) {
        ch.reason = QString::fromLatin1(kReasonSaturated);
        return;
    }
    const double det = cm.vxx * cm.vyy - cm.vxy * cm.vxy;
    ch.peak = cm.s / (2 * kPi * std::sqrt(det));
    if (!(ch.peak >= kMinPeak)) {
        ch.reason = QString::fromLatin1(kReasonTooWeak);
        return;
    }

    const double half = (cm.vxx - cm.vyy) / 2;
    const double root = std::sqrt(half * half + cm.vxy * cm.vxy);
    const double mean = (cm.vxx + cm.vyy) / 2;
    const double lmax = mean + root, lmin = std::max(mean - root, 0.0);
    ch.hasNumbers = true;
    ch.valid = true;
    ch.signal = cm.s;
    ch.cameraSums = cm.cam;
    // A calibration reads the beam in every camera channel, also those this row leaves out.
    for (int k = 0; k < 3; ++k) {
        if (!used[std::size_t(k)]) {
            ch.cameraSums[std::size_t(k)] = rectMoments(k, area).m[0] - bg[std::size_t(k)] *
                                                                            double(area.width()) *
                                                                            area.height();
        }
    }
    ch.area = area;
    const double dx = 4 * std::sqrt(cm.vxx), dy = 4 * std::sqrt(cm.vyy);
    ch.d4SigmaX = dx * kMradPerPixel;
    ch.d4SigmaY = dy * kMradPerPixel;
    ch.fwhmX = ch.d4SigmaX * kFwhmPerD4Sigma;
    ch.fwhmY = ch.d4SigmaY * kFwhmPerD4Sigma;
    ch.major = 4 * std::sqrt(lmax) * kMradPerPixel;
    ch.minor = 4 * std::sqrt(lmin) * kMradPerPixel;
    ch.ellipticity = ch.major > 0 ? ch.minor / ch.major : 0;
    // Image rows grow downwards; the angle is counted with y upwards.
    double az = 0.5 * std::atan2(-2 * cm.vxy, cm.vxx - cm.vyy) * 180 / kPi;
    if (az <= -90) {
        az += 180;
    }
    ch.azimuthDeg = az;

    // The red image lies `shift` towards the corner, the blue as far away from it.
    const double sx = c == 0 ? in.shift.sx : c == 2 ? -in.shift.sx : 0;
    const double sy = c == 0 ? in.shift.sy : c == 2 ? -in.shift.sy : 0;
    ch.centroidX = (cm.cx - sx - (w - 1) / 2.0) * kMradPerPixel;
    ch.centroidY = -(cm.cy - sy - (h - 1) / 2.0) * kMradPerPixel;

    const double f = in.factors[std::size_t(c)];
    const double power = cm.s / (f * in.exposureUs);
    if (f > 0 && in.exposureUs > 0 && finite(power)) {
        ch.power = power;
    }

    // An ROI narrower than the integration area misses part of the beam, and its band holds
    // beam light instead of the noise floor. The measured width scatters by about a percent,
    // so an ROI of just 3 x D4sigma is not refused for a width read a little high. A beam
    // whose centre lies closer to an edge than 5 sigma is cut likewise.
    const bool small =
        w < kRoiTolerance * 2 * kAreaFactor * dx || h < kRoiTolerance * 2 * kAreaFactor * dy;
    const bool atEdge = cm.cx < kEdgeFactor * dx - 0.5 || cm.cx > w - 0.5 - kEdgeFactor * dx ||
                        cm.cy < kEdgeFactor * dy - 0.5 || cm.cy > h - 0.5 - kEdgeFactor * dy;
    if (small || atEdge) {
        ch.valid = false;
        ch.reason = QString::fromLatin1(small ? kReasonRoiTooSmall : kReasonAtEdge);
    } else if (!ch.power) {
        ch.valid = false;
        ch.reason = QString::fromLatin1(kReasonNoPowerFactor);
    }

    if (in.profiles) {
        const int yr = std::clamp(int(std::lround(cm.cy)), 0, h - 1);
        const int xr = std::clamp(int(std::lround(cm.cx)), 0, w - 1);
        const double bgU = m[0] * bg[0] + m[1] * bg[1] + m[2] * bg[2];
        auto value = [&](int x, int y) {
            const std::uint8_t* p = m_crop.row(y) + 3 * x;
            return float(m[0] * (p[0] - correctionAt(0, x, y)) +
                         m[1] * (p[1] - correctionAt(1, x, y)) +
                         m[2] * (p[2] - correctionAt(2, x, y)) - bgU);
        };
        BeamProfile& px = ch.profileX;
        for (int x = area.left(); x <= area.right(); ++x) {
            px.position.push_back(float((x - cm.cx) * kMradPerPixel));
            px.value.push_back(value(x, yr));
        }
        px.fit = fitGaussian(px.position, px.value);
        BeamProfile& py = ch.profileY;
        for (int y = area.bottom(); y >= area.top(); --y) {
            py.position.push_back(float((cm.cy - y) * kMradPerPixel));
            py.value.push_back(value(xr, y));
        }
        py.fit = fitGaussian(py.position, py.value);
    }
}

BeamAnalysisResult BeamAnalyzer::finish() {
    const int pairs[3][2] = {{0, 1}, {2, 1}, {0, 2}};
    for (int i = 0; i < 3; ++i) {
        const BeamChannelResult& a = m_res.channel[std::size_t(pairs[i][0])];
        const BeamChannelResult& b = m_res.channel[std::size_t(pairs[i][1])];
        if (a.hasNumbers && b.hasNumbers) {
            m_res.alignment[std::size_t(i)] =
                MeasurePair{float(a.centroidX - b.centroidX), float(a.centroidY - b.centroidY)};
        }
    }
    m_crop = RowView();
    return std::move(m_res);
}

std::optional<BeamProfile::Fit> fitGaussian(const std::vector<float>& position,
                                            const std::vector<float>& value) {
    // At most this many points take part; a profile is smooth at that scale.
    constexpr std::size_t kMaxPoints = 256;
    const std::size_t all = std::min(position.size(), value.size());
    const std::size_t step = std::max<std::size_t>(1, (all + kMaxPoints - 1) / kMaxPoints);
    std::vector<double> px, pv;
    for (std::size_t i = 0; i < all; i += step) {
        if (std::isfinite(value[i]) && std::isfinite(position[i])) {
            px.push_back(position[i]);
            pv.push_back(value[i]);
        }
    }
    const std::size_t n = px.size();
    if (n < 3) {
        return std::nullopt;
    }
    const double peak = *std::max_element(pv.begin(), pv.end());
    if (!(peak > 0)) {
        return std::nullopt;
    }
    // Start from the weighted moments of the part above a fifth of the peak (a Gaussian cut
    // there keeps 0.56 of its variance).
    double s = 0, s1 = 0, s2 = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (pv[i] > 0.2 * peak) {
            s += pv[i];
            s1 += pv[i] * px[i];
            s2 += pv[i] * px[i] * px[i];
        }
    }
    BeamProfile::Fit f{peak, s1 / s, 0};
    const double var = s2 / s - f.centre * f.centre;
    f.sigma = std::sqrt(std::max(var / 0.56, 1e-12));
    auto cost = [&](const BeamProfile::Fit& g) {
        double e = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double d = (px[i] - g.centre) / g.sigma;
            const double r = pv[i] - g.amplitude * std::exp(-0.5 * d * d);
            e += r * r;
        }
        return e;
    };
    // Levenberg-Marquardt on amplitude, centre and sigma.
    double lambda = 1e-3, e0 = cost(f);
    for (int iter = 0; iter < 20 && std::isfinite(e0); ++iter) {
        double a[3][3] = {}, b[3] = {};
        for (std::size_t i = 0; i < n; ++i) {
            const double d = (px[i] - f.centre) / f.sigma;
            const double g = std::exp(-0.5 * d * d);
            const double r = pv[i] - f.amplitude * g;
            const double j[3] = {g, f.amplitude * g * d / f.sigma,
                                 f.amplitude * g * d * d / f.sigma};
            for (int u = 0; u < 3; ++u) {
                b[u] += j[u] * r;
                for (int v = 0; v < 3; ++v) {
                    a[u][v] += j[u] * j[v];
                }
            }
        }
        auto det3 = [](const double(&m)[3][3]) {
            return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                   m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                   m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        };
        bool improved = false;
        for (int tries = 0; tries < 8 && !improved; ++tries) {
            double m[3][3];
            for (int u = 0; u < 3; ++u) {
                for (int v = 0; v < 3; ++v) {
                    m[u][v] = a[u][v] * (u == v ? 1 + lambda : 1.0);
                }
            }
            const double det = det3(m);
            if (!(std::abs(det) > 0) || !std::isfinite(det)) {
                break;
            }
            double step3[3];
            for (int col = 0; col < 3; ++col) {
                double c[3][3];
                for (int u = 0; u < 3; ++u) {
                    for (int v = 0; v < 3; ++v) {
                        c[u][v] = v == col ? b[u] : m[u][v];
                    }
                }
                step3[col] = det3(c) / det;
            }
            const BeamProfile::Fit t{f.amplitude + step3[0], f.centre + step3[1],
                                     f.sigma + step3[2]};
            const double e = t.sigma > 0 ? cost(t) : e0 + 1;
            if (std::isfinite(e) && e < e0) {
                const bool small = e0 - e < 1e-9 * e0;
                f = t;
                e0 = e;
                lambda = std::max(lambda / 10, 1e-9);
                improved = true;
                if (small) {
                    iter = 20;
                }
            } else {
                lambda *= 10;
            }
        }
        if (!improved) {
            break;
        }
    }
    if (!std::isfinite(f.amplitude) || !std::isfinite(f.centre) || !(f.sigma > 0) ||
        !std::isfinite(f.sigma)) {
        return std::nullopt;
    }
    return f;
}

} // namespace lumetra::measure
