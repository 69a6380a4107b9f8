#include "CalibrationInternal.h"

#include <QSettings>

#include <algorithm>
#include <cmath>

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

bool isListSection(const QString& group) {
    for (int c = 0; c < kChannels; ++c)
        if (group == wavelengthListSection(c))
            return true;
    return false;
}

} // namespace

namespace detail {
QStringList unreadableSections(const QSettings& file) {
    QStringList found;
    for (const QString& key : file.allKeys()) {
        const QStringList parts = key.split(QLatin1Char('/'));
        if (parts.size() < 2)
            continue;
        const QString& group = parts.first();
        QString where;
        if (group == QLatin1String("Power") || group == analysisPowerSection() ||
            group == analysisColumnSection() || isListSection(group)) {
            if (parts.size() > 2)
                where = QStringLiteral("an entry ") + QStringList(parts.mid(1)).join('/') +
                        QStringLiteral(" in [") + group + QLatin1Char(']');
        } else if (parts.size() > 3 || (parts.size() == 3 && parts[1] != QLatin1String("user"))) {
            where = QStringLiteral("a section [") +
                    QStringList(parts.mid(0, parts.size() - 1)).join('/') + QLatin1Char(']');
        }
        if (!where.isEmpty() && !found.contains(where))
            found << where;
    }
    return found;
}
} // namespace detail

double defaultMatrixValue(int row, int column) {
    return kDefaultMatrix[row][column];
}
double defaultPowerFactor(int channel) {
    return kDefaultPower[channel];
}
QString analysisPowerSection() {
    return QStringLiteral("PowerIso11146");
}
QString analysisColumnSection() {
    return QStringLiteral("ColumnIso11146");
}
QString analysisColumnKey(const QString& wavelength, int row, int corner) {
    return wavelength + QLatin1Char('_') + matrixKey(row, corner);
}

namespace detail {
void readMatrixColumn(QSettings& file, const QString& wavelength, int channel, int corner,
                      double column[3]) {
    file.beginGroup(wavelength);
    for (int r = 0; r < 3; ++r) {
        const QString key = matrixKey(r, corner);
        const QVariant factory = file.value(key, kDefaultMatrix[r][channel]);
        column[r] = readNumber(file.value(QStringLiteral("user/") + key, factory));
    }
    file.endGroup();
}

bool readAnalysisColumn(QSettings& file, const QString& wavelength, int corner, double column[3]) {
    if (!isStorableWavelength(wavelength))
        return false;
    const QString section = analysisColumnSection() + QLatin1Char('/');
    for (int r = 0; r < 3; ++r)
        if (!file.contains(section + analysisColumnKey(wavelength, r, corner)))
            return false;
    for (int r = 0; r < 3; ++r)
        column[r] = readNumber(file.value(section + analysisColumnKey(wavelength, r, corner)));
    return true;
}
} // namespace detail

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

bool invertible3x3(const double a[3][3], double inverse[3][3]) {
    double inv[3][3];
    if (!invert3x3(a, inv))
        return false;
    // Condition number in the 1-norm (largest column sum of magnitudes).
    auto norm1 = [](const double m[3][3]) {
        double largest = 0;
        for (int j = 0; j < 3; ++j)
            largest =
                std::max(largest, std::fabs(m[0][j]) + std::fabs(m[1][j]) + std::fabs(m[2][j]));
        return largest;
    };
    const double condition = norm1(a) * norm1(inv);
    if (!std::isfinite(condition) || condition > kMaxConditionNumber)
        return false;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            inverse[i][j] = inv[i][j];
    return true;
}

