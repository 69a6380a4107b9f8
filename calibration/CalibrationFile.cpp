#include "CalibrationInternal.h"

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <cmath>

QString calibrationFileName(int serial) {
    return QStringLiteral("_calibration_") + QString::number(serial) + QStringLiteral(".kvtcal");
}

QString calibrationFileName(const QString& serialText) {
    return QStringLiteral("_calibration_") + lumetra::calibration::serialName(serialText) +
           QStringLiteral(".kvtcal");
}

namespace lumetra::calibration {

namespace {
constexpr char kBom[] = "\xEF\xBB\xBF";
// Long enough for any serial a camera reports, short enough for a file name.
constexpr int kMaxSerialNameLength = 64;
} // namespace

QString serialName(const QString& serialText) {
    // Numeric serials as the camera object reads them, so their files keep their names.
    bool ok = false;
    const int number = serialText.toInt(&ok, 10);
    if (ok)
        return QString::number(number);
    QString name = serialText.trimmed().left(kMaxSerialNameLength);
    if (name.isEmpty())
        return QStringLiteral("0");
    static const QString forbidden = QStringLiteral("<>:\"/\\|?*");
    for (QChar& ch : name) {
        if (ch.unicode() < 0x20 || ch.unicode() == 0x7f || forbidden.contains(ch))
            ch = QLatin1Char('_');
    }
    return name;
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

bool isReadable(FileCondition condition) {
    return condition == FileCondition::Clean || condition == FileCondition::ReadOnlyForUs;
}

namespace {

// What the settings layer makes of a file, before any judgement of loss. The settings
// layer keeps parsed files by name and reports a format error only to the reader that
// parsed the file first, so the file is read once into a private copy that is parsed
// afresh: every reader sees the same verdict and the same bytes.
struct Probe {
    FileCondition condition = FileCondition::Missing;
    QString detail;
    QByteArray bytes;
    std::shared_ptr<QSettings> settings; // set for a readable file
};

Probe probe(const QString& fileName) {
    Probe p;
    const QFileInfo info(fileName);
    if (!info.exists() && !info.isSymLink())
        return p;
    auto refuse = [&p](FileCondition c, const QString& why) {
        p.condition = c;
        p.detail = why;
        p.settings.reset();
        return std::move(p);
    };
    // Devices and pipes would block the reader or feed it without end.
    if (!info.isFile())
        return refuse(FileCondition::Unreadable, QStringLiteral("is not a regular file"));
    auto tooLarge = [&](qint64 size) {
        return refuse(FileCondition::TooLarge, QStringLiteral("is larger than %1 MB (%2 bytes)")
                                                   .arg(kMaxCalibrationFileBytes / (1024 * 1024))
                                                   .arg(size));
    };
    if (info.size() > kMaxCalibrationFileBytes)
        return tooLarge(info.size());
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(FileCondition::Unreadable, QStringLiteral("cannot be read"));
    // In pieces, so a small file costs no buffer of the largest size, and a file that grows
    // while it is read still stops at the cap.
    while (p.bytes.size() <= kMaxCalibrationFileBytes) {
        const QByteArray piece = file.read(64 * 1024);
        if (piece.isEmpty())
            break;
        p.bytes += piece;
    }
    if (file.error() != QFileDevice::NoError)
        return refuse(FileCondition::Unreadable, QStringLiteral("cannot be read"));
    if (p.bytes.size() > kMaxCalibrationFileBytes)
        return tooLarge(p.bytes.size());
    auto dir = std::make_shared<QTemporaryDir>();
    const QString copy = dir->filePath(QStringLiteral("calibration.ini"));
    QFile out(copy);
    if (!dir->isValid() || !out.open(QIODevice::WriteOnly) ||
        out.write(p.bytes) != p.bytes.size() || !out.flush()) {
        return refuse(FileCondition::Unreadable,
                      QStringLiteral("cannot be read (no room for a working copy)"));
    }
    out.close();
    // The copy's folder goes when the settings object does.
    p.settings = std::shared_ptr<QSettings>(new QSettings(copy, QSettings::IniFormat),
                                            [dir](QSettings* s) { delete s; });
    // Only what the reader reports on opening counts (a section without its ']'); its
    // complaints about single lines come with keys it still reads.
    if (p.settings->status() != QSettings::NoError)
        return refuse(FileCondition::Damaged, QStringLiteral("is not a valid ini file"));
    p.condition = FileCondition::Clean;
    return p;
}

// A value part of an ini line that the settings layer reads whole and a rewrite keeps:
// quotes pair up (a backslash escapes the next character), no ';' outside quotes (the
// reader drops the rest as a comment) and no continuation backslash at the end.
QString valueLoss(QStringView value, qsizetype line) {
    bool quoted = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar ch = value[i];
        if (ch == QLatin1Char('\\')) {
            if (i + 1 == value.size())
                return QStringLiteral("continues a value on the next line at line %1").arg(line);
            ++i;
        } else if (ch == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (ch == QLatin1Char(';') && !quoted) {
            return QStringLiteral("holds a comment at line %1").arg(line);
        }
    }
    if (quoted)
        return QStringLiteral("has an unclosed quote at line %1").arg(line);
    return {};
}

// Why rewriting the file from what the settings layer read would lose something, or
// nothing: every line must be blank, a section name or one key with its value, and each
// such key line must give one key of its own.
QString lossOnRewrite(const QByteArray& raw, const QSettings& settings) {
    QByteArray bytes = raw;
    if (bytes.startsWith(kBom))
        bytes.remove(0, 3);
    for (qsizetype i = bytes.indexOf('\r'); i >= 0; i = bytes.indexOf('\r', i + 1)) {
        if (i + 1 == bytes.size() || bytes[i + 1] != '\n')
            return QStringLiteral("has old Mac line ends");
    }
    QStringDecoder decoder(QStringDecoder::Utf8);
    const QString text = decoder(bytes);
    if (decoder.hasError())
        return QStringLiteral("is not UTF-8 text");

    const QStringList lines = text.split(QLatin1Char('\n'));
    qsizetype keyLines = 0;
    for (qsizetype n = 0; n < lines.size(); ++n) {
        QString line = lines[n];
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        for (QChar ch : line) {
            if (ch.unicode() < 0x20 && ch != QLatin1Char('\t'))
                return QStringLiteral("holds binary data at line %1").arg(n + 1);
        }
        const QString t = line.trimmed();
        if (t.isEmpty())
            continue;
        if (t.startsWith(QLatin1Char(';')))
            return QStringLiteral("holds a comment at line %1").arg(n + 1);
        if (t.startsWith(QLatin1Char('['))) {
            const qsizetype close = t.indexOf(QLatin1Char(']'));
            if (close + 1 != t.size())
                return QStringLiteral("has text after a section name at line %1").arg(n + 1);
            if (t.mid(1, close - 1).trimmed().isEmpty())
                return QStringLiteral("has an empty section name at line %1").arg(n + 1);
            continue;
        }
        const qsizetype eq = t.indexOf(QLatin1Char('='));
        if (eq <= 0)
            return QStringLiteral("has an unreadable line %1").arg(n + 1);
        const QString why = valueLoss(QStringView(t).mid(eq + 1), n + 1);
        if (!why.isEmpty())
            return why;
        ++keyLines;
    }
    const QStringList keys = settings.allKeys();
    bool allKept = keys.size() == keyLines;
    for (const QString& key : keys) {
        if (!allKept)
            break;
        allKept = !key.split(QLatin1Char('/')).contains(QString()) && settings.value(key).isValid();
    }
    if (!allKept)
        return QStringLiteral("repeats a key or holds keys that cannot be written back");
    return {};
}

Notice writeWarning(const QString& fileName, const QString& why) {
    return Notice{Notice::Kind::Warning, QStringLiteral("Calibration file not written"),
                  QStringLiteral("The calibration file ") + fileName + QLatin1Char(' ') + why +
                      QStringLiteral(".\nNothing has been written to it.")};
}

// The file as the settings layer writes `content`, checked by reading it back: every kept
// value must come back equal and no key may be missing or added. The check reads a copy
// under another name, since the settings object that wrote a file answers from memory.
bool render(const QMap<QString, QVariant>& content, const QMap<QString, QVariant>& kept,
            QByteArray* bytes) {
    const QTemporaryDir dir;
    if (!dir.isValid())
        return false;
    const QString path = dir.filePath(QStringLiteral("calibration.ini"));
    {
        QSettings out(path, QSettings::IniFormat);
        for (auto it = content.begin(); it != content.end(); ++it)
            out.setValue(it.key(), it.value());
        out.sync();
        if (out.status() != QSettings::NoError)
            return false;
    }
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    *bytes = in.readAll();
    const QString checkPath = dir.filePath(QStringLiteral("check.ini"));
    QFile check(checkPath);
    if (in.error() != QFileDevice::NoError || !check.open(QIODevice::WriteOnly) ||
        check.write(*bytes) != bytes->size() || !check.flush())
        return false;
    check.close();
    const QSettings back(checkPath, QSettings::IniFormat);
    if (back.status() != QSettings::NoError || back.allKeys().size() != content.size())
        return false;
    for (auto it = content.begin(); it != content.end(); ++it) {
        if (!back.contains(it.key()))
            return false;
    }
    for (auto it = kept.begin(); it != kept.end(); ++it) {
        if (back.value(it.key()) != it.value())
            return false;
    }
    return true;
}

// The probe with the verdict on rewriting: Clean or ReadOnlyForUs for a readable file.
Probe judgedProbe(const QString& fileName) {
    Probe p = probe(fileName);
    if (p.condition == FileCondition::Clean) {
        p.detail = lossOnRewrite(p.bytes, *p.settings);
        if (!p.detail.isEmpty())
            p.condition = FileCondition::ReadOnlyForUs;
    }
    return p;
}

} // namespace

FileCondition inspectCalibrationFile(const QString& fileName, QString* detail) {
    const Probe p = judgedProbe(fileName);
    if (detail)
        *detail = p.detail;
    return p.condition;
}

WriteResult writeCalibration(const QString& fileName, const Changes& changes, bool asNewFile) {
    WriteResult r;
    const Probe p = judgedProbe(fileName);
    const FileCondition condition = p.condition;
    const QString& why = p.detail;
    if (condition != FileCondition::Missing && !isReadable(condition)) {
        r.notices << writeWarning(fileName, why);
        return r;
    }
    if (condition == FileCondition::ReadOnlyForUs) {
        r.reason = why;
        r.backupName = detail::freeBackupName(fileName);
        if (!asNewFile) {
            r.needsNewFile = true;
            return r;
        }
    }

    // Everything the file holds as the settings layer reads it, then the changes. Keys
    // without a readable value or with an empty group name carry nothing to keep.
    QMap<QString, QVariant> kept;
    if (p.settings) {
        for (const QString& key : p.settings->allKeys()) {
            const QVariant v = p.settings->value(key);
            if (v.isValid() && !key.split(QLatin1Char('/')).contains(QString()))
                kept.insert(key, v);
        }
    }
    QMap<QString, QVariant> content = kept;
    for (const Change& c : changes) {
        if (c.value.isValid())
            content.insert(c.key, c.value);
        else
            content.remove(c.key);
        kept.remove(c.key);
    }
    QByteArray bytes;
    if (!render(content, kept, &bytes)) {
        r.notices << writeWarning(fileName, QStringLiteral("could not be written without loss"));
        return r;
    }
    if (condition == FileCondition::ReadOnlyForUs && !QFile::copy(fileName, r.backupName)) {
        r.notices << writeWarning(fileName, QStringLiteral("could not be kept as ") + r.backupName);
        return r;
    }
    QSaveFile out(fileName);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
        r.notices << writeWarning(fileName, QStringLiteral("could not be saved"));
        return r;
    }
    r.written = true;
    if (condition == FileCondition::ReadOnlyForUs) {
        r.notices << Notice{Notice::Kind::Log,
                            {},
                            QStringLiteral("Calibration file ") + fileName +
                                QStringLiteral(" written anew (it ") + r.reason +
                                QStringLiteral("); the previous one is kept as ") + r.backupName};
    }
    return r;
}

QString newFileQuestionTitle() {
    return QStringLiteral("Save calibration to a new file");
}

QString newFileQuestionText(const QString& fileName, const WriteResult& r) {
    return QStringLiteral("The calibration file ") + fileName +
           QStringLiteral(" cannot be rewritten without losing part of it: it ") + r.reason +
           QStringLiteral(".\n\nSave the calibration to a new file ") + fileName +
           QStringLiteral(" instead? The current file is kept as ") + r.backupName +
           QStringLiteral(".");
}

namespace detail {

QString freeBackupName(const QString& fileName) {
    const QString base =
        fileName + QStringLiteral(".bak-") + QDate::currentDate().toString(Qt::ISODate);
    QString name = base;
    for (int n = 2; QFileInfo::exists(name) || QFileInfo(name).isSymLink(); ++n)
        name = base + QLatin1Char('-') + QString::number(n);
    return name;
}

double readNumber(const QVariant& value) {
    const double d = value.toDouble();
    return std::isfinite(d) ? d : 0.0;
}

std::shared_ptr<QSettings> openForRead(const QString& fileName, FileCondition* condition,
                                       QString* detail) {
    Probe p = probe(fileName);
    // Nothing to read is no calibration: said once, instead of a box per wavelength.
    if (p.settings && p.settings->allKeys().isEmpty()) {
        p.settings.reset();
        p.condition = FileCondition::Damaged;
        p.detail = p.bytes.isEmpty() ? QStringLiteral("is empty")
                                     : QStringLiteral("holds no calibration data");
    }
    *condition = p.condition;
    *detail = p.detail;
    return std::move(p.settings);
}

} // namespace detail

} // namespace lumetra::calibration
