#include "FrameConvert.h"

#include <cstring>
#include <mutex>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define LUMETRA_SSSE3 1
#include <immintrin.h>
#include <tmmintrin.h>
#endif

namespace lumetra::camera {

namespace {

QImage newImage(int w, int h, ImagePool* pool) {
    return pool ? pool->take(w, h) : QImage(w, h, QImage::Format_RGB888);
}

#if defined(LUMETRA_SSSE3)
// Every x86-64 processor of the last fifteen years has SSSE3, but the build does not assume
// it: the byte shuffles below run only where the processor says so.
bool hasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
// The demosaic's arithmetic takes sixteen pixels at a time where the processor has AVX2.
bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Five packed pixels at a time: a 16-byte load holds them and one shuffle reorders pixels
// and channels. src[c] is the input byte of output channel c.
__attribute__((target("ssse3"))) int packedLineSsse3(const uint8_t* line, int w, const int src[3],
                                                     bool turn, uint8_t* d) {
    // A turned group loads from one byte before its first pixel, so its 16 bytes end with
    // the group's last pixel; either way a group reads and writes 16 bytes, the last of
    // which the next group (or the tail) writes again.
    alignas(16) int8_t mask[16];
    for (int k = 0; k < 15; ++k)
        mask[k] = int8_t(turn ? 1 + 3 * (4 - k / 3) + src[k % 3] : 3 * (k / 3) + src[k % 3]);
    mask[15] = -128;
    const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i*>(mask));
    int j = 0;
    for (; 3 * j + 16 <= 3 * w; j += 5) {
        const uint8_t* s = turn ? line + 3 * (w - 5 - j) - 1 : line + 3 * j;
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 3 * j), _mm_shuffle_epi8(v, m));
    }
    return j;
}
#endif

// Packed three-byte pixels, channel order given by the offsets of red, green and blue.
QImage fromPacked(const RawFrame& f, size_t stride, int r, int g, int b, bool turn,
                  ImagePool* pool) {
    QImage out = newImage(f.width, f.height, pool);
    if (out.isNull())
        return out;
    const int w = f.width, h = f.height;
    const bool asIs = r == 0 && g == 1 && b == 2;
    const int src[3] = {r, g, b};
    for (int y = 0; y < h; ++y) {
        uint8_t* d = out.scanLine(y);
        const uint8_t* line = f.data + size_t(turn ? h - 1 - y : y) * stride;
        if (!turn && asIs) {
            std::memcpy(d, line, size_t(w) * 3);
            continue;
        }
        int x = 0;
#if defined(LUMETRA_SSSE3)
        if (hasSsse3())
            x = packedLineSsse3(line, w, src, turn, d);
#endif
        for (d += 3 * x; x < w; ++x, d += 3) {
            const uint8_t* s = line + size_t(turn ? w - 1 - x : x) * 3;
            d[0] = s[src[0]];
            d[1] = s[src[1]];
            d[2] = s[src[2]];
        }
    }
    return out;
}

#if defined(LUMETRA_SSSE3)
// Sixteen grey pixels at a time, each repeated into red, green and blue by three shuffles
// (in reverse order when turned).
__attribute__((target("ssse3"))) int monoLineSsse3(const uint8_t* line, int w, bool turn,
                                                   uint8_t* d) {
    alignas(16) int8_t mask[3][16];
    for (int k = 0; k < 48; ++k)
        mask[k / 16][k % 16] = int8_t(turn ? 15 - k / 3 : k / 3);
    const __m128i m0 = _mm_load_si128(reinterpret_cast<const __m128i*>(mask[0]));
    const __m128i m1 = _mm_load_si128(reinterpret_cast<const __m128i*>(mask[1]));
    const __m128i m2 = _mm_load_si128(reinterpret_cast<const __m128i*>(mask[2]));
    int j = 0;
    for (; j + 16 <= w; j += 16) {
        const uint8_t* s = turn ? line + (w - 16 - j) : line + j;
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        __m128i* o = reinterpret_cast<__m128i*>(d + 3 * j);
        _mm_storeu_si128(o, _mm_shuffle_epi8(v, m0));
        _mm_storeu_si128(o + 1, _mm_shuffle_epi8(v, m1));
        _mm_storeu_si128(o + 2, _mm_shuffle_epi8(v, m2));
    }
    return j;
}
#endif

