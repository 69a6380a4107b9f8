#pragma once
// Spot search on the colour-corrected image for one channel selector: the bright box
// (columns/rows holding at least 5 pixels above 10), the channel maximum (over the bright
// pixels of each column from its fifth on), and the half-maximum box inside the bright box,
// whose scans stop before the last bright column and row. Works on scan lines in row
// order; the counts per column give the same result as the column-by-column scan.

#include "MeasureTypes.h"

#include <QImage>
#include <QPoint>
#include <QString>

namespace lumetra::measure {

// Runs the search. `max` receives the maximum; when the bright box is wider and taller than
// 10 pixels, `size` (and `centre` if given) receive the half-maximum box size and centre,
// otherwise they are left as they were. Returns 0.
int MeasureSpot(const QImage& image, int selector, int* max, QPoint* centre, QPoint* size);

} // namespace lumetra::measure
