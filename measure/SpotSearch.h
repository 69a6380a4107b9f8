#pragma once
// Spot search on the colour-corrected image for one channel selector: the bright box
// (columns/rows holding at least 5 pixels above 10), the channel maximum (over the bright
// pixels of each column from its fifth on), and the half-maximum box inside the bright box,
// whose scans stop before the last bright column and row. Works on planes in row order;
// counts per column give the same result as the column-by-column scan.

#include "MeasureTypes.h"

#include <QImage>
#include <QPoint>
#include <cstdint>
#include <vector>

namespace lumetra::measure {

// The selector values of the corrected image, one contiguous plane each (row stride = width):
// R, G, B and R + G + B.
struct SpotPlanes {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> red, green, blue;
    std::vector<std::uint16_t> all;

    void resize(int w, int h);
    // Fills the planes from an RGB888 image.
    void fill(const QImage& image);
};

// Runs the search. `max` receives the maximum; when the bright box is wider and taller than
// 10 pixels, `size` (and `centre` if given) receive the half-maximum box size and centre,
// otherwise they are left as they were. Returns 0.
int MeasureSpot(const SpotPlanes& planes, int selector, int* max, QPoint* centre, QPoint* size);
// The same on an RGB888 image.
int MeasureSpot(const QImage& image, int selector, int* max, QPoint* centre, QPoint* size);

} // namespace lumetra::measure
