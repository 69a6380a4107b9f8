#include "SpotSearch.h"

#include <algorithm>
#include <vector>

namespace lumetra::measure {

namespace {

constexpr int kBright = 10;
constexpr int kCount = 5;

template <int Sel> inline int valueAt(const uchar* p) {
    if constexpr (Sel == SpotAll) {
        return int(p[0]) + int(p[1]) + int(p[2]);
    } else {
        return p[Sel - 1];
    }
}

template <int Sel> void search(const QImage& img, int* maxOut, QPoint* centre, QPoint* size) {
    const int w = img.width();
    const int h = img.height();
    std::vector<int> colCount(std::size_t(w), 0);
    std::vector<int> colMax(std::size_t(w), 0);
    int firstRow = -1, lastRow = -1;
    for (int y = 0; y < h; ++y) {
        const uchar* p = img.constScanLine(y);
        int n = 0;
        for (int x = 0; x < w; ++x) {
            const int v = valueAt<Sel>(p + 3 * x);
            const int bright = v > kBright;
            const int c = colCount[x] + bright;
            colCount[x] = c;
            const int eligible = (bright & (c >= kCount)) ? v : 0;
            colMax[x] = std::max(colMax[x], eligible);
            n += bright;
        }
        if (n >= kCount) {
            lastRow = y;
            if (firstRow < 0) {
                firstRow = y;
            }
        }
    }
    int firstCol = -1, lastCol = -1, max = 0;
    for (int x = 0; x < w; ++x) {
        if (colCount[x] >= kCount) {
            lastCol = x;
            if (firstCol < 0) {
                firstCol = x;
            }
            max = std::max(max, colMax[x]);
        }
    }
    *maxOut = max;
    if (lastCol - firstCol <= 10 || lastRow - firstRow <= 10) {
        return;
    }

    const int half = max / 2;
    std::fill(colCount.begin(), colCount.end(), 0);
    int fFirstRow = -1, fLastRow = -1;
    for (int y = firstRow; y < lastRow; ++y) {
        const uchar* p = img.constScanLine(y);
        int n = 0;
        for (int x = firstCol; x < lastCol; ++x) {
            const int above = valueAt<Sel>(p + 3 * x) > half;
            colCount[x] += above;
            n += above;
        }
        if (n >= kCount) {
            fLastRow = y;
            if (fFirstRow < 0) {
                fFirstRow = y;
            }
        }
    }
    int fFirstCol = -1, fLastCol = -1;
    for (int x = firstCol; x < lastCol; ++x) {
        if (colCount[x] >= kCount) {
            fLastCol = x;
            if (fFirstCol < 0) {
                fFirstCol = x;
            }
        }
    }
    if (centre) {
        *centre = QPoint((fLastCol + fFirstCol) / 2, (fLastRow + fFirstRow) / 2);
    }
    *size = QPoint(fLastCol - fFirstCol, fLastRow - fFirstRow);
}

} // namespace

int MeasureSpot(const QImage& image, int selector, int* max, QPoint* centre, QPoint* size) {
    switch (selector) {
    case SpotAll:
        search<SpotAll>(image, max, centre, size);
        break;
    case SpotRed:
        search<SpotRed>(image, max, centre, size);
        break;
    case SpotGreen:
        search<SpotGreen>(image, max, centre, size);
        break;
    case SpotBlue:
        search<SpotBlue>(image, max, centre, size);
        break;
    default:
        break;
    }
    return 0;
}

} // namespace lumetra::measure
