#include "ColorCorrection.h"

#include <algorithm>
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

LUMETRA_HOT_LOOP void splitRow(const uchar* p, int w, std::uint8_t* r, std::uint8_t* g,
                               std::uint8_t* b) {
    for (int x = 0; x < w; ++x) {
        r[x] = p[3 * x];
        g[x] = p[3 * x + 1];
        b[x] = p[3 * x + 2];
    }
}

// One output channel: m0*r + m1*g + m2*b summed in double (left to right), then float,
// clamped to 0..255 and truncated.
LUMETRA_HOT_LOOP void mixRow(const std::uint8_t* r, const std::uint8_t* g, const std::uint8_t* b,
                             int w, double m0, double m1, double m2, std::uint8_t* out) {
    for (int x = 0; x < w; ++x) {
        const double s = m0 * double(r[x]) + m1 * double(g[x]) + m2 * double(b[x]);
        float f = float(s);
        f = f > 0.0f ? f : 0.0f; // also catches NaN from a broken matrix
        f = f < 255.0f ? f : 255.0f;
        out[x] = std::uint8_t(std::int32_t(f));
    }
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

LUMETRA_HOT_LOOP qint64 sumRow(const std::uint8_t* v, int w) {
    std::uint32_t s = 0; // at most 1200 * 255 per row
    for (int x = 0; x < w; ++x) {
        s += v[x];
    }
    return qint64(s);
}

} // namespace

void CropPlanes::resize(int w, int h) {
    width = w;
    height = h;
    const std::size_t n = std::size_t(w) * std::size_t(h);
    red.resize(n);
    green.resize(n);
    blue.resize(n);
}

void splitRows(const RowView& image, CropPlanes* planes, int y0, int y1) {
    const int w = planes->width;
    for (int y = y0; y < y1; ++y) {
        const std::size_t o = std::size_t(y) * std::size_t(w);
        splitRow(image.row(y), w, planes->red.data() + o, planes->green.data() + o,
                 planes->blue.data() + o);
    }
}

ChannelSums correctRows(const CropPlanes& k, const UnmixMatrix& m, Shift shift, const RowView& out,
                        SpotPlanes* planes, int y0, int y1) {
    const int w = out.width;
    const int kw = k.width;
    const int mg = kCorrectionMargin;
    auto at = [&](const std::vector<std::uint8_t>& plane, int x, int y) {
        return plane.data() + std::size_t(y) * std::size_t(kw) + std::size_t(x);
    };
    ChannelSums sums{0, 0, 0};
    for (int y = y0; y < y1; ++y) {
        const int ax = mg + shift.sx, ay = y + mg + shift.sy;
        const int bx = mg, by = y + mg;
        const int px = mg - shift.sx, py = y + mg - shift.sy;
        const std::size_t o = std::size_t(y) * std::size_t(w);
        std::uint8_t* r = planes->red.data() + o;
        std::uint8_t* g = planes->green.data() + o;
        std::uint8_t* b = planes->blue.data() + o;
        mixRow(at(k.red, ax, ay), at(k.green, ax, ay), at(k.blue, ax, ay), w, m[0], m[1], m[2], r);
        mixRow(at(k.red, bx, by), at(k.green, bx, by), at(k.blue, bx, by), w, m[3], m[4], m[5], g);
        mixRow(at(k.red, px, py), at(k.green, px, py), at(k.blue, px, py), w, m[6], m[7], m[8], b);
        joinRow(r, g, b, w, out.row(y), planes->all.data() + o);
        sums[0] += sumRow(at(k.red, px, py), w);
        sums[1] += sumRow(at(k.green, px, py), w);
        sums[2] += sumRow(at(k.blue, px, py), w);
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
