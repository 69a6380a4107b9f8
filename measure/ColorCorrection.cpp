#include "ColorCorrection.h"

#include <algorithm>

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

UnmixTable::UnmixTable(const UnmixMatrix& m) {
    for (int e = 0; e < 9; ++e) {
        for (int v = 0; v < 256; ++v) {
            m_products[e][v] = m[e] * v;
        }
    }
}

bool hasCorrectedImage(int cropWidth, int cropHeight) {
    return cropWidth > 2 * kCorrectionMargin && cropHeight > 2 * kCorrectionMargin;
}

namespace {

// Sum in double, then float, clamped to 0..255, truncated.
inline std::uint8_t toChannel(double sum) {
    float f = float(sum);
    if (!(f >= 0.0f)) { // also catches NaN from a broken matrix
        f = 0.0f;
    }
    if (f > 255.0f) {
        f = 255.0f;
    }
    return std::uint8_t(int(f));
}

} // namespace

ChannelSums correctRows(const QImage& k, const UnmixTable& t, Shift shift, QImage* out, int y0,
                        int y1) {
    const int w = out->width();
    const int m = kCorrectionMargin;
    const double *m00 = t(0), *m01 = t(1), *m02 = t(2);
    const double *m10 = t(3), *m11 = t(4), *m12 = t(5);
    const double *m20 = t(6), *m21 = t(7), *m22 = t(8);
    qint64 sr = 0, sg = 0, sb = 0;
    for (int y = y0; y < y1; ++y) {
        const uchar* rowA = k.constScanLine(y + m + shift.sy) + 3 * (m + shift.sx);
        const uchar* rowB = k.constScanLine(y + m) + 3 * m;
        const uchar* rowP = k.constScanLine(y + m - shift.sy) + 3 * (m - shift.sx);
        uchar* o = out->scanLine(y);
        int rowR = 0, rowG = 0, rowB2 = 0;
        for (int x = 0; x < w; ++x) {
            const uchar* a = rowA + 3 * x;
            const uchar* b = rowB + 3 * x;
            const uchar* p = rowP + 3 * x;
            o[3 * x] = toChannel(m00[a[0]] + m01[a[1]] + m02[a[2]]);
            o[3 * x + 1] = toChannel(m10[b[0]] + m11[b[1]] + m12[b[2]]);
            o[3 * x + 2] = toChannel(m20[p[0]] + m21[p[1]] + m22[p[2]]);
            rowR += p[0];
            rowG += p[1];
            rowB2 += p[2];
        }
        sr += rowR;
        sg += rowG;
        sb += rowB2;
    }
    return {sr, sg, sb};
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