QImage fromMono(const RawFrame& f, size_t stride, bool turn, ImagePool* pool) {
    QImage out = newImage(f.width, f.height, pool);
    if (out.isNull())
        return out;
    const int w = f.width, h = f.height;
    for (int y = 0; y < h; ++y) {
        uint8_t* d = out.scanLine(y);
        const uint8_t* s = f.data + size_t(turn ? h - 1 - y : y) * stride;
        int x = 0;
#if defined(LUMETRA_SSSE3)
        if (hasSsse3())
            x = monoLineSsse3(s, w, turn, d);
#endif
        for (d += 3 * x; x < w; ++x, d += 3)
            d[0] = d[1] = d[2] = s[turn ? w - 1 - x : x];
    }
    return out;
}

// Bilinear demosaic. Each missing colour of a pixel is the rounded mean of its nearest
// pixels that carry that colour: on a green pixel the two horizontal neighbours give one
// colour and the two vertical ones the other; on a red or blue pixel the four side
// neighbours give green and the four diagonal ones the remaining colour. At the frame's
// edges the neighbours are mirrored about the edge pixel (column -1 reads column 1, the
// line after the last reads the one before it): a mirror by one pixel keeps each
// neighbour's colour, so edge pixels are interpolated from real samples of their colour,
// only from one side. The inner part of each line runs eight pixels at a time where the
// processor has SSSE3, thirty-two (then sixteen) where it also has AVX2.
enum Source : uint8_t { Centre, Horizontal, Vertical, Cross, Diagonal, kSources };

// Where each output channel of a pixel comes from, by column parity, for one line parity.
struct LineRecipe {
    uint8_t source[2][3];
};

LineRecipe recipeFor(sdk::PixelType type, int lineParity) {
    LineRecipe r{};
    for (int px = 0; px < 2; ++px) {
        const int site = sdk::bayerChannel(type, px, lineParity);
        r.source[px][site] = Centre;
        if (site == 1) {
            r.source[px][sdk::bayerChannel(type, px ^ 1, lineParity)] = Horizontal;
            r.source[px][sdk::bayerChannel(type, px, lineParity ^ 1)] = Vertical;
        } else {
            r.source[px][1] = Cross;
            r.source[px][2 - site] = Diagonal;
        }
    }
    return r;
}

// Means rounded to nearest, halves to even: rounding halves up would add a quarter of a
// count to every other interpolated pixel, which sums up over a beam's area.
inline unsigned mean2(unsigned sum) {
    return (sum + ((sum >> 1) & 1u)) >> 1;
}
inline unsigned mean4(unsigned sum) {
    return (sum + 1u + ((sum >> 2) & 1u)) >> 2;
}

inline uint32_t demosaicPixel(const uint8_t* u, const uint8_t* c, const uint8_t* d, int x, int l,
                              int r, const uint8_t* source) {
    unsigned v[kSources];
    v[Centre] = c[x];
    v[Horizontal] = mean2(c[l] + c[r]);
    v[Vertical] = mean2(u[x] + d[x]);
    v[Cross] = mean4(c[l] + c[r] + u[x] + d[x]);
    v[Diagonal] = mean4(u[l] + u[r] + d[l] + d[r]);
    return v[source[0]] | v[source[1]] << 8 | v[source[2]] << 16;
}

// Writes one pixel's red, green and blue (low three bytes of rgb) at output column x.
inline void putPixel(uint8_t* o, uint32_t rgb) {
    o[0] = uint8_t(rgb);
    o[1] = uint8_t(rgb >> 8);
    o[2] = uint8_t(rgb >> 16);
}