int invertColorMatrices(const double colorMatrix[kCorners][3][3], double unmixCoef[9][kCorners]) {
    for (int k = 0; k < kCorners; ++k) {
        double inverse[3][3];
        if (!invertible3x3(colorMatrix[k], inverse))
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
    const std::shared_ptr<QSettings> file =
        detail::openForRead(fileName, &result.condition, &result.conditionDetail);
    auto problem = [&](const QString& title, const QString& line) {
        result.problems << line;
        result.notices << Notice{Notice::Kind::Warning, title, line, true}
                       << Notice{Notice::Kind::Log, {}, line, true};
    };
    const bool unusable = result.condition != FileCondition::Missing && !file;
    if (unusable) {
        const bool damaged = result.condition == FileCondition::Damaged;
        problem(damaged ? QStringLiteral("Calibration file damaged")
                        : QStringLiteral("Calibration file not used"),
                QStringLiteral("The calibration file ") + fileName + QLatin1Char(' ') +
                    result.conditionDetail +
                    QStringLiteral(".\nThe default calibration is used until it is repaired "
                                   "or removed."));
    }
    if (file) {
        for (const QString& where : detail::unreadableSections(*file)) {
            problem(QStringLiteral("Calibration file problem"),
                    QStringLiteral("The calibration file ") + fileName + QStringLiteral(" has ") +
                        where +
                        QStringLiteral(" whose name cannot be used as a wavelength ('/' or "
                                       "'\\'); it is ignored."));
        }
    }
    const QStringList groups = file ? file->childGroups() : QStringList();

    for (int c = 0; c < kChannels; ++c) {
        const QString& wl = wavelengths[c];
        // A text the settings layer would split into groups cannot name a section.
        if (isStorableWavelength(wl) && groups.contains(wl, Qt::CaseSensitive)) {
            if (c == 0)
                result.notices << Notice{Notice::Kind::Debug, {}, QStringLiteral("Loads R")};
            for (int k = 0; k < kCorners; ++k) {
                double column[3];
                detail::readMatrixColumn(*file, wl, c, k, column);
                for (int r = 0; r < 3; ++r)
                    data.colorMatrix[k][r][c] = column[r];
            }
        } else {
            result.uncalibratedChannels << c;
            // A file that could not be read has already been reported once.
            if (!anyCalibrationActive && !unusable)
                result.notices << notCalibratedWarning(wl);
            for (int k = 0; k < kCorners; ++k)
                for (int r = 0; r < 3; ++r)
                    data.colorMatrix[k][r][c] = kDefaultMatrix[r][c];
        }
    }

    // A stored factor that is zero, negative or not a number would turn every power into
    // infinity or a negative reading: it counts as missing.
    auto power = [&](int c, int k, double fallback, const QString& what) {
        const QString& wl = wavelengths[c];
        const QString key = wl + cornerSuffix(k);
        if (!file || !isStorableWavelength(wl) || !file->contains(key))
            return fallback;
        const QVariant stored = file->value(key);
        const double f = detail::readNumber(stored);
        if (std::isnormal(f) && f > 0)
            return f;
        problem(QStringLiteral("Calibration file problem"),
                QStringLiteral("The calibration file ") + fileName + QStringLiteral(" holds the ") +
                    what + key + QStringLiteral(" = \"") +
                    (stored.typeId() == QMetaType::QStringList
                         ? stored.toStringList().join(QStringLiteral(", "))
                         : stored.toString()) +
                    QStringLiteral("\", which is not a positive number; ") +
                    QString::number(fallback) + QStringLiteral(" is used instead."));
        return fallback;
    };
    if (file)
        file->beginGroup(QStringLiteral("Power"));
    const QString powerFactorText = QStringLiteral("power factor ");
    for (int c = 0; c < kChannels; ++c)
        data.powerFactor[c][0] = power(c, 0, kDefaultPower[c], powerFactorText);
    for (int k = 1; k < kCorners; ++k)
        for (int c = 0; c < kChannels; ++c)
            data.powerFactor[c][k] = power(c, k, data.powerFactor[c][0], powerFactorText);
    if (file) {
        file->endGroup();
        file->beginGroup(analysisPowerSection());
    }
    // Each corner has its own optics: a missing one takes the start factor, not TL's.
    for (int k = 0; k < kCorners; ++k)
        for (int c = 0; c < kChannels; ++c)
            data.analysisFactor[c][k] =
                power(c, k, kDefaultPower[c], QStringLiteral("beam analysis power factor "));
    if (file)
        file->endGroup();

    if (nused == -1) {
        for (int k = 0; k < kCorners; ++k)
            for (int r = 0; r < 3; ++r)
                for (int c = 0; c < 3; ++c)
                    data.colorMatrix[k][r][c] = r == c ? 1.0 : 0.0;
        for (auto& channel : data.powerFactor)
            for (double& f : channel)
                f = 1.0;
        for (auto& channel : data.analysisFactor)
            for (double& f : channel)
                f = 1.0;
    }

    result.singularCorner = invertColorMatrices(data.colorMatrix, data.unmixCoef);
    if (result.singularCorner >= 0) {
        result.notices << Notice{Notice::Kind::Critical, QStringLiteral("Invalid parameters"),
                                 QStringLiteral("Invalid color matrix, please retry the "
                                                "calibration")};
    }

    // The beam analysis's unmixing: its own columns where stored (not in raw mode); a
    // corner whose matrix then cannot be inverted unmixes as the labels do (no notice of
    // its own: the file's notices stay those of the labels).
    for (int k = 0; k < kCorners; ++k) {
        double m[3][3], inverse[3][3];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                m[r][c] = data.colorMatrix[k][r][c];
        for (int c = 0; c < kChannels && file && nused != -1; ++c) {
            double column[3];
            if (detail::readAnalysisColumn(*file, wavelengths[c], k, column))
                for (int r = 0; r < 3; ++r)
                    m[r][c] = column[r];
        }
        const bool own = invertible3x3(m, inverse);
        for (int e = 0; e < 9; ++e)
            data.analysisUnmix[e][k] = own ? inverse[e / 3][e % 3] : data.unmixCoef[e][k];
    }
    for (int k = 0; k < kCorners; ++k)
        result.notices << Notice{Notice::Kind::Log, {}, calibrationLogText(data, k)};
    return result;
}

} // namespace lumetra::calibration
