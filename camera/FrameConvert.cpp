#include "FrameConvert.h"

#include <cstring>
#include <mutex>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumetra::camera {

struct ImagePool::Shared {
    std::mutex mutex;
    size_t keep;
    size_t bytes = 0; // of each kept buffer
    std::vector<std::unique_ptr<uchar[]>> free;
};

namespace {

struct Lease {
    std::shared_ptr<ImagePool::Shared> pool;
    std::unique_ptr<uchar[]> data;
    size_t bytes;
};

// Runs where the last copy of the image goes, in any thread.
void giveBack(void* info) {
    std::unique_ptr<Lease> lease(static_cast<Lease*>(info));
    ImagePool::Shared& s = *lease->pool;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (ImagePool::recycles() && lease->bytes == s.bytes && s.free.size() < s.keep)
        s.free.push_back(std::move(lease->data));
}

QImage newImage(int w, int h, ImagePool* pool) {
    return pool ? pool->take(w, h) : QImage(w, h, QImage::Format_RGB888);
}

// Packed three-byte pixels, channel order given by the offsets of red, green and blue.
QImage fromPacked(const RawFrame& f, size_t stride, int r, int g, int b, bool turn,
                  ImagePool* pool) {
    QImage out = newImage(f.width, f.height, pool);
    if (out.isNull())
        return out;
    const int w = f.width, h = f.height;
    const bool asIs = r == 0 && g == 1 && b == 2;
    for (int y = 0; y < h; ++y) {
        uint8_t* d = out.scanLine(y);
        const uint8_t* line = f.data + size_t(turn ? h - 1 - y : y) * stride;
        if (!turn && asIs) {
            std::memcpy(d, line, size_t(w) * 3);
            continue;
        }
        for (int x = 0; x < w; ++x, d += 3) {
            const uint8_t* s = line + size_t(turn ? w - 1 - x : x) * 3;
            d[0] = s[r];
            d[1] = s[g];
            d[2] = s[b];
        }
    }
    return out;
}

QImage fromMono(const RawFrame& f, size_t stride, bool turn, ImagePool* pool) {
    QImage out = newImage(f.width, f.height, pool);
    if (out.isNull())
        return out;
    const int w = f.width, h = f.height;
    for (int y = 0; y < h; ++y) {
        uint8_t* d = out.scanLine(y);
        const uint8_t* s = f.data + size_t(turn ? h - 1 - y : y) * stride;
        for (int x = 0; x < w; ++x, d += 3)
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
// only from one side. The inner part of each line runs eight pixels at a time.
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

// One line into pixels of red, green and blue in the low three bytes.
void demosaicLine(const uint8_t* u, const uint8_t* c, const uint8_t* d, int w,
                  const LineRecipe& recipe, uint32_t* out) {
    auto one = [&](int x) {
        const int l = x == 0 ? 1 : x - 1;
        const int r = x == w - 1 ? w - 2 : x + 1;
        out[x] = demosaicPixel(u, c, d, x, l, r, recipe.source[x & 1]);
    };
    // w >= 2; the vector part starts on an even column.
    one(0);
    one(1);
    int x = 2;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i one16 = _mm_set1_epi16(1);
    auto mean2v = [&](__m128i sum) {
        return _mm_srli_epi16(_mm_add_epi16(sum, _mm_and_si128(_mm_srli_epi16(sum, 1), one16)), 1);
    };
    auto mean4v = [&](__m128i sum) {
        const __m128i odd = _mm_and_si128(_mm_srli_epi16(sum, 2), one16);
        return _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(sum, one16), odd), 2);
    };
    const __m128i evenLanes = _mm_set_epi16(0, -1, 0, -1, 0, -1, 0, -1);
    auto load = [&](const uint8_t* p) {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
    };
    // Lanes x .. x+7 need column x+8 on the right.
    for (; x + 8 < w; x += 8) {
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
        const __m128i rg = _mm_or_si128(ch[0], _mm_slli_epi16(ch[1], 8)); // r | g << 8
        const __m128i lo = _mm_unpacklo_epi16(rg, ch[2]);
        const __m128i hi = _mm_unpackhi_epi16(rg, ch[2]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x + 4), hi);
    }
#endif
    for (; x < w; ++x)
        one(x);
}

