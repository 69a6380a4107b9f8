#include "CalibrationManager.h"

#include "CalibrationInternal.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>

namespace lumetra::calibration {

namespace {

// Beyond this many choices of wavelengths per corner, each offered wavelength is checked
// with the fixed entries of the other two channels only.
constexpr qsizetype kMaxCheckedChoices = 4096;

bool isSpecialSection(const QString& group) {
    for (int c = 0; c < kChannels; ++c)
        if (group == wavelengthListSection(c))
            return true;
    return group == QLatin1String("Power") || group == analysisPowerSection() ||
           group == analysisColumnSection();
}

std::optional<double> stored(const QSettings& file, const QString& key) {
    if (!file.contains(key))
        return std::nullopt;
    return detail::readNumber(file.value(key));
}

// Numbers by value first, then any other text.
bool wavelengthBefore(const QString& a, const QString& b) {
    bool okA = false, okB = false;
    const double x = a.toDouble(&okA), y = b.toDouble(&okB);
    if (okA != okB)
        return okA;
    if (okA && x != y)
        return x < y;
    return a < b;
}

std::optional<QByteArray> readBytes(const QString& fileName, QString* why) {
    const QFileInfo info(fileName);
    if (!info.isFile()) {
        *why = info.exists() ? QStringLiteral("is not a regular file")
                             : QStringLiteral("does not exist");
        return std::nullopt;
    }
    QFile in(fileName);
    if (!in.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot be read");
        return std::nullopt;
    }
    const QByteArray bytes = in.read(kMaxCalibrationFileBytes + 1);
    if (in.error() != QFileDevice::NoError) {
        *why = QStringLiteral("cannot be read");
        return std::nullopt;
    }
    if (bytes.size() > kMaxCalibrationFileBytes) {
        *why = QStringLiteral("is larger than %1 MB").arg(kMaxCalibrationFileBytes / (1024 * 1024));
        return std::nullopt;
    }
    return bytes;
}

bool saveBytes(const QString& fileName, const QByteArray& bytes) {
    QSaveFile out(fileName);
    return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit();
}

Notice warning(const QString& title, const QString& text) {
    return Notice{Notice::Kind::Warning, title, text};
}

Notice logLine(const QString& text) {
    return Notice{Notice::Kind::Log, {}, text};
}

QStringList resetKeys(const QString& wl, int corner) {
    QStringList keys;
    const QString powerKey = wl + cornerSuffix(corner);
    for (int r = 0; r < 3; ++r) {
        keys << wl + QStringLiteral("/user/") + matrixKey(r, corner);
        keys << analysisColumnSection() + QLatin1Char('/') + analysisColumnKey(wl, r, corner);
    }
    keys << QStringLiteral("Power/") + powerKey;
    keys << analysisPowerSection() + QLatin1Char('/') + powerKey;
    return keys;
}

} // namespace

bool CornerRow::hasUserValues() const {
    return std::any_of(user.begin(), user.end(), [](const auto& v) { return v.has_value(); }) ||
           powerFactor || analysisFactor || analysisColumn;
}

CalibrationOverview readCalibrationOverview(const QString& fileName) {
    CalibrationOverview o;
    const std::shared_ptr<QSettings> file = detail::openForRead(fileName, &o.condition, &o.detail);
    o.lists = detail::wavelengthLists(file.get());

    QStringList wavelengths;
    auto add = [&wavelengths](const QString& wl) {
        if (isStorableWavelength(wl) && !wavelengths.contains(wl))
            wavelengths << wl;
    };
    for (const QStringList& list : o.lists)
        for (const QString& wl : list)
            add(wl);
    if (file) {
        for (const QString& group : file->childGroups())
            if (!isSpecialSection(group))
                add(group);
        // Factors of a wavelength that is neither calibrated nor listed still apply.
        for (const QString& section : {QStringLiteral("Power"), analysisPowerSection()}) {
            file->beginGroup(section);
            for (const QString& key : file->childKeys())
                for (int k = 0; k < kCorners; ++k)
                    if (key.endsWith(cornerSuffix(k)) && key.size() > 3)
                        add(key.chopped(3));
            file->endGroup();
        }
    }
    std::sort(wavelengths.begin(), wavelengths.end(), wavelengthBefore);

    const QStringList groups = file ? file->childGroups() : QStringList();
    for (const QString& wl : wavelengths) {
        for (int k = 0; k < kCorners; ++k) {
            CornerRow row;
            row.wavelength = wl;
            row.corner = k;
            for (int c = 0; c < kChannels; ++c)
                if (o.lists[c].contains(wl))
                    row.listedIn << c;
            if (file) {
                row.calibrated = groups.contains(wl);
                for (int r = 0; r < 3; ++r) {
                    row.factory[r] = stored(*file, wl + QLatin1Char('/') + matrixKey(r, k));
                    row.user[r] = stored(*file, wl + QStringLiteral("/user/") + matrixKey(r, k));
                }
                const QString powerKey = wl + cornerSuffix(k);
                row.powerFactor = stored(*file, QStringLiteral("Power/") + powerKey);
                row.analysisFactor =
                    stored(*file, analysisPowerSection() + QLatin1Char('/') + powerKey);
                double column[3];
                row.analysisColumn = detail::readAnalysisColumn(*file, wl, k, column);
            }
            o.rows << row;
        }
    }
    return o;
}

QString calibrationFileFault(const QString& candidate) {
    FileCondition condition;
    QString why;
    const std::shared_ptr<QSettings> file = detail::openForRead(candidate, &condition, &why);
    if (!file)
        return condition == FileCondition::Missing ? QStringLiteral("does not exist") : why;
    const QStringList unusable = detail::unreadableSections(*file);
    if (!unusable.isEmpty())
        return QStringLiteral("has ") + unusable.first() +
               QStringLiteral(" whose name cannot be used as a wavelength");
    for (const QString& section : {QStringLiteral("Power"), analysisPowerSection()}) {
        file->beginGroup(section);
        for (const QString& key : file->childKeys()) {
            const double f = detail::readNumber(file->value(key));
            if (!std::isnormal(f) || f <= 0) {
                const QString text = file->value(key).toString();
                file->endGroup();
                return QStringLiteral("holds the power factor ") + key + QStringLiteral(" = \"") +
                       text + QStringLiteral("\", which is not a positive number");
            }
        }
        file->endGroup();
    }

    // Every wavelength a channel offers, with the column a load would give it.
    std::array<QStringList, 3> choices = detail::wavelengthLists(file.get());
    const QStringList groups = file->childGroups();
    for (QStringList& list : choices) {
        list.removeDuplicates();
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](const QString& wl) { return !isStorableWavelength(wl); }),
                   list.end());
    }
    auto column = [&](int channel, const QString& wl, int corner, double out[3]) {
        if (groups.contains(wl)) {
            detail::readMatrixColumn(*file, wl, channel, corner, out);
        } else {
            for (int r = 0; r < 3; ++r)
                out[r] = defaultMatrixValue(r, channel);
        }
    };
    auto check = [&](const std::array<QString, 3>& wl) -> QString {
        for (int k = 0; k < kCorners; ++k) {
            double m[3][3], inverse[3][3], col[3];
            for (int c = 0; c < kChannels; ++c) {
                column(c, wl[c], k, col);
                for (int r = 0; r < 3; ++r)
                    m[r][c] = col[r];
            }
            if (!invertible3x3(m, inverse))
                return QStringLiteral("gives a colour matrix that cannot be inverted in the ") +
                       cornerName(k) + QStringLiteral(" corner for the wavelengths ") + wl[0] +
                       QStringLiteral(", ") + wl[1] + QStringLiteral(" and ") + wl[2];
        }
        return {};
    };
    const qsizetype all = choices[0].size() * choices[1].size() * choices[2].size();
    if (all <= kMaxCheckedChoices) {
        for (const QString& r : choices[0])
            for (const QString& g : choices[1])
                for (const QString& b : choices[2])
                    if (const QString fault = check({r, g, b}); !fault.isEmpty())
                        return fault;
        return {};
    }
    for (int c = 0; c < kChannels; ++c) {
        for (const QString& wl : choices[c]) {
            std::array<QString, 3> selection = {fixedWavelength(0), fixedWavelength(1),
                                                fixedWavelength(2)};
            selection[c] = wl;
            if (const QString fault = check(selection); !fault.isEmpty())
                return fault;
        }
    }
    return {};
}

