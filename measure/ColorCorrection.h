#pragma once
// Colour correction of the stabilised crop: each output channel is a row of the corner's
// unmixing matrix applied to the camera's R, G, B; red is sampled `shift` pixels towards
// the corner, blue as far away from it, green in place. The raw values of the "away"
// pixel are summed exactly per channel; the corner signal is the matrix applied to those
// sums. The red boost scales the displayed red after the measures are taken.

#include "MeasureTypes.h"
#include "SpotSearch.h"

#include <QImage>
#include <QtGlobal>
#include <array>
#include <cstdint>
#include <vector>

namespace lumetra::measure {

using ChannelSums = std::array<qint64, 3>;

// The corrected image is the crop less the margin on each side; it exists only when the
// crop is more than twice the margin in both directions.
bool hasCorrectedImage(int cropWidth, int cropHeight);

// The stabilised crop as three contiguous channel planes (row stride = width).
struct CropPlanes {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> red, green, blue;

    void resize(int w, int h);
};

// Splits rows [y0, y1) of the RGB888 rows into `planes` (sized to the image).
void splitRows(const RowView& image, CropPlanes* planes, int y0, int y1);

// Writes rows [y0, y1) of `out` (RGB888, crop less the margin) from the crop planes `k`,
// and the same rows of `planes` (sized to `out`), and returns the raw channel sums of those
// rows' "away" pixels.
ChannelSums correctRows(const CropPlanes& k, const UnmixMatrix& m, Shift shift, const RowView& out,
                        SpotPlanes* planes, int y0, int y1);

// The matrix applied to the channel sums, in double, stored as float.
std::array<float, 3> cornerSignalOf(const UnmixMatrix& m, const ChannelSums& sums);

// red = min(red * boost, 255) on every pixel; boost 1 changes nothing.
void applyRedBoost(QImage* image, int boost);

} // namespace lumetra::measure
