#pragma once
// Reader for the version file published on the download server:
//
//   ===========================================   (43 '=')
//   V1.05 <anything up to the end of the line>
//   release notes, up to the next '='
//   ===========================================
//
// Pure function of the bytes, so it can be tested and fuzzed without a network. The
// version text reaches a URL, a file name and an executed program, so only plain
// numbers ("1.05") are accepted.

#include <QByteArray>
#include <QString>

namespace lumetra::update {

// The marker line: 43 equals signs.
QByteArray versionFileMarker();

// Longest accepted version text ("12345.67").
constexpr int kMaxVersionTextLength = 8;

enum class VersionFileOutcome {
    NoMarker,    // no first marker: the server did not give us the file
    CannotParse, // second marker missing, version text missing, misplaced or not a number
    UpToDate,    // same version as the running one
    Older,       // the server offers an older version
    Newer,       // an update is available
};

struct VersionFileResult {
    VersionFileOutcome outcome = VersionFileOutcome::NoMarker;
    QString versionText; // as written in the file, e.g. "1.05" (empty on NoMarker/CannotParse)
    int version = 0;     // 100 x the number, e.g. 105
    QString notes;       // release notes, only filled for Newer
};

// True when text is one or more digits with at most one decimal point, no longer than
// kMaxVersionTextLength: the only version texts we put into a URL and a file name.
bool isSafeVersionText(const QByteArray& text);

// Reads the body against the running version (e.g. 104).
VersionFileResult parseVersionFile(const QByteArray& body, int runningVersion);

} // namespace lumetra::update