#if defined(LUMETRA_SSSE3)
// Byte shuffles that pack eight pixels' red, green and blue (16-bit lanes) into 24 output
// bytes, in reverse pixel order when turned.
struct PackMasks {
    __m128i rgLo, bLo, rgHi, bHi;
};

__attribute__((target("ssse3"))) PackMasks packMasks(bool turn) {
    // Output byte k of a group is channel k % 3 of pixel k / 3, taken from lane q of the
    // packed red/green (rg: red in bytes 0-7, green in 8-15) or blue vector.
    alignas(16) int8_t mask[4][16];
    for (int k = 0; k < 24; ++k) {
        const int p = k / 3, ch = k % 3, q = turn ? 7 - p : p;
        mask[k / 16 * 2][k % 16] = int8_t(ch < 2 ? ch * 8 + q : -128);
        mask[k / 16 * 2 + 1][k % 16] = int8_t(ch == 2 ? q : -128);
    }
    for (int k = 8; k < 16; ++k)
        mask[2][k] = mask[3][k] = -128;
    return {_mm_load_si128(reinterpret_cast<const __m128i*>(mask[0])),
            _mm_load_si128(reinterpret_cast<const __m128i*>(mask[1])),
            _mm_load_si128(reinterpret_cast<const __m128i*>(mask[2])),
            _mm_load_si128(reinterpret_cast<const __m128i*>(mask[3]))};
}

// Pixels x .. x+7 (channels in 16-bit lanes) into the output line, turned or not.
__attribute__((target("ssse3"))) inline void packEight(__m128i r, __m128i g, __m128i b,
                                                       const PackMasks& m, int x, int w, bool turn,
                                                       uint8_t* o) {
    const __m128i rg = _mm_packus_epi16(r, g);
    const __m128i bb = _mm_packus_epi16(b, b);
    uint8_t* out = o + 3 * size_t(turn ? w - 8 - x : x);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_or_si128(_mm_shuffle_epi8(rg, m.rgLo), _mm_shuffle_epi8(bb, m.bLo)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16),
                     _mm_or_si128(_mm_shuffle_epi8(rg, m.rgHi), _mm_shuffle_epi8(bb, m.bHi)));
}

// Sixteen bytes from p in 16-bit lanes, and the demosaic's rounded quarter on such lanes.
__attribute__((target("avx2"))) inline __m256i load16(const uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
__attribute__((target("avx2"))) inline __m256i mean4x16(__m256i sum) {
    const __m256i one16 = _mm256_set1_epi16(1);
    const __m256i odd = _mm256_and_si256(_mm256_srli_epi16(sum, 2), one16);
    return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(sum, one16), odd), 2);
}

