#pragma once
// Automatic region of interest: finds the beams of the selected corner in a whole frame
// and proposes a region that holds them as the beam analysis needs (3 x the D4sigma
// widths around each beam), plus the colour correction's margins for the red and blue
// shifts. GUI-free and stateless; the caller keeps the current region for hysteresis.

#include "MeasureTypes.h"

#include <QRect>
#include <QString>

#include <array>
#include <optional>

class QImage;

namespace lumetra::measure {

// The region's side: never smaller (the labels' spot search needs room), never larger than
// the stabiliser holds.
constexpr int kAutoRoiMinSide = 64;

struct AutoRoiBeam {
    double centreX = 0, centreY = 0;   // image pixels
    double d4SigmaX = 0, d4SigmaY = 0; // pixels
    double peak = 0;                   // background-corrected counts (smoothed)
};

struct AutoRoiResult {
    // The region to use: the current one when it still holds the beams well (hysteresis),
    // else a new one. None when no beam was found.
    std::optional<QRect> roi;
    bool moved = false; // roi differs from the current region
    QString reason;     // why there is no roi
    // What was found per beam (R, G, B).
    std::array<std::optional<AutoRoiBeam>, 3> beams;
};

// `image`: the displayed frame (any format convertible to RGB888). `corner`: whose quarter
// of the image is searched (none: the whole image). `current`: the region in use (null
// when there is none). `unmix`: the corner's unmixing (camera RGB to beams, row-major), so
// that each beam is sized on its own and not with its neighbours' crosstalk; without it
// the camera channels stand for the beams.
AutoRoiResult findAutoRoi(const QImage& image, std::optional<Corner> corner, const QRect& current,
                          const std::optional<UnmixMatrix>& unmix = std::nullopt);

// The quarter of an image of this size where a corner's beams land (none: all of it).
QRect cornerArea(const QSize& size, std::optional<Corner> corner);

} // namespace lumetra::measure
