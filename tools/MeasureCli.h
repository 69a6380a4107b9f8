#pragma once
// lumetra-measure: the measuring pipeline of the window run on image files.
//
//   lumetra-measure [options] FRAME [FRAME ...]
//
// Every input problem ends the run with exit status 2 and one line on stderr, before
// anything is written to stdout or to the --corrected file.

#include <QString>
#include <QStringList>

namespace lumetra::tool {

struct RunOutput {
    int exitCode = 0;
    QString out;          // for stdout (empty on failure)
    QString err;          // one line for stderr (empty on success)
    QStringList warnings; // lines for stderr of a run that still succeeds
};

RunOutput runMeasure(const QStringList& args);

// The arguments checked on their own, without reading or writing any file: empty when
// they are usable, else the one stderr line.
QString argumentError(const QStringList& args);

QString usageText();

} // namespace lumetra::tool
