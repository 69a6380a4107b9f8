#include "CalibrationInternal.h"

#include <QSettings>

namespace lumetra::calibration {

namespace {

// Default matrix, [row][column]: columns are the red, green and blue wavelengths.
constexpr double kDefaultMatrix[3][3] = {
    {0.978, 0.074, 0.027},
    {0.209, 0.956, 0.064},
    {0.039, 0.286, 0.998},
};
constexpr double kDefaultPower[kChannels] = {29.0, 59.0, 43.0};

Notice notCalibratedWarning(const QString& wavelength) {
    return Notice{Notice::Kind::Warning, QStringLiteral("Wavelength not calibrated"),
                  wavelength + QStringLiteral("nm is not calibrated:\n- Please, start the "
                                              "calibration on each corner for the "
                                              "corresponding wavelength.")};
}

// A power key of the "Power" group; a text that cannot be one key reads its default.
double powerValue(const QSettings& file, const QString& wavelength, int corner, double fallback) {
    if (!isStorableWavelength(wavelength))
        return fallback;
    return detail::readNumber(file.value(wavelength + cornerSuffix(corner), fallback));
}

} // namespace

double defaultMatrixValue(int row, int column) {
    return kDefaultMatrix[row][column];
}
double defaultPowerFactor(int channel) {
    return kDefaultPower[channel];
}

QString calibrateButtonText(const QString& wavelength) {
    return QStringLiteral("Calibrate ") + wavelength;
}

QString maxLabelText(const QString& wavelength) {
    return QStringLiteral("Max ") + wavelength + QStringLiteral(" = ");
}

double determinant3x3(const double a[3][3]) {
    // Rule of Sarrus, term order kept so results match to the last bit.
    return a[0][0] * a[1][1] * a[2][2] + a[0][1] * a[1][2] * a[2][0] + a[0][2] * a[1][0] * a[2][1] -
           a[0][2] * a[1][1] * a[2][0] - a[0][1] * a[1][0] * a[2][2] - a[0][0] * a[1][2] * a[2][1];
}

bool invert3x3(const double a[3][3], double inverse[3][3]) {
    const double det = determinant3x3(a);
    if (det == 0.0)
        return false;
    // Adjugate (transposed cofactors) over the determinant.
    const double adj[3][3] = {
        {a[1][1] * a[2][2] - a[1][2] * a[2][1], a[0][2] * a[2][1] - a[0][1] * a[2][2],
         a[0][1] * a[1][2] - a[0][2] * a[1][1]},
        {a[1][2] * a[2][0] - a[1][0] * a[2][2], a[0][0] * a[2][2] - a[0][2] * a[2][0],
         a[0][2] * a[1][0] - a[0][0] * a[1][2]},
        {a[1][0] * a[2][1] - a[1][1] * a[2][0], a[0][1] * a[2][0] - a[0][0] * a[2][1],
         a[0][0] * a[1][1] - a[0][1] * a[1][0]},
    };
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            inverse[i][j] = adj[i][j] / det;
    return true;
}

int invertColorMatrices(const double colorMatrix[kCorners][3][3], double unmixCoef[9][kCorners]) {
    for (int k = 0; k < kCorners; ++k) {
        double inverse[3][3];
        if (!invert3x3(colorMatrix[k], inverse))
            return k;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                unmixCoef[3 * i + j][k] = inverse[i][j];
    }
    return -1;
}

QString calibrationLogText(const CalibrationData& data, int corner) {
    QString text = QStringLiteral("Cal Loaded ") + cornerName(corner) + QStringLiteral("\n\t");
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            text += QString::number(data.unmixCoef[3 * i + j][corner], 'g', 6);
            if (j < 2)
                text += QLatin1Char('\t');
        }
        text += i < 2 ? QStringLiteral("\n\t") : QStringLiteral("\n");
    }
    return text;
}

QStringList powerLogLines(const CalibrationData& data) {
    QStringList lines;
    for (int k = 0; k < kCorners; ++k) {
        QString line = QStringLiteral("Power Loaded ") + cornerName(k);
        for (int c = 0; c < kChannels; ++c)
            line += QLatin1Char('\t') + QString::number(data.powerFactor[c][k]);
        lines << line;
    }
    return lines;
}

LoadResult loadCalibration(const QString& fileName, const std::array<QString, 3>& wavelengths,
                           int nused, bool anyCalibrationActive, CalibrationData& data) {
    LoadResult result;
    QSettings file(fileName, QSettings::IniFormat);
    const QStringList groups = file.childGroups();

    for (int c = 0; c < kChannels; ++c) {
        const QString& wl = wavelengths[c];
        // A text the settings layer would split into groups cannot name a section.
        if (isStorableWavelength(wl) && groups.contains(wl, Qt::CaseSensitive)) {
            if (c == 0)
                result.notices << Notice{Notice::Kind::Debug, {}, QStringLiteral("Loads R")};
            file.beginGroup(wl);
            for (int k = 0; k < kCorners; ++k) {
                for (int r = 0; r < 3; ++r) {
                    const QString key = matrixKey(r, k);
                    const QVariant factory = file.value(key, kDefaultMatrix[r][c]);
                    data.colorMatrix[k][r][c] =
                        detail::readNumber(file.value(QStringLiteral("user/") + key, factory));
                }
            }
            file.endGroup();
        } else {
            result.uncalibratedChannels << c;
            if (!anyCalibrationActive)
                result.notices << notCalibratedWarning(wl);
            for (int k = 0; k < kCorners; ++k)
                for (int r = 0; r < 3; ++r)
                    data.colorMatrix[k][r][c] = kDefaultMatrix[r][c];
        }
    }

    file.beginGroup(QStringLiteral("Power"));
    for (int c = 0; c < kChannels; ++c) {
        data.powerFactor[c][0] = powerValue(file, wavelengths[c], 0, kDefaultPower[c]);
    }
    for (int k = 1; k < kCorners; ++k) {
        for (int c = 0; c < kChannels; ++c) {
            data.powerFactor[c][k] = powerValue(file, wavelengths[c], k, data.powerFactor[c][0]);
        }
    }
    file.endGroup();

    if (nused == -1) {
        for (int k = 0; k < kCorners; ++k)
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c)
                    data.colorMatrix[k][r][c] = r == c ? 1.0 : 0.0;
        for (auto& channel : data.powerFactor)
            for (double& f : channel)
                f = 1.0;
    }

    result.singularCorner = invertColorMatrices(data.colorMatrix, data.unmixCoef);
    if (result.singularCorner >= 0) {
        result.notices << Notice{Notice::Kind::Critical, QStringLiteral("Invalid parameters"),
                                 QStringLiteral("Invalid color matrix, please retry the "
                                                "calibration")};
    }
    for (int k = 0; k < kCorners; ++k)
        result.notices << Notice{Notice::Kind::Log, {}, calibrationLogText(data, k)};
    return result;
}

} // namespace lumetra::calibration
