#include "Results.h"

#include <cmath>
#include <limits>

namespace lumetra::measure {

namespace {
QString number2(double v) {
    return QString::number(v, 'f', 2);
}
} // namespace

MeasurePair divergenceFromSize(QPoint size) {
    if (size.x() == -1 && size.y() == -1) {
        return {-1.0f, -1.0f};
    }
    // 0.01 mrad per pixel, less the 0.02 mrad offset (subtracted in double).
    const float x = float(2 * size.x()) / 200.0f;
    const float y = float(2 * size.y()) / 200.0f;
    return {float(double(x) - 0.02), float(double(y) - 0.02)};
}

MeasurePair alignmentOf(QPoint a, QPoint b) {
    if (a == QPoint(-1, -1) || b == QPoint(-1, -1)) {
        return {-100.0f, -100.0f};
    }
    return {float(2 * (a.x() - b.x())) / 200.0f, float(2 * (b.y() - a.y())) / 200.0f};
}

QString divergenceText(MeasurePair p) {
    if (p.x > 0 && p.y > 0) {
        const float g = std::sqrt(p.x * p.y);
        return number2(p.x) + QStringLiteral(" x ") + number2(p.y) + QStringLiteral(" [") +
               number2(g) + QStringLiteral("]");
    }
    return kNotAvailableText;
}

QString alignmentText(MeasurePair p) {
    if (p.x > -99 && p.y > -99) {
        return number2(p.x) + QStringLiteral(" x ") + number2(p.y);
    }
    return kNotAvailableText;
}

QString maxText(int max) {
    if (max <= 25) {
        return kNotAvailableText;
    }
    return QString::number(max * 100 / 255) + QStringLiteral("%");
}

double channelPower(float signal, float exposureUs, double powerFactor) {
    const double none = std::numeric_limits<double>::quiet_NaN();
    if (!(exposureUs > 0) || !std::isfinite(exposureUs) || !(powerFactor > 0) ||
        !std::isfinite(powerFactor))
        return none;
    const float perUs = signal / exposureUs;
    const double watts = double(perUs) / powerFactor;
    return std::isfinite(watts) ? watts : none;
}

QString powerText(double watts, double threshold) {
    if (std::isnan(watts)) {
        return kNotAvailableText;
    }
    if (watts > threshold) {
        return number2(watts) + QStringLiteral(" W");
    }
    return kLowPowerText;
}

ExposureAdvice superviseExposure(int k, bool stabilised) {
    if (!stabilised || k <= 15) {
        return {};
    }
    if (k <= 19) {
        return {kExposureTooLowText, 1.1};
    }
    if (k <= 134) {
        return {kExposureLowText, 1.1};
    }
    if (k <= 209) {
        return {QString(), 1.02};
    }
    if (k <= 249) {
        return {};
    }
    return {kExposureTooHighText, 0.94};
}

} // namespace lumetra::measure