// Lanes x .. x+15 of a line at a time from an even column x, as demosaicLineSsse3 does
// eight. Every value is one rounded quarter of a four-sample sum: the centre counts four
// times, a pair twice (mean4 of 2s is mean2 of s, halves to even alike), so each channel is
// one blend of two sums and one mean4 instead of five means and a blend. Returns the first
// column it left.
// The recipe is a template argument: indexed at run time, the five sums went through the
// stack and each channel through a small loop, which cost more than the arithmetic.
template <int R0, int G0, int B0, int R1, int G1, int B1>
__attribute__((target("avx2"))) int demosaicLineAvx2(const uint8_t* u, const uint8_t* c,
                                                     const uint8_t* d, int x, int w, bool turn,
                                                     const PackMasks& m, uint8_t* o) {
    const __m256i rgLo = _mm256_broadcastsi128_si256(m.rgLo);
    const __m256i bLo = _mm256_broadcastsi128_si256(m.bLo);
    const __m256i rgHi = _mm256_broadcastsi128_si256(m.rgHi);
    const __m256i bHi = _mm256_broadcastsi128_si256(m.bHi);
    // Lanes x .. x+15 need column x+16 on the right.
    for (; x + 16 < w; x += 16) {
        const __m256i cl = load16(c + x - 1), cc = load16(c + x), cr = load16(c + x + 1);
        const __m256i ul = load16(u + x - 1), uc = load16(u + x), ur = load16(u + x + 1);
        const __m256i dl = load16(d + x - 1), dc = load16(d + x), dr = load16(d + x + 1);
        const __m256i side = _mm256_add_epi16(cl, cr), vert = _mm256_add_epi16(uc, dc);
        __m256i q[kSources];
        q[Centre] = _mm256_slli_epi16(cc, 2);
        q[Horizontal] = _mm256_slli_epi16(side, 1);
        q[Vertical] = _mm256_slli_epi16(vert, 1);
        q[Cross] = _mm256_add_epi16(side, vert);
        q[Diagonal] = _mm256_add_epi16(_mm256_add_epi16(ul, ur), _mm256_add_epi16(dl, dr));
        const __m256i ch[3] = {mean4x16(_mm256_blend_epi16(q[R0], q[R1], 0xAA)),
                               mean4x16(_mm256_blend_epi16(q[G0], q[G1], 0xAA)),
                               mean4x16(_mm256_blend_epi16(q[B0], q[B1], 0xAA))};
        // Both 128-bit halves at once: eight pixels' 24 bytes in each half, stored half by
        // half (the upper half holds the later pixels, which a turned line stores first).
        const __m256i rg = _mm256_packus_epi16(ch[0], ch[1]);
        const __m256i bb = _mm256_packus_epi16(ch[2], ch[2]);
        const __m256i lo =
            _mm256_or_si256(_mm256_shuffle_epi8(rg, rgLo), _mm256_shuffle_epi8(bb, bLo));
        const __m256i hi =
            _mm256_or_si256(_mm256_shuffle_epi8(rg, rgHi), _mm256_shuffle_epi8(bb, bHi));
        uint8_t* first = o + 3 * size_t(turn ? w - 8 - x : x);
        uint8_t* second = o + 3 * size_t(turn ? w - 16 - x : x + 8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first), _mm256_castsi256_si128(lo));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(first + 16), _mm256_castsi256_si128(hi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(second), _mm256_extracti128_si256(lo, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(second + 16), _mm256_extracti128_si256(hi, 1));
    }
    return x;
}

// Output byte k of 16 pixels' 48 interleaved bytes is channel k % 3 of pixel k / 3 (pixel
// 15 - k / 3 when turned); joinMask[turn][r][c] picks channel c's bytes of output register r.
struct JoinMasks {
    alignas(16) int8_t m[2][3][3][16];
    JoinMasks() {
        for (int t = 0; t < 2; ++t)
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c)
                    for (int i = 0; i < 16; ++i) {
                        const int k = 16 * r + i, p = k / 3;
                        m[t][r][c][i] = int8_t(k % 3 == c ? (t ? 15 - p : p) : -128);
                    }
    }
};

// A lambda would not inherit the target, hence these helpers.
__attribute__((target("avx2"))) inline __m256i load32(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) inline __m256i evenBytes(__m256i v, __m256i low) {
    return _mm256_and_si256(v, low);
}
__attribute__((target("avx2"))) inline __m256i oddBytes(__m256i v) {
    return _mm256_srli_epi16(v, 8);
}

// One output register of 32 pixels' interleaved bytes (16 in each half) from the channels.
__attribute__((target("avx2"))) inline __m256i join3(const __m256i ch[3],
                                                     const int8_t (*mask)[16]) {
    const __m256i m0 =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(mask[0])));
    const __m256i m1 =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(mask[1])));
    const __m256i m2 =
        _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(mask[2])));
    return _mm256_or_si256(
        _mm256_or_si256(_mm256_shuffle_epi8(ch[0], m0), _mm256_shuffle_epi8(ch[1], m1)),
        _mm256_shuffle_epi8(ch[2], m2));
}

__attribute__((target("avx2"))) inline __m256i mean2x16(__m256i sum) {
    const __m256i one16 = _mm256_set1_epi16(1);
    return _mm256_srli_epi16(
        _mm256_add_epi16(sum, _mm256_and_si256(_mm256_srli_epi16(sum, 1), one16)), 1);
}

