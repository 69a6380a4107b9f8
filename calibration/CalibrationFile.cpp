#include "CalibrationInternal.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStringDecoder>

#include <cmath>

QString calibrationFileName(int serial) {
    return QStringLiteral("_calibration_") + QString::number(serial) + QStringLiteral(".kvtcal");
}

namespace lumetra::calibration {

namespace {
constexpr char kBom[] = "\xEF\xBB\xBF";
}

QString cornerSuffix(int corner) {
    static const char* const suffixes[kCorners] = {"_TL", "_TR", "_BL", "_BR"};
    return QString::fromLatin1(suffixes[corner]);
}

QString cornerName(int corner) {
    static const char* const names[kCorners] = {"Top Left", "Top Right", "Bot Left", "Bot Right"};
    return QString::fromLatin1(names[corner]);
}

QString matrixKey(int row, int corner) {
    return QStringLiteral("M%1x").arg(row) + cornerSuffix(corner);
}

bool isStorableWavelength(const QString& wavelength) {
    return !wavelength.isEmpty() && !wavelength.contains(QLatin1Char('/')) &&
           !wavelength.contains(QLatin1Char('\\'));
}

namespace {

// A value part of an ini line: quotes must pair up (a backslash escapes the next
// character) and the line must not end in a continuation backslash.
bool valueIsComplete(QStringView value) {
    bool quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar ch = value[i];
        if (ch == QLatin1Char('\\')) {
            if (i + 1 == value.size())
                return false;
            ++i;
        } else if (ch == QLatin1Char('"')) {
            quoted = !quoted;
        }
    }
    return !quoted;
}

FileCondition judgeText(const QByteArray& raw, QString* detail) {
    auto damaged = [detail](const QString& why) {
        if (detail)
            *detail = why;
        return FileCondition::Damaged;
    };
    QByteArray bytes = raw;
    if (bytes.startsWith(kBom))
        bytes.remove(0, 3);
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return damaged(QStringLiteral("is not UTF-8 text"));

    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines[n];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        for (QChar ch : line) {
            if (ch.unicode() < 0x20 && ch != QLatin1Char('\t'))
                return damaged(QStringLiteral("holds binary data at line %1").arg(n + 1));
        }
        const QString t = line.trimmed();
        if (t.isEmpty() || t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#')))
            continue;
        if (t.startsWith(QLatin1Char('['))) {
            if (!t.endsWith(QLatin1Char(']')) || t.size() < 3)
                return damaged(QStringLiteral("has a broken section at line %1").arg(n + 1));
            continue;
        }
        const qsizetype eq = t.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return damaged(QStringLiteral("has an unreadable line %1").arg(n + 1));
        if (!valueIsComplete(QStringView(t).mid(eq + 1)))
            return damaged(QStringLiteral("has an incomplete value at line %1").arg(n + 1));
    }
    return FileCondition::Clean;
}

} // namespace

FileCondition inspectCalibrationFile(const QString& fileName, QString* detail) {
    const QFileInfo info(fileName);
    if (!info.exists() && !info.isSymLink())
        return FileCondition::Missing;
    auto unreadable = [detail]() {
        if (detail)
            *detail = QStringLiteral("cannot be read");
        return FileCondition::Unreadable;
    };
    QFile file(fileName);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly))
        return unreadable();
    const QByteArray raw = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unreadable();
    file.close();
    {
        const QSettings settings(fileName, QSettings::IniFormat);
        if (settings.status() == QSettings::AccessError)
            return unreadable();
        if (settings.status() == QSettings::FormatError) {
            if (detail)
                *detail = QStringLiteral("is not a valid ini file");
            return FileCondition::Damaged;
        }
    }
    return judgeText(raw, detail);
}

namespace detail {

double readNumber(const QVariant& value) {
    const double d = value.toDouble();
    return std::isfinite(d) ? d : 0.0;
}

namespace {

Notice writeWarning(const QString& fileName, const QString& why) {
    return Notice{Notice::Kind::Warning, QStringLiteral("Calibration file not written"),
                  QStringLiteral("The calibration file ") + fileName + QLatin1Char(' ') + why +
                      QStringLiteral(".\nNothing has been written to it.")};
}

bool prepareWrite(const QString& fileName, Notices& notices) {
    QString why;
    const FileCondition condition = inspectCalibrationFile(fileName, &why);
    if (condition == FileCondition::Unreadable || condition == FileCondition::Damaged) {
        notices << writeWarning(fileName, why);
        return false;
    }
    if (condition == FileCondition::Missing)
        return true;
    QFile in(fileName);
    if (!in.open(QIODevice::ReadOnly)) {
        notices << writeWarning(fileName, QStringLiteral("cannot be read"));
        return false;
    }
    const QByteArray bytes = in.readAll();
    in.close();
    if (!bytes.startsWith(kBom))
        return true;
    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes.mid(3)) != bytes.size() - 3 ||
        !out.commit()) {
        notices << writeWarning(fileName, QStringLiteral("is not writable"));
        return false;
    }
    return true;
}

} // namespace

std::unique_ptr<QSettings> openForWrite(const QString& fileName, Notices& notices) {
    if (!prepareWrite(fileName, notices))
        return nullptr;
    auto settings = std::make_unique<QSettings>(fileName, QSettings::IniFormat);
    if (settings->status() != QSettings::NoError) {
        notices << writeWarning(fileName, QStringLiteral("cannot be read"));
        return nullptr;
    }
    if (!settings->isWritable()) {
        notices << writeWarning(fileName, QStringLiteral("is not writable"));
        return nullptr;
    }
    return settings;
}

bool flushWrite(const QString& fileName, QSettings& settings, Notices& notices) {
    settings.sync();
    if (settings.status() != QSettings::NoError) {
        notices << writeWarning(fileName, QStringLiteral("could not be saved"));
        return false;
    }
    return true;
}

} // namespace detail

} // namespace lumetra::calibration
