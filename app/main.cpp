#include "FrameMemory.h"
#include "MainWindow.h"
#include "Startup.h"

#include <QApplication>
#include <cstdio>

int main(int argc, char* argv[]) {
    namespace start = lumetra::start;
    // Answered before Qt starts, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        const QLatin1StringView a(argv[i]);
        if (a == QLatin1StringView("--version")) {
            std::fputs(qPrintable(start::versionText()), stdout);
            return 0;
        }
        if (a == QLatin1StringView("--help") || a == QLatin1StringView("-h")) {
            std::fputs(qPrintable(start::usageText()), stdout);
            return 0;
        }
    }

    lumetra::keepFreedFrameMemory();
    QApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QStringLiteral("fr.varnelle.Lumetra"));
    // Qt has taken its own options out of the arguments by now.
    const start::Options options = start::parseOptions(app.arguments().mid(1));
    if (!options.error.isEmpty()) {
        std::fprintf(stderr, "lumetra: %s\nTry 'lumetra --help'.\n", qPrintable(options.error));
        return 2;
    }
    start::installTerminationHandler();
    // The folders are decided here: beside the executable (which becomes the working
    // directory) when that is a writable, uninstalled folder, else the user's folders.
    const start::Plan plan =
        start::prepare(options, start::installationFor(QCoreApplication::applicationDirPath()));
    const std::unique_ptr<MainWindow> window = start::launch(plan);
    start::closeOnTermination(window.get());
    return app.exec();
}