// Columns x .. x+31 of a line from an even column x, 32 pixels a step. A 32-byte load seen
// as 16-bit lanes holds the even columns in its low bytes and the odd ones in its high
// bytes, so masks and shifts part them, loads two columns to either side give the
// neighbours, and each column parity has its one recipe without blends. The byte shuffles,
// which one execution port of the processor does and which bounded the sixteen-pixel step,
// are left to the final interleaving only. Returns the first column it left.
template <int R0, int G0, int B0, int R1, int G1, int B1>
__attribute__((target("avx2"))) int demosaicLineAvx2Wide(const uint8_t* u, const uint8_t* c,
                                                         const uint8_t* d, int x, int w, bool turn,
                                                         uint8_t* o) {
    static const JoinMasks kJoin;
    const int t = turn ? 1 : 0;
    const __m256i low = _mm256_set1_epi16(0xFF);
    // The loads reach two columns past the block's last: x + 33 < w.
    for (; x + 34 <= w; x += 32) {
        const __m256i cm = load32(c + x - 2), cc = load32(c + x), cp = load32(c + x + 2);
        const __m256i um = load32(u + x - 2), uc = load32(u + x), up = load32(u + x + 2);
        const __m256i dm = load32(d + x - 2), dc = load32(d + x), dp = load32(d + x + 2);
        __m256i e[kSources], q[kSources]; // even columns, odd columns
        e[Centre] = evenBytes(cc, low);
        q[Centre] = oddBytes(cc);
        const __m256i sideE = _mm256_add_epi16(oddBytes(cm), q[Centre]);
        const __m256i sideO = _mm256_add_epi16(e[Centre], evenBytes(cp, low));
        const __m256i vertE = _mm256_add_epi16(evenBytes(uc, low), evenBytes(dc, low));
        const __m256i vertO = _mm256_add_epi16(oddBytes(uc), oddBytes(dc));
        e[Horizontal] = mean2x16(sideE);
        q[Horizontal] = mean2x16(sideO);
        e[Vertical] = mean2x16(vertE);
        q[Vertical] = mean2x16(vertO);
        e[Cross] = mean4x16(_mm256_add_epi16(sideE, vertE));
        q[Cross] = mean4x16(_mm256_add_epi16(sideO, vertO));
        e[Diagonal] =
            mean4x16(_mm256_add_epi16(_mm256_add_epi16(oddBytes(um), oddBytes(dm)), vertO));
        q[Diagonal] = mean4x16(
            _mm256_add_epi16(vertE, _mm256_add_epi16(evenBytes(up, low), evenBytes(dp, low))));
        // Each channel's 32 bytes in pixel order: lane k's low byte is column x + 2k.
        const __m256i ch[3] = {_mm256_or_si256(e[R0], _mm256_slli_epi16(q[R1], 8)),
                               _mm256_or_si256(e[G0], _mm256_slli_epi16(q[G1], 8)),
                               _mm256_or_si256(e[B0], _mm256_slli_epi16(q[B1], 8))};
        // Written out: as loops over registers (GCC does not unroll them at -O2) the
        // results went through the stack.
        const __m256i out0 = join3(ch, kJoin.m[t][0]);
        const __m256i out1 = join3(ch, kJoin.m[t][1]);
        const __m256i out2 = join3(ch, kJoin.m[t][2]);
        // The lower halves hold pixels x .. x+15, the upper ones x+16 .. x+31; a turned
        // line stores the later pixels first.
        uint8_t* first = o + 3 * size_t(turn ? w - 16 - x : x);
        uint8_t* second = o + 3 * size_t(turn ? w - 32 - x : x + 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first), _mm256_castsi256_si128(out0));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first + 16), _mm256_castsi256_si128(out1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(first + 32), _mm256_castsi256_si128(out2));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(second), _mm256_extracti128_si256(out0, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(second + 16),
                         _mm256_extracti128_si256(out1, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(second + 32),
                         _mm256_extracti128_si256(out2, 1));
    }
    return x;
}

