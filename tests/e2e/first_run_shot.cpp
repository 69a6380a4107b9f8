// Makes the README's picture of a first run: a fresh working directory with the demo head,
// no basini.ini, the version notes closed, the head selected and streaming until every
// result label shows a number that agrees with the head's beams (it says how long that
// took). Run under a virtual X server (scripts/screenshot).
// Exit 0 with the picture written, 1 when a label did not come to agree.

#include "E2eKit.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScreen>
#include <QTest>

#include <cstdio>

int main(int argc, char** argv) {
    // The update check of a first start stays on this machine.
    qputenv("LUMETRA_UPDATE_SERVER", "http://127.0.0.1:9");
    QApplication app(argc, argv);
    const bool maximised = argc == 3 && qstrcmp(argv[2], "--maximised") == 0;
    if (argc != 2 && !maximised) {
        std::fprintf(stderr, "usage: %s OUTPUT.png [--maximised]\n", argv[0]);
        return 2;
    }
    const QString out = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    testsupport::TempWorkDir dir;
    testsupport::ModalAnswerer answer; // the version notes
    if (!e2e::placeDemoFiles())
        return 1;
    auto w = e2e::openWindow();
    if (maximised) { // without a window manager the state alone does not resize it
        w->setGeometry(w->screen()->availableGeometry());
        w->showMaximized();
    }
    e2e::selectCamera(*w);
    Ui::MainWindow* ui = w->form();
    QElapsedTimer sinceStart;
    sinceStart.start();
    if (!e2e::streamUntilMeasured(*w) ||
        !testsupport::waitUntil([&] { return e2e::headDisagreement(ui).isEmpty(); }, 20000)) {
        std::fprintf(stderr, "%s\n", qPrintable(e2e::headDisagreement(ui)));
        return 1;
    }
    std::printf("every result label agrees with the head %.1f s after Start Streaming\n",
                sinceStart.elapsed() / 1000.0);
    // A few frames more so the scenes show the measured frame.
    QTest::qWait(1000);
    const QPixmap shot = w->screen()->grabWindow(w->winId());
    if (shot.isNull() || !shot.save(out))
        return 1;
    std::printf("%s\n", qPrintable(out));
    return 0;
}
