#include "CalibrationInternal.h"

#include <QSettings>

#include <cmath>

namespace lumetra::calibration {

namespace {
constexpr int kSamplesPerRun = 5;
}

QString calibrationDialogTitle(const QString& wavelength) {
    return QStringLiteral("Calibration of ") + wavelength;
}

QString calibrationDialogLabel(const QString& wl) {
    const QString quote = QStringLiteral("\"");
    return QStringLiteral("Calibration of ") + wl +
           QStringLiteral("nm is about to begin.\nThis will help to have more accurate display "
                          "and mesures of power on the corresponding wavelength.\n\nTo do "
                          "so:\n- please shoot only the ") +
           wl +
           QStringLiteral("nm beam into the KVT-S-300.\n- Avoid vibrations of the device "
                          "and/or of the laser during measurements.\n- ") +
           quote + QStringLiteral("Max ") + wl + quote +
           QStringLiteral(" should be around 80-90%.\n- The ROI (green rect) must contain the "
                          "entire spot.\n- Ensure you have selected the right corner (Spot "
                          "selection).\nFor better results, the calibration process should be "
                          "done for each 4 corner\n\nWhen you are ready, please enter the power "
                          "(in W) you are shooting into the sensor, to calibrate it, and wait "
                          "for the end of the calibration process (~1s)");
}

QString calibrationDoneTitle(const QString& wavelength) {
    return QStringLiteral("Calibration of ") + wavelength + QStringLiteral(" done");
}

QString calibrationDoneText(const QString& wavelength) {
    return QStringLiteral("Calibration of ") + wavelength + QStringLiteral(" done!");
}

int selectedCorner(bool blChecked, bool brChecked, bool tlChecked, bool trChecked) {
    if (blChecked)
        return 2;
    if (brChecked)
        return 3;
    if (tlChecked)
        return 0;
    if (trChecked)
        return 1;
    return 0;
}

int channelToServe(const bool calibrationActive[kChannels]) {
    for (int c = 0; c < kChannels; ++c)
        if (calibrationActive[c])
            return c;
    return -1;
}

std::array<int, kChannels>& calibrationSampleCount() {
    static std::array<int, kChannels> counts{0, 0, 0};
    return counts;
}

std::array<float, 3> normalisedSignal(const std::array<float, 3>& s) {
    const float n = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
    if (std::fabs(n - 1.0f) <= 0.00001f || std::fabs(n) <= 0.00001f)
        return s;
    return {s[0] / n, s[1] / n, s[2] / n};
}

SampleResult writeCalibrationSample(const QString& fileName, const QString& wavelength, int corner,
                                    const std::array<float, 3>& cornerSignal, int& sampleCount) {
    SampleResult result;
    result.raw = cornerSignal;
    result.normalised = normalisedSignal(cornerSignal);
    if (!isStorableWavelength(wavelength)) {
        result.refused = true;
        result.notices << Notice{Notice::Kind::Warning, QStringLiteral("Invalid wavelength"),
                                 QLatin1Char('"') + wavelength +
                                     QStringLiteral("\" cannot be calibrated: it cannot be "
                                                    "stored in the calibration file.")};
        return result;
    }
    const auto file = detail::openForWrite(fileName, result.notices);
    if (!file) {
        result.refused = true;
        return result;
    }
    file->beginGroup(wavelength);
    file->beginGroup(QStringLiteral("user"));
    for (int r = 0; r < 3; ++r)
        file->setValue(matrixKey(r, corner), result.normalised[r]);
    file->endGroup();
    file->endGroup();
    if (!detail::flushWrite(fileName, *file, result.notices)) {
        result.refused = true;
        return result;
    }
    if (++sampleCount == kSamplesPerRun) {
        sampleCount = 0;
        result.completed = true;
    }
    return result;
}

PowerFactorResult storePowerFactor(const QString& fileName, const QString& wavelength, int channel,
                                   int corner, const std::array<float, 3>& raw,
                                   const double unmixCoef[9][kCorners], double exposureUs,
                                   double calibrationPower) {
    PowerFactorResult result;
    const int e = 3 * channel;
    result.factor =
        (unmixCoef[e][corner] * double(raw[0]) + unmixCoef[e + 1][corner] * double(raw[1]) +
         unmixCoef[e + 2][corner] * double(raw[2])) /
        exposureUs / calibrationPower;
    const QString key = wavelength + cornerSuffix(corner);
    if (!std::isfinite(result.factor) || result.factor <= 0.0) {
        result.notices << Notice{Notice::Kind::Log,
                                 {},
                                 QStringLiteral("Power factor ") + key +
                                     QStringLiteral(" not stored: invalid value ") +
                                     QString::number(result.factor)};
        return result;
    }
    if (!isStorableWavelength(wavelength))
        return result;
    const auto file = detail::openForWrite(fileName, result.notices);
    if (!file)
        return result;
    file->beginGroup(QStringLiteral("Power"));
    file->setValue(key, result.factor);
    file->endGroup();
    result.stored = detail::flushWrite(fileName, *file, result.notices);
    return result;
}

} // namespace lumetra::calibration