// The four lines a Bayer pattern has: green on the odd or the even columns, beside red or
// blue. Any other recipe (there is none) is left to the caller's eight-pixel path.
int demosaicLineAvx2(const uint8_t* u, const uint8_t* c, const uint8_t* d, int x, int w,
                     const LineRecipe& r, bool turn, const PackMasks& m, uint8_t* o) {
    const auto is = [&r](int r0, int g0, int b0, int r1, int g1, int b1) {
        const LineRecipe want{
            {{uint8_t(r0), uint8_t(g0), uint8_t(b0)}, {uint8_t(r1), uint8_t(g1), uint8_t(b1)}}};
        return std::memcmp(&want, &r, sizeof r) == 0;
    };
    constexpr int C = Centre, H = Horizontal, V = Vertical, X = Cross, D = Diagonal;
    // The wide step first, its last block ending where its reach ends (the columns it
    // repeats come out the same); the sixteen-pixel one takes what is left of a short line.
    auto both = [&](auto wide, auto narrow) {
        int at = wide(u, c, d, x, w, turn, o);
        const int back = (w - 34) & ~1; // even, as every block starts, and back + 33 < w
        if (back >= 2 && back + 32 > at)
            at = wide(u, c, d, back, w, turn, o);
        return narrow(u, c, d, at, w, turn, m, o);
    };
    if (is(C, X, D, H, C, V)) // red, green
        return both(demosaicLineAvx2Wide<C, X, D, H, C, V>, demosaicLineAvx2<C, X, D, H, C, V>);
    if (is(H, C, V, C, X, D)) // green, red
        return both(demosaicLineAvx2Wide<H, C, V, C, X, D>, demosaicLineAvx2<H, C, V, C, X, D>);
    if (is(V, C, H, D, X, C)) // green, blue
        return both(demosaicLineAvx2Wide<V, C, H, D, X, C>, demosaicLineAvx2<V, C, H, D, X, C>);
    if (is(D, X, C, V, C, H)) // blue, green
        return both(demosaicLineAvx2Wide<D, X, C, V, C, H>, demosaicLineAvx2<D, X, C, V, C, H>);
    return x;
}

// Lanes x .. x+7 of a line from an even column x: eight pixels at a time in 16-bit lanes,
// packed straight into the output line with byte shuffles (in reverse order when turned).
// Returns the first column it left to the caller.
__attribute__((target("ssse3"))) int demosaicLineSsse3(const uint8_t* u, const uint8_t* c,
                                                       const uint8_t* d, int x, int w,
                                                       const LineRecipe& recipe, bool turn,
                                                       const PackMasks& m, uint8_t* o) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i one16 = _mm_set1_epi16(1);
    const __m128i evenLanes = _mm_set_epi16(0, -1, 0, -1, 0, -1, 0, -1);
    // Lanes x .. x+7 need column x+8 on the right.
    for (; x + 8 < w; x += 8) {
        auto load = [&](const uint8_t* p) {
            return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
        };
        auto mean2v = [&](__m128i sum) {
            return _mm_srli_epi16(_mm_add_epi16(sum, _mm_and_si128(_mm_srli_epi16(sum, 1), one16)),
                                  1);
        };
        auto mean4v = [&](__m128i sum) {
            const __m128i odd = _mm_and_si128(_mm_srli_epi16(sum, 2), one16);
            return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(sum, one16), odd), 2);
        };
        const __m128i cl = load(c + x - 1), cc = load(c + x), cr = load(c + x + 1);
        const __m128i ul = load(u + x - 1), uc = load(u + x), ur = load(u + x + 1);
        const __m128i dl = load(d + x - 1), dc = load(d + x), dr = load(d + x + 1);
        const __m128i side = _mm_add_epi16(cl, cr), vert = _mm_add_epi16(uc, dc);
        __m128i v[kSources];
        v[Centre] = cc;
        v[Horizontal] = mean2v(side);
        v[Vertical] = mean2v(vert);
        v[Cross] = mean4v(_mm_add_epi16(side, vert));
        v[Diagonal] = mean4v(_mm_add_epi16(_mm_add_epi16(ul, ur), _mm_add_epi16(dl, dr)));
        __m128i ch[3];
        for (int k = 0; k < 3; ++k)
            ch[k] = _mm_or_si128(_mm_and_si128(evenLanes, v[recipe.source[0][k]]),
                                 _mm_andnot_si128(evenLanes, v[recipe.source[1][k]]));
        packEight(ch[0], ch[1], ch[2], m, x, w, turn, o);
    }
    return x;
}
#endif