FileChange exportCalibration(const QString& fileName, const QString& destination) {
    FileChange r;
    const QString title = QStringLiteral("Calibration not exported");
    QString why;
    const std::optional<QByteArray> bytes = readBytes(fileName, &why);
    if (!bytes) {
        r.notices << warning(title, QStringLiteral("The calibration file ") + fileName +
                                        QLatin1Char(' ') + why + QStringLiteral("."));
        return r;
    }
    const QFileInfo from(fileName), to(destination);
    if (to.exists() && from.canonicalFilePath() == to.canonicalFilePath()) {
        r.done = true; // already there
        return r;
    }
    if (!saveBytes(destination, *bytes)) {
        r.notices << warning(title, QStringLiteral("The calibration could not be written to ") +
                                        destination +
                                        QStringLiteral(".\nCheck that the folder exists and "
                                                       "that you may write to it."));
        return r;
    }
    r.done = true;
    r.notices << logLine(QStringLiteral("Calibration file ") + fileName +
                         QStringLiteral(" exported to ") + destination);
    return r;
}

FileChange importCalibration(const QString& fileName, const QString& candidate) {
    FileChange r;
    auto refuse = [&](const QString& what) {
        r.notices << warning(QStringLiteral("Calibration not imported"),
                             what + QStringLiteral("\nThe calibration file ") + fileName +
                                 QStringLiteral(" has not been changed."));
        return r;
    };
    QString why;
    const std::optional<QByteArray> bytes = readBytes(candidate, &why);
    if (!bytes)
        return refuse(QStringLiteral("The file ") + candidate + QLatin1Char(' ') + why +
                      QLatin1Char('.'));
    // The bytes checked are the bytes installed, even if the chosen file changes meanwhile.
    const QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("candidate.kvtcal"));
    if (!dir.isValid() || !saveBytes(copy, *bytes))
        return refuse(QStringLiteral("There is no room for a working copy of ") + candidate +
                      QLatin1Char('.'));
    const QString fault = calibrationFileFault(copy);
    if (!fault.isEmpty())
        return refuse(QStringLiteral("The file ") + candidate +
                      QStringLiteral(" cannot be used as a calibration file: it ") + fault +
                      QLatin1Char('.'));
    if (QFileInfo::exists(fileName)) {
        r.backupName = detail::freeBackupName(fileName);
        if (!QFile::copy(fileName, r.backupName))
            return refuse(QStringLiteral("The current file could not be kept as ") + r.backupName +
                          QLatin1Char('.'));
    }
    if (!saveBytes(fileName, *bytes)) {
        if (!r.backupName.isEmpty())
            QFile::remove(r.backupName);
        r.backupName.clear();
        return refuse(QStringLiteral("The file could not be saved."));
    }
    r.done = true;
    QString line = QStringLiteral("Calibration file ") + fileName +
                   QStringLiteral(" imported from ") + candidate;
    if (!r.backupName.isEmpty())
        line += QStringLiteral("; the previous one is kept as ") + r.backupName;
    r.notices << logLine(line);
    return r;
}

