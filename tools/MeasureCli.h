#pragma once
// lumetra-measure: the measuring pipeline of the window run on image files.
//
//   lumetra-measure [options] FRAME [FRAME ...]
//
// Every input problem ends the run with exit status 2 and one line on stderr, before
// anything is written to stdout or to the --corrected file.

#include <QString>
#include <QStringList>

namespace lumetra::measure {
struct FrameResult;
}

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

// One frame's results as this tool prints them: a JSON object on one line, or a text block
// (frame numbers from 1).
QString frameJson(int frame, const measure::FrameResult& r);
QString frameText(int frame, const measure::FrameResult& r);

} // namespace lumetra::tool
