#pragma once
// Turning spot-search outcomes into results and the texts the window shows: divergence and
// alignment pairs, power per channel, peak levels, and the exposure supervision.

#include "MeasureTypes.h"

#include <QPoint>
#include <QString>
#include <array>
#include <cstddef>
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

// What each result text of a frame says. The window maps them to its labels, the offline
// tool to its output keys; nothing here knows either. The first seven follow the order of
// the result pairs (PairIndex).
enum class ResultText {
    DivergenceAll,
    DivergenceRed,
    DivergenceGreen,
    DivergenceBlue,
    AlignmentRG,
    AlignmentBG,
    AlignmentRB,
    PeakRed,
    PeakGreen,
    PeakBlue,
    PowerRed,
    PowerGreen,
    PowerBlue,
    PowerTotal,
    ExposureWarning,
    RegionWarning,
};
constexpr int kResultTextCount = int(ResultText::RegionWarning) + 1;

// The text of result pair `pair` (divergence or alignment).
constexpr ResultText pairText(PairIndex pair) {
    return ResultText(int(pair));
}

// The texts of one frame. An unset text means "leave what is shown": the powers of a frame
// that serves a power calibration, the region warning once the stabiliser is full.
class ResultTexts {
public:
    const std::optional<QString>& operator[](ResultText t) const { return m_texts[std::size_t(t)]; }
    std::optional<QString>& operator[](ResultText t) { return m_texts[std::size_t(t)]; }
    // The text, empty when unset.
    QString text(ResultText t) const { return m_texts[std::size_t(t)].value_or(QString()); }
    bool operator==(const ResultTexts& o) const { return m_texts == o.m_texts; }
    bool operator!=(const ResultTexts& o) const { return m_texts != o.m_texts; }

private:
    std::array<std::optional<QString>, kResultTextCount> m_texts;
};

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
