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

// Writes rows [y0, y1) of `out` (RGB888, crop less the margin) from the RGB888 crop rows `k`
// (only read), and the same rows of `planes` (sized to `out`), and returns the raw channel
// sums of those rows' "away" pixels.
ChannelSums correctRows(const RowView& k, const UnmixMatrix& m, Shift shift, const RowView& out,
                        SpotPlanes* planes, int y0, int y1);

// The matrix applied to the channel sums, in double, stored as float.
std::array<float, 3> cornerSignalOf(const UnmixMatrix& m, const ChannelSums& sums);

// red = min(red * boost, 255) on every pixel; boost 1 changes nothing.
void applyRedBoost(QImage* image, int boost);

} // namespace lumetra::measure
