// Offline measuring tool: runs the window's pipeline on saved frames.

#include "MeasureCli.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const lumetra::tool::RunOutput r = lumetra::tool::runMeasure(app.arguments().mid(1));
    if (r.exitCode != 0) {
        std::fprintf(stderr, "lumetra-measure: %s\n", qPrintable(r.err.simplified()));
        return r.exitCode;
    }
    for (const QString& w : r.warnings) {
        std::fprintf(stderr, "lumetra-measure: warning: %s\n", qPrintable(w.simplified()));
    }
    std::fputs(r.out.toUtf8().constData(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 2;
}