// One line's pixels (red, green, blue in the low three bytes) as packed RGB888, right to
// left when turn is set.
void packLine(const uint32_t* px, int w, bool turn, uint8_t* o) {
    int j = 0;
#if defined(__SSE2__)
    // Four pixels at a time. Each 64-bit half holds two: the low one's three bytes stay,
    // the high one's move down by a byte to follow them.
    const __m128i low3 = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
    const __m128i high3 = _mm_set_epi32(0x0000FFFF, int(0xFF000000u), 0x0000FFFF, int(0xFF000000u));
    // A group writes 14 bytes; the last two are written again by the next pixel, which
    // the condition keeps inside the line.
    for (; j + 4 < w; j += 4) {
        __m128i v;
        if (turn)
            v = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(px + w - 4 - j)),
                                  _MM_SHUFFLE(0, 1, 2, 3));
        else
            v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(px + j));
        const __m128i packed =
            _mm_or_si128(_mm_and_si128(v, low3), _mm_and_si128(_mm_srli_epi64(v, 8), high3));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 3 * size_t(j)), packed);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 3 * size_t(j) + 6),
                         _mm_unpackhi_epi64(packed, packed));
    }
#endif
    for (; j < w; ++j) {
        const uint32_t p = px[turn ? w - 1 - j : j];
        uint8_t* d = o + 3 * size_t(j);
        d[0] = uint8_t(p);
        d[1] = uint8_t(p >> 8);
        d[2] = uint8_t(p >> 16);
    }
}

QImage fromBayer(const RawFrame& f, size_t stride, bool turn, ImagePool* pool) {
    const int w = f.width, h = f.height;
    if (w < 2 || h < 2)
        return QImage();
    QImage out = newImage(w, h, pool);
    if (out.isNull())
        return out;
    const LineRecipe recipes[2] = {recipeFor(f.type, 0), recipeFor(f.type, 1)};
    std::vector<uint32_t> pixels(static_cast<size_t>(w));
    auto line = [&](int y) { return f.data + size_t(y) * stride; };
    for (int y = 0; y < h; ++y) {
        const uint8_t* u = line(y == 0 ? 1 : y - 1);
        const uint8_t* d = line(y == h - 1 ? h - 2 : y + 1);
        demosaicLine(u, line(y), d, w, recipes[y & 1], pixels.data());
        packLine(pixels.data(), w, turn, out.scanLine(turn ? h - 1 - y : y));
    }
    return out;
}

} // namespace

ImagePool::ImagePool(size_t keep) : m_shared(std::make_shared<Shared>()) {
    m_shared->keep = keep;
}

bool ImagePool::recycles() {
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

QImage ImagePool::take(int width, int height) {
    if (width <= 0 || height <= 0)
        return QImage();
    // QImage's own line length for RGB888: whole 32-bit words.
    const qsizetype bpl = (qsizetype(width) * 3 + 3) & ~qsizetype(3);
    const size_t bytes = size_t(bpl) * size_t(height);
    auto lease = std::make_unique<Lease>();
    lease->pool = m_shared;
    lease->bytes = bytes;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (m_shared->bytes != bytes) {
            m_shared->free.clear();
            m_shared->bytes = bytes;
        }
        if (!m_shared->free.empty()) {
            lease->data = std::move(m_shared->free.back());
            m_shared->free.pop_back();
        }
    }
    if (!lease->data) {
        lease->data.reset(new (std::nothrow) uchar[bytes]); // not cleared: every byte is written
        if (!lease->data)
            return QImage();
    }
    uchar* data = lease->data.get();
    return QImage(data, width, height, bpl, QImage::Format_RGB888, giveBack, lease.release());
}

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