WriteResult resetCornerToFactory(const QString& fileName, const QString& wavelength, int corner,
                                 bool asNewFile) {
    WriteResult r;
    auto refuse = [&](const QString& text) {
        r.notices << warning(QStringLiteral("Calibration not reset"), text);
        return r;
    };
    FileCondition condition;
    QString why;
    const std::shared_ptr<QSettings> file = detail::openForRead(fileName, &condition, &why);
    if (!file)
        return refuse(
            QStringLiteral("The calibration file ") + fileName + QLatin1Char(' ') +
            (condition == FileCondition::Missing ? QStringLiteral("does not exist") : why) +
            QLatin1Char('.'));
    const QStringList keys = resetKeys(wavelength, corner);
    if (!isStorableWavelength(wavelength) ||
        std::none_of(keys.begin(), keys.end(), [&](const QString& k) { return file->contains(k); }))
        return refuse(QStringLiteral("The ") + cornerName(corner) + QStringLiteral(" corner of ") +
                      wavelength + QStringLiteral(" nm already has the factory values."));
    Changes changes;
    for (const QString& key : keys)
        changes << Change{key, QVariant()};
    // Corners without a factor of their own take the top-left one: they keep the value
    // they measured with, so the reset changes the one corner only.
    const QString tlKey = QStringLiteral("Power/") + wavelength + cornerSuffix(0);
    const double topLeft = detail::readNumber(file->value(tlKey));
    if (corner == 0 && std::isnormal(topLeft) && topLeft > 0)
        for (int k = 1; k < kCorners; ++k) {
            const QString key = QStringLiteral("Power/") + wavelength + cornerSuffix(k);
            if (!file->contains(key))
                changes << Change{key, topLeft};
        }

    // A file the writer may not rewrite in place is kept by the writer itself (asNewFile).
    QString backup;
    if (inspectCalibrationFile(fileName) == FileCondition::Clean) {
        backup = detail::freeBackupName(fileName);
        if (!QFile::copy(fileName, backup))
            return refuse(QStringLiteral("The calibration file ") + fileName +
                          QStringLiteral(" could not be kept as ") + backup +
                          QStringLiteral(".\nNothing has been changed."));
    }
    r = writeCalibration(fileName, changes, asNewFile);
    if (!backup.isEmpty()) {
        if (r.written)
            r.backupName = backup;
        else
            QFile::remove(backup);
    }
    if (r.written)
        r.notices << logLine(QStringLiteral("Calibration of ") + wavelength +
                             QStringLiteral(" in the ") + cornerName(corner) +
                             QStringLiteral(" corner reset to the factory values in ") + fileName +
                             QStringLiteral("; the previous file is kept as ") + r.backupName);
    return r;
}

QString nextBackupName(const QString& fileName) {
    return detail::freeBackupName(fileName);
}

} // namespace lumetra::calibration
