// Soak run of the real window on the demo sensor head (1920 x 1200, 60 frames a second,
// its calibration file) at the head's full rate: every 997th retrieval times out, every
// 101st grab fails, and the head is unplugged after every 6000 frames it delivered; each
// time the window reports the loss, the head is plugged back (its file written anew),
// selected again and streamed again. Every minute it prints the frames measured in that
// minute, the longest gap between two frames while streaming, the memory now and at peak;
// at the end a summary.
//
//   QT_QPA_PLATFORM=offscreen build/bench_soak [minutes, default 30]
//
// Works in a temporary directory; the log of the run is kept there until the end.

#include "BasCam.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "ProcessMemory.h"
#include "Settings.h"
#include "Version.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int kUnplugAfter = 6000;

using bench::Memory;
using bench::memory;

// The demo head with the faults of the run. Written anew for every plug-in: a new file
// time is a new head for the simulated transport.
void plugHead(int generation) {
    const QString file = QStringLiteral("simulated-head.ini");
    QFile::remove(file);
    QFile::copy(QStringLiteral(LUMETRA_DEMO_DIR "/simulated-head.ini"), file);
    QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner);
    QSettings s(file, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("DemoHead"));
    s.setValue(QStringLiteral("timeoutEvery"), 997);
    s.setValue(QStringLiteral("failEvery"), 101);
    s.setValue(QStringLiteral("unplugAfter"), kUnplugAfter);
    s.setValue(QStringLiteral("temperature"), 42.0 + 0.01 * generation); // a new file
    s.endGroup();
}

int countInLog(const QString& text) {
    int n = 0;
    for (const QFileInfo& fi : QDir(QStringLiteral("logs")).entryInfoList(QDir::Files)) {
        QFile f(fi.filePath());
        if (f.open(QIODevice::ReadOnly))
            n += int(QString::fromUtf8(f.readAll()).count(text));
    }
    return n;
}

} // namespace

int main(int argc, char** argv) {
    // The program's debug echo of every log line would bury the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& msg) {
        if (type >= QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    });
    QApplication app(argc, argv);
    const int minutes = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 30;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QFile::copy(QStringLiteral(LUMETRA_DEMO_DIR "/_calibration_40400001.kvtcal"),
                QStringLiteral("_calibration_40400001.kvtcal"));
    plugHead(0);
    {
        namespace st = lumetra::settings;
        st::File s;
        s.setValue(st::kNotesVersion, lumetra::kVersion);
        s.setValue(st::kUpdateServer, QStringLiteral("http://127.0.0.1:9"));
    }

    // Boxes (the loss notice) are answered at once, as a user would.
    int boxes = 0;
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            ++boxes;
            box->accept();
        }
    });
    answer.start(20);

    MainWindow w;
    w.show();
    QElapsedTimer start;
    start.start();
    while (!w.form()->graphicsView->scene() && start.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);

    int generation = 0;
    auto selectAndStream = [&] {
        w.on_actionRefresh_triggered();
        w.form()->listCamComboBox->setCurrentIndex(1);
        w.form()->actionStartStream->setChecked(true);
    };

    // Frames and the longest gap between two of them while streaming.
    QElapsedTimer clock;
    clock.start();
    int framesTotal = 0, framesMinute = 0;
    qint64 lastFrame = -1, longestGap = 0, longestGapRun = 0;
    QObject::connect(w.camera(), &BasCam::ImageIsAvailable, &w, [&] {
        const qint64 now = clock.elapsed();
        if (lastFrame >= 0)
            longestGap = std::max(longestGap, now - lastFrame);
        lastFrame = now;
        ++framesTotal;
        ++framesMinute;
    });
    int losses = 0;
    QObject::connect(w.camera(), &BasCam::CameraLost, &w, [&] {
        ++losses;
        lastFrame = -1; // the gap until the head is back is no stall
        // Plugged back a second after the loss, once the window has closed the head.
        QTimer::singleShot(1000, &w, [&] {
            plugHead(++generation);
            selectAndStream();
        });
    });
    selectAndStream();

    std::printf("soak: demo head 1920 x 1200 at up to 60 frames/s, ROI 500 x 500, time-out every "
                "997th retrieval, failed grab every 101st, unplug after %d frames; %d minutes\n",
                kUnplugAfter, minutes);
    std::printf("minute  frames  frames/s  longest-gap-s  losses  rss-MB  peak-MB\n");
    std::fflush(stdout);
    Memory first;
    int minute = 0;
    QTimer perMinute;
    QObject::connect(&perMinute, &QTimer::timeout, [&] {
        ++minute;
        const Memory m = memory();
        if (minute == 1)
            first = m;
        std::printf("%6d  %6d  %8.1f  %13.2f  %6d  %6.0f  %7.0f\n", minute, framesMinute,
                    framesMinute / 60.0, longestGap / 1000.0, losses, m.now, m.peak);
        std::fflush(stdout);
        longestGapRun = std::max(longestGapRun, longestGap);
        framesMinute = 0;
        longestGap = 0;
        if (minute >= minutes) {
            w.form()->actionStartStream->setChecked(false);
            const Memory end = memory();
            std::printf("soak: %d frames in %d min (%.1f frames/s); %d losses reported in %d "
                        "boxes, %d time-outs and %d loss lines logged; longest gap while "
                        "streaming %.2f s; memory after minute 1 %.0f MB, at the end %.0f MB, "
                        "peak %.0f MB\n",
                        framesTotal, minutes, framesTotal / (60.0 * minutes), losses, boxes,
                        countInLog(QStringLiteral("Grab Timeout exception")),
                        countInLog(QStringLiteral("Camera lost: ")), longestGapRun / 1000.0,
                        first.now, end.now, end.peak);
            std::fflush(stdout);
            app.quit();
        }
    });
    perMinute.start(60000);
    return app.exec();
}
