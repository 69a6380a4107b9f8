// Feeds arbitrary bytes as a calibration file to the loader, the list reader, the judge and
// the one writer, and checks what they promise: finite unmixing coefficients and positive
// factors from any file, an inverse that is one, the same verdict from every reader, and a
// writer that never changes a file it may not rewrite and never drops a key it read.

#include "Calibration.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <cstdlib>

using namespace lumetra::calibration;

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        std::abort();
}

// Every key the settings layer reads from `bytes`, read through a path never used before
// (it keeps parsed files by name).
QMap<QString, QVariant> keysOf(const QString& path) {
    QMap<QString, QVariant> keys;
    const QSettings s(path, QSettings::IniFormat);
    for (const QString& key : s.allKeys()) {
        const QVariant v = s.value(key);
        if (v.isValid() && !key.split(QLatin1Char('/')).contains(QString()))
            keys.insert(key, v);
    }
    return keys;
}

void checkLoad(const QString& file) {
    CalibrationData d;
    const LoadResult r = loadCalibration(file, {"635", "520", "445"}, 0, false, d);
    for (int k = 0; k < kCorners; ++k) {
        for (int e = 0; e < 9; ++e)
            if (!std::isfinite(d.unmixCoef[e][k]))
                std::abort();
        for (int c = 0; c < kChannels; ++c)
            if (!(std::isnormal(d.powerFactor[c][k]) && d.powerFactor[c][k] > 0))
                std::abort();
    }
    // Loaded corners are inverted: the product with their matrix is the identity.
    const int good = r.singularCorner < 0 ? kCorners : r.singularCorner;
    for (int k = 0; k < good; ++k) {
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                double s = 0, scale = 0;
                for (int m = 0; m < 3; ++m) {
                    s += d.unmixCoef[3 * i + m][k] * d.colorMatrix[k][m][j];
                    scale += std::fabs(d.unmixCoef[3 * i + m][k] * d.colorMatrix[k][m][j]);
                }
                if (std::fabs(s - (i == j ? 1.0 : 0.0)) > 1e-9 * (1 + scale))
                    std::abort();
            }
        }
    }
    // A file that is not read is said once, never as three uncalibrated wavelengths.
    int uncalibratedBoxes = 0;
    for (const Notice& n : r.notices)
        uncalibratedBoxes += n.title == QLatin1String("Wavelength not calibrated");
    if (r.condition != FileCondition::Missing && !isReadable(r.condition) &&
        (uncalibratedBoxes != 0 || r.problems.size() != 1))
        std::abort();
    const auto lists = readWavelengthLists(file);
    for (int c = 0; c < kChannels; ++c)
        if (lists[c].value(0) != fixedWavelength(c))
            std::abort();
}

void checkWrite(const QString& file, const QString& copy, const QByteArray& bytes,
                FileCondition condition) {
    const Changes change = {{QStringLiteral("R_Wavelengths/fuzz"), true}};
    WriteResult w = writeCalibration(file, change);
    if (condition == FileCondition::ReadOnlyForUs) {
        if (w.written || !w.needsNewFile || readAll(file) != bytes)
            std::abort(); // never in place
        w = writeCalibration(file, change, true);
        if (w.written && readAll(w.backupName) != bytes)
            std::abort();
        QFile::remove(w.backupName);
    }
    // Refused: with a word, and the file as it was (a value the settings layer cannot
    // write back as it read it, or a file that is not read at all).
    if (!w.written) {
        if (condition == FileCondition::Clean || w.notices.isEmpty() ||
            w.notices[0].kind != Notice::Kind::Warning || readAll(file) != bytes)
            std::abort();
        return;
    }
    if (!isReadable(condition))
        std::abort();
    // Everything that was read is there, with its value, and the change too.
    writeAll(copy + QStringLiteral(".new"), readAll(file));
    const QMap<QString, QVariant> before = keysOf(copy);
    const QMap<QString, QVariant> after = keysOf(copy + QStringLiteral(".new"));
    for (auto it = before.begin(); it != before.end(); ++it)
        if (it.key() != change[0].key && after.value(it.key()) != it.value())
            std::abort();
    if (!after.contains(change[0].key) || inspectCalibrationFile(file) != FileCondition::Clean)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    static int run = 0;
    const QString sub = dir.filePath(QString::number(++run));
    QDir().mkpath(sub);
    const QString file = sub + QStringLiteral("/_calibration_1.kvtcal");
    const QString copy = sub + QStringLiteral("/read.ini");
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    writeAll(file, bytes);
    writeAll(copy, bytes);

    checkLoad(file);
    const FileCondition condition = inspectCalibrationFile(file);
    if (readAll(file) != bytes)
        std::abort(); // reading never writes
    checkWrite(file, copy, bytes, condition);
    QDir(sub).removeRecursively();
    return 0;
}