// One line straight into its output line o, right to left when turned.
void demosaicLine(const uint8_t* u, const uint8_t* c, const uint8_t* d, int w,
                  const LineRecipe& recipe, bool turn, uint8_t* o) {
    auto one = [&](int x) {
        const int l = x == 0 ? 1 : x - 1;
        const int r = x == w - 1 ? w - 2 : x + 1;
        putPixel(o + 3 * size_t(turn ? w - 1 - x : x),
                 demosaicPixel(u, c, d, x, l, r, recipe.source[x & 1]));
    };
    // w >= 2
    one(0);
    one(1);
    int x = 2;
#if defined(LUMETRA_SSSE3)
    if (hasSsse3()) {
        // Made once: building them for each line cost a fiftieth of the conversion.
        static const PackMasks kMasks[2] = {packMasks(false), packMasks(true)};
        const PackMasks& masks = kMasks[turn ? 1 : 0];
        if (hasAvx2())
            x = demosaicLineAvx2(u, c, d, x, w, recipe, turn, masks, o);
        x = demosaicLineSsse3(u, c, d, x, w, recipe, turn, masks, o);
        // The last columns as one more block that ends with the line (the columns it
        // repeats come out the same): one pixel at a time costs tens of vector pixels, and
        // a line would otherwise leave up to seven of them.
        const int back = (w - 9) & ~1; // even, as every block starts, and back + 8 < w
        if (back >= 2 && back + 8 > x)
            x = demosaicLineSsse3(u, c, d, back, w, recipe, turn, masks, o);
    }
#endif
    for (; x < w; ++x)
        one(x);
}

QImage fromBayer(const RawFrame& f, size_t stride, bool turn, ImagePool* pool) {
    const int w = f.width, h = f.height;
    if (w < 2 || h < 2)
        return QImage();
    QImage out = newImage(w, h, pool);
    if (out.isNull())
        return out;
    const LineRecipe recipes[2] = {recipeFor(f.type, 0), recipeFor(f.type, 1)};
    auto line = [&](int y) { return f.data + size_t(y) * stride; };
    for (int y = 0; y < h; ++y) {
        const uint8_t* u = line(y == 0 ? 1 : y - 1);
        const uint8_t* d = line(y == h - 1 ? h - 2 : y + 1);
        demosaicLine(u, line(y), d, w, recipes[y & 1], turn, out.scanLine(turn ? h - 1 - y : y));
    }
    return out;
}

} // namespace

QImage toRgbImage(const RawFrame& f, bool turn, ImagePool* pool) {
    const int bits = sdk::bitDepth(f.type);
    if (!f.data || f.width <= 0 || f.height <= 0 || bits == 0)
        return QImage();
    const size_t lineBytes = size_t(f.width) * size_t(bits / 8);
    const size_t stride = lineBytes + f.paddingX;
    // The last line needs no padding after it.
    if (f.size < stride * size_t(f.height - 1) + lineBytes)
        return QImage();
    switch (f.type) {
    case sdk::PixelType::RGB8:
        return fromPacked(f, stride, 0, 1, 2, turn, pool);
    case sdk::PixelType::BGR8:
        return fromPacked(f, stride, 2, 1, 0, turn, pool);
    case sdk::PixelType::Mono8:
        return fromMono(f, stride, turn, pool);
    case sdk::PixelType::BayerRG8:
    case sdk::PixelType::BayerGR8:
    case sdk::PixelType::BayerBG8:
    case sdk::PixelType::BayerGB8:
        return fromBayer(f, stride, turn, pool);
    default:
        return QImage();
    }
}

} // namespace lumetra::camera
