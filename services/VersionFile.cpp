#include "VersionFile.h"

#include <cmath>

namespace lumetra::update {

namespace {

constexpr int kMarkerLength = 43;

bool isLineBreak(char c) {
    return c == '\n' || c == '\r';
}

} // namespace

QByteArray versionFileMarker() {
    return QByteArray(kMarkerLength, '=');
}

bool isSafeVersionText(const QByteArray& text) {
    if (text.isEmpty() || text.size() > kMaxVersionTextLength)
        return false;
    int points = 0;
    int digits = 0;
    for (const char c : text) {
        if (c == '.')
            ++points;
        else if (c >= '0' && c <= '9')
            ++digits;
        else
            return false;
    }
    return points <= 1 && digits > 0;
}

VersionFileResult parseVersionFile(const QByteArray& body, int runningVersion) {
    VersionFileResult result;
    const QByteArray marker = versionFileMarker();
    const qsizetype first = body.indexOf(marker);
    if (first < 0) {
        result.outcome = VersionFileOutcome::NoMarker;
        return result;
    }
    result.outcome = VersionFileOutcome::CannotParse;
    const qsizetype second = body.indexOf(marker, first + 1);
    if (second < 0)
        return result;

    const qsizetype size = body.size();
    qsizetype pos = first;
    while (pos < size) {
        const char c = body.at(pos);
        if (!(isLineBreak(c) || c == 'V' || c == '='))
            break;
        ++pos;
    }
    const qsizetype textStart = pos;
    while (pos < size && body.at(pos) != ' ')
        ++pos;
    if (pos >= second)
        return result;
    const QByteArray text = body.mid(textStart, pos - textStart);
    if (!isSafeVersionText(text))
        return result;

    // Float times 100, rounded half away from zero, as versions have always been read.
    bool ok = false;
    const float number = text.toFloat(&ok);
    if (!ok || !std::isfinite(number))
        return result;
    const float scaled = std::round(number * 100.0f);
    // 2^31 is exactly representable; anything from there on does not fit an int.
    constexpr float kIntLimit = 2147483648.0f;
    if (!std::isfinite(scaled) || scaled >= kIntLimit || scaled < -kIntLimit)
        return result;
    const int version = static_cast<int>(scaled);

    result.versionText = QString::fromLatin1(text);
    result.version = version;
    if (version == runningVersion) {
        result.outcome = VersionFileOutcome::UpToDate;
        return result;
    }
    if (version < runningVersion) {
        result.outcome = VersionFileOutcome::Older;
        return result;
    }
    result.outcome = VersionFileOutcome::Newer;

    // Rest of the version line, then the line breaks before the notes. Nothing past the
    // second marker belongs to the notes.
    while (pos < second && !isLineBreak(body.at(pos)))
        ++pos;
    while (pos < second && isLineBreak(body.at(pos)))
        ++pos;
    const qsizetype notesStart = pos;
    while (pos < second && body.at(pos) != '=')
        ++pos;
    result.notes = QString::fromLatin1(body.mid(notesStart, pos - notesStart));
    return result;
}

} // namespace lumetra::update
