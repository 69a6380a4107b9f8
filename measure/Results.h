#pragma once
// Turning spot-search outcomes into results and the texts the window shows: divergence and
// alignment pairs, power per channel, peak levels, and the exposure supervision.

#include "MeasureTypes.h"

#include <QPoint>
#include <QString>
#include <optional>

namespace lumetra::measure {

inline const QString kProcessingText = QStringLiteral("Processing...");
inline const QString kNotAvailableText = QStringLiteral("N/A");
inline const QString kLowPowerText = QStringLiteral("Low");
inline const QString kExposureTooLowText =
    QStringLiteral("Exposure too low, the measure is incorrect");
inline const QString kExposureLowText =
    QStringLiteral("Exposure is low, the measure is not accurate");
inline const QString kExposureTooHighText =
    QStringLiteral("Exposure too high, the measure is incorrect");

// Pixel size (w, h) to divergence in mrad; (-1, -1) stays the missing marker.
MeasurePair divergenceFromSize(QPoint size);
// Offset of centre a from centre b in mrad (x right, y up); (-100, -100) when one is missing.
MeasurePair alignmentOf(QPoint a, QPoint b);

// "x x y [g]" when both are greater than 0, else "N/A".
QString divergenceText(MeasurePair p);
// "x x y" when both are above -99, else "N/A".
QString alignmentText(MeasurePair p);
// Peak level of a channel: "N/A" up to 25, else the integer percent of 255 and "%".
QString maxText(int max);

// Signal / exposure in single precision, then / factor in double. NaN when the exposure
// or the factor is not a positive number, or the power would not be finite.
double channelPower(float signal, float exposureUs, double powerFactor);
// "0.12 W" above `threshold`, else "Low" (0.05 per channel, 0.15 for the total); "N/A"
// for NaN (no power).
QString powerText(double watts, double threshold);

struct ExposureAdvice {
    QString warning;              // text of the exposure warning label
    std::optional<double> factor; // automatic exposure factor, none: leave the exposure
};
// K is the largest channel maximum of the frame.
ExposureAdvice superviseExposure(int k, bool stabilised);

} // namespace lumetra::measure
