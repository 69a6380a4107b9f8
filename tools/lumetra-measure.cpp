// Measuring tool: the window's pipeline on saved frames, or its measuring session on a
// live camera (--live).

#include "FrameMemory.h"
#include "LiveCli.h"
#include "MeasureCli.h"
#include "ToolFiles.h"

#include <QCoreApplication>
#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    // Past a file-size limit a write must fail and be reported, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    lumetra::keepFreedFrameMemory();
    QCoreApplication app(argc, argv);
    lumetra::tool::foldLibraryStderr(true);
    const QStringList args = app.arguments().mid(1);
    if (lumetra::tool::isLiveMode(args)) {
        if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
            std::fputs(qPrintable(lumetra::tool::liveUsageText()), stdout);
            return 0;
        }
        return lumetra::tool::runLive(args);
    }
    const lumetra::tool::RunOutput r = lumetra::tool::runMeasure(args);
    if (r.exitCode != 0) {
        std::fprintf(stderr, "lumetra-measure: %s\n", qPrintable(r.err.simplified()));
        return r.exitCode;
    }
    for (const QString& w : r.warnings) {
        std::fprintf(stderr, "lumetra-measure: warning: %s\n", qPrintable(w.simplified()));
    }
    const QByteArray out = r.out.toUtf8();
    if (std::fwrite(out.constData(), 1, size_t(out.size()), stdout) != size_t(out.size()) ||
        std::fflush(stdout) != 0) {
        std::fprintf(stderr, "lumetra-measure: cannot write the results to standard output\n");
        return 2;
    }
    return 0;
}
