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

SampleResult takeCalibrationSample(const std::array<float, 3>& cornerSignal, int& sampleCount) {
    SampleResult result;
    result.raw = cornerSignal;
    result.normalised = normalisedSignal(cornerSignal);
    if (++sampleCount == kSamplesPerRun) {
        sampleCount = 0;
        result.completed = true;
    }
    return result;
}

namespace {

// The corner's colour matrix for the selected wavelengths as the file gives it: with the
// user columns (`withUser`) as a load reads it, or the factory columns alone.
void cornerMatrix(QSettings* file, const std::array<QString, 3>& wavelengths, int corner,
                  bool withUser, double m[3][3]) {
    const QStringList groups = file ? file->childGroups() : QStringList();
    for (int c = 0; c < kChannels; ++c) {
        const QString& wl = wavelengths[c];
        const bool calibrated = isStorableWavelength(wl) && groups.contains(wl);
        for (int r = 0; r < 3; ++r) {
            m[r][c] = defaultMatrixValue(r, c);
            if (!calibrated)
                continue;
            const QString key = wl + QLatin1Char('/') + matrixKey(r, corner);
            const QVariant factory = file->value(key, m[r][c]);
            m[r][c] = detail::readNumber(
                withUser
                    ? file->value(wl + QStringLiteral("/user/") + matrixKey(r, corner), factory)
                    : factory);
        }
    }
}

} // namespace

