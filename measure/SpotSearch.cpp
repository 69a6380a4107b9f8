#include "SpotSearch.h"

#include <algorithm>

namespace lumetra::measure {

namespace {

constexpr int kBright = 10;
constexpr int kCount = 5;

// Counts only ever meet the threshold kCount, so they stop at it and fit the plane's own
// type, as does a column maximum: many pixels per vector. A span's bright pixels fit 16
// bits.
constexpr int kSpan = 1 << 15;

// One span of a row of the bright scan: per-column bright counts and maxima from the fifth
// bright pixel on; returns the number of bright pixels.
template <typename T>
LUMETRA_HOT_LOOP int brightSpan(const T* __restrict v, int w, T* __restrict count,
                                T* __restrict colMax) {
    std::uint16_t n = 0;
    for (int x = 0; x < w; ++x) {
        const T val = v[x];
        const T bright = val > kBright;
        const T c = T(count[x] + bright);
        count[x] = std::min(c, T(kCount));
        const T eligible = (bright != 0 && c >= kCount) ? val : T(0);
        colMax[x] = std::max(colMax[x], eligible);
        n = std::uint16_t(n + bright);
    }
    return n;
}

// One span of a row of the half-maximum scan.
template <typename T>
LUMETRA_HOT_LOOP int aboveSpan(const T* __restrict v, int w, T half, T* __restrict count) {
    std::uint16_t n = 0;
    for (int x = 0; x < w; ++x) {
        const T above = v[x] > half;
        count[x] = std::min(T(count[x] + above), T(kCount));
        n = std::uint16_t(n + above);
    }
    return n;
}

template <typename T> int brightRow(const T* v, int w, T* count, T* colMax) {
    int n = 0;
    for (int x = 0; x < w; x += kSpan) {
        n += brightSpan(v + x, std::min(kSpan, w - x), count + x, colMax + x);
    }
    return n;
}

template <typename T> int aboveRow(const T* v, int w, T half, T* count) {
    int n = 0;
    for (int x = 0; x < w; x += kSpan) {
        n += aboveSpan(v + x, std::min(kSpan, w - x), half, count + x);
    }
    return n;
}

template <typename T>
void search(const T* plane, int w, int h, int* maxOut, QPoint* centre, QPoint* size) {
    std::vector<T> count(std::size_t(w) + 1, 0);
    std::vector<T> colMax(std::size_t(w) + 1, 0);
    int firstRow = -1, lastRow = -1;
    for (int y = 0; y < h; ++y) {
        if (brightRow(plane + std::size_t(y) * w, w, count.data(), colMax.data()) >= kCount) {
            lastRow = y;
            if (firstRow < 0) {
                firstRow = y;
            }
        }
    }
    int firstCol = -1, lastCol = -1, max = 0;
    for (int x = 0; x < w; ++x) {
        if (count[x] >= kCount) {
            lastCol = x;
            if (firstCol < 0) {
                firstCol = x;
            }
            max = std::max(max, int(colMax[x]));
        }
    }
    *maxOut = max;
    if (lastCol - firstCol <= 10 || lastRow - firstRow <= 10) {
        return;
    }

    const int half = max / 2;
    const int boxW = lastCol - firstCol;
    std::fill(count.begin(), count.end(), 0);
    int fFirstRow = -1, fLastRow = -1;
    for (int y = firstRow; y < lastRow; ++y) {
        if (aboveRow(plane + std::size_t(y) * w + firstCol, boxW, T(half), count.data()) >=
            kCount) {
            fLastRow = y;
            if (fFirstRow < 0) {
                fFirstRow = y;
            }
        }
    }
    int fFirstCol = -1, fLastCol = -1;
    for (int i = 0; i < boxW; ++i) {
        if (count[i] >= kCount) {
            fLastCol = firstCol + i;
            if (fFirstCol < 0) {
                fFirstCol = firstCol + i;
            }
        }
    }
    if (centre) {
        *centre = QPoint((fLastCol + fFirstCol) / 2, (fLastRow + fFirstRow) / 2);
    }
    *size = QPoint(fLastCol - fFirstCol, fLastRow - fFirstRow);
}

} // namespace

void SpotPlanes::resize(int w, int h) {
    width = w;
    height = h;
    const std::size_t n = std::size_t(w) * std::size_t(h);
    red.resize(n);
    green.resize(n);
    blue.resize(n);
    all.resize(n);
}

void SpotPlanes::fill(const QImage& image) {
    const QImage img = image.convertToFormat(QImage::Format_RGB888);
    resize(img.width(), img.height());
    for (int y = 0; y < height; ++y) {
        const uchar* p = img.constScanLine(y);
        const std::size_t o = std::size_t(y) * width;
        for (int x = 0; x < width; ++x) {
            red[o + x] = p[3 * x];
            green[o + x] = p[3 * x + 1];
            blue[o + x] = p[3 * x + 2];
            all[o + x] = std::uint16_t(p[3 * x] + p[3 * x + 1] + p[3 * x + 2]);
        }
    }
}

int MeasureSpot(const SpotPlanes& p, int selector, int* max, QPoint* centre, QPoint* size) {
    switch (selector) {
    case SpotAll:
        search(p.all.data(), p.width, p.height, max, centre, size);
        break;
    case SpotRed:
        search(p.red.data(), p.width, p.height, max, centre, size);
        break;
    case SpotGreen:
        search(p.green.data(), p.width, p.height, max, centre, size);
        break;
    case SpotBlue:
        search(p.blue.data(), p.width, p.height, max, centre, size);
        break;
    default:
        break;
    }
    return 0;
}

int MeasureSpot(const QImage& image, int selector, int* max, QPoint* centre, QPoint* size) {
    SpotPlanes planes;
    planes.fill(image);
    return MeasureSpot(planes, selector, max, centre, size);
}

} // namespace lumetra::measure