CompletionPlan planCalibrationCompletion(const QString& fileName,
                                         const std::array<QString, 3>& wavelengths, int channel,
                                         int corner, const std::array<float, 3>& raw,
                                         double exposureUs, double calibrationPower, int channelMax,
                                         const AnalysisSample& analysis) {
    CompletionPlan plan;
    plan.column = normalisedSignal(raw);
    const QString& wl = wavelengths[channel];
    if (!isStorableWavelength(wl)) {
        plan.refused = true;
        plan.notices << Notice{Notice::Kind::Warning, QStringLiteral("Invalid wavelength"),
                               QLatin1Char('"') + wl +
                                   QStringLiteral("\" cannot be calibrated: it cannot be "
                                                  "stored in the calibration file.")};
        return plan;
    }
    FileCondition condition;
    QString why;
    const std::shared_ptr<QSettings> file = detail::openForRead(fileName, &condition, &why);

    // Other beams on: the signal, unmixed with the factory response of the three selected
    // wavelengths, falls largely into the other two channels.
    double factory[3][3], inverse[3][3];
    cornerMatrix(file.get(), wavelengths, corner, false, factory);
    if (invertible3x3(factory, inverse)) {
        double own = 0, all = 0;
        for (int i = 0; i < 3; ++i) {
            const double x =
                std::fabs(inverse[i][0] * raw[0] + inverse[i][1] * raw[1] + inverse[i][2] * raw[2]);
            all += x;
            if (i == channel)
                own = x;
        }
        const double foreign = all > 0 ? (all - own) / all : 0;
        if (foreign > kCalibrationForeignShare) {
            plan.doubts << QStringLiteral("the other beams carry ") +
                               QString::number(qRound(100 * foreign)) +
                               QStringLiteral("% of the signal: only the ") + wl +
                               QStringLiteral("nm beam must be shot into the sensor");
        }
    }
    if (channelMax >= 0 &&
        (channelMax < kCalibrationLowPeak || channelMax >= kCalibrationHighPeak)) {
        plan.doubts << QStringLiteral("\"Max ") + wl + QStringLiteral("\" is ") +
                           QString::number(channelMax * 100 / 255) +
                           QStringLiteral("%: it should be around 80-90%") +
                           (channelMax >= kCalibrationHighPeak
                                ? QStringLiteral(", the sensor saturates")
                                : QString());
    }

    // The factor the reload will give: the corner's matrix with the new column, inverted.
    double matrix[3][3];
    cornerMatrix(file.get(), wavelengths, corner, true, matrix);
    // A wavelength selected in two channels gives its column to both.
    for (int c = 0; c < kChannels; ++c)
        for (int r = 0; r < 3 && wavelengths[c] == wl; ++r)
            matrix[r][c] = plan.column[r];
    if (invertible3x3(matrix, inverse)) {
        plan.factor = (inverse[channel][0] * double(raw[0]) + inverse[channel][1] * double(raw[1]) +
                       inverse[channel][2] * double(raw[2])) /
                      exposureUs / calibrationPower;
        plan.hasFactor = std::isnormal(plan.factor) && plan.factor > 0;
    }

    // The beam analysis alike, on its own matrix: its stored columns where there are, the
    // new one from its background-corrected sums.
    QString analysisMissing = analysis.reason;
    if (analysis.usable) {
        const std::array<double, 3>& s = analysis.cameraSums;
        const double length = std::sqrt(s[0] * s[0] + s[1] * s[1] + s[2] * s[2]);
        for (int r = 0; r < 3; ++r)
            plan.analysisColumn[r] = s[r] / length;
        for (int c = 0; c < kChannels && file; ++c) {
            double column[3];
            if (detail::readAnalysisColumn(*file, wavelengths[c], corner, column))
                for (int r = 0; r < 3; ++r)
                    matrix[r][c] = column[r];
        }
        for (int c = 0; c < kChannels; ++c)
            for (int r = 0; r < 3 && wavelengths[c] == wl; ++r)
                matrix[r][c] = plan.analysisColumn[r];
        if (std::isnormal(length) && invertible3x3(matrix, inverse)) {
            plan.analysisFactor = (inverse[channel][0] * s[0] + inverse[channel][1] * s[1] +
                                   inverse[channel][2] * s[2]) /
                                  exposureUs / calibrationPower;
            plan.hasAnalysisFactor = std::isnormal(plan.analysisFactor) && plan.analysisFactor > 0;
        }
        if (!plan.hasAnalysisFactor)
            analysisMissing = QStringLiteral("its colour matrix with the new column gives no "
                                             "positive factor");
    }
    const QString userGroup = wl + QStringLiteral("/user/");
    for (int r = 0; r < 3; ++r)
        plan.changes << Change{userGroup + matrixKey(r, corner), plan.column[r]};
    const QString powerKey = wl + cornerSuffix(corner);
    if (plan.hasFactor) {
        plan.changes << Change{QStringLiteral("Power/") + powerKey, plan.factor};
    } else {
        plan.notices << Notice{Notice::Kind::Log,
                               {},
                               QStringLiteral("Power factor ") + powerKey +
                                   QStringLiteral(" not stored: the colour matrix of ") +
                                   cornerName(corner) +
                                   QStringLiteral(" with the new column gives no positive factor")};
    }
    if (plan.hasAnalysisFactor) {
        for (int r = 0; r < 3; ++r)
            plan.changes << Change{analysisColumnSection() + QLatin1Char('/') +
                                       analysisColumnKey(wl, r, corner),
                                   plan.analysisColumn[r]};
        plan.changes << Change{analysisPowerSection() + QLatin1Char('/') + powerKey,
                               plan.analysisFactor};
    } else if (!analysisMissing.isEmpty()) {
        plan.notices << Notice{Notice::Kind::Log,
                               {},
                               QStringLiteral("Beam analysis power factor ") + powerKey +
                                   QStringLiteral(" not stored: ") + analysisMissing};
    }
    return plan;
}

QString calibrationDoubtTitle(const QString& wavelength) {
    return QStringLiteral("Check the calibration of ") + wavelength;
}

QString calibrationDoubtText(const QString& wavelength, const QStringList& doubts) {
    return QStringLiteral("The calibration of ") + wavelength +
           QStringLiteral("nm does not look right:\n- ") + doubts.join(QStringLiteral("\n- ")) +
           QStringLiteral("\n\nStore it anyway? Cancel keeps the calibration file as it is.");
}

} // namespace lumetra::calibration
