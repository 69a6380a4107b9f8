// Runs the real main window with a simulated head of 1920 x 1200 without frame-rate limit,
// a 1200 x 1199 region of interest and stabiliser depth 8,
// streams for a while (20 s by default, first argument in seconds) and prints the frames per second
// the window processed and the process's peak memory. Works in a temporary directory; run it
// offscreen (QT_QPA_PLATFORM=offscreen) or under xvfb-run.

#include "BasCam.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "Settings.h"
#include "Version.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

namespace {

// Peak resident set size in MB (VmHWM), -1 if unknown.
double peakMemoryMb() {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    return -1;
}

void writeHead() {
    QSettings s(QStringLiteral("simulated-head.ini"), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("BenchHead"));
    s.setValue(QStringLiteral("serial"), QStringLiteral("40400001"));
    s.setValue(QStringLiteral("sensorWidth"), 1920);
    s.setValue(QStringLiteral("sensorHeight"), 1200);
    s.setValue(QStringLiteral("maxFps"), 0);
    s.setValue(QStringLiteral("noise"), 0.5);
    s.setValue(QStringLiteral("background"), 2);
    // Bright enough that the peaks sit near 230 at 1 ms.
    s.setValue(QStringLiteral("R_power"), 50.0);
    s.setValue(QStringLiteral("G_power"), 17.0);
    s.setValue(QStringLiteral("B_power"), 40.0);
    s.endGroup();
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 20;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    writeHead();
    {
        namespace st = lumetra::settings;
        st::File s;
        s.setValue(st::kNotesVersion, lumetra::kVersion);
        s.setValue(st::kUpdateServer, QStringLiteral("http://127.0.0.1:9"));
        s.setValue(st::kExpo, 1000.0f);
        s.setValue(st::kAutoExpo, false);
        s.setValue(st::kStab, 8);
        // The largest region the window keeps on a 1200-row sensor: it must end inside the
        // last row, so 1199 rows high.
        s.setValue(st::kRect, QRect(360, 0, 1200, 1199));
    }
    // Any box (a missing calibration file) is answered at once.
    QTimer boxes;
    QObject::connect(&boxes, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->accept();
    });
    boxes.start(50);

    MainWindow w;
    w.show();
    // The first pass of the event loop: the camera's worker thread starts, the scenes
    // exist.
    QElapsedTimer start;
    start.start();
    while (!w.form()->graphicsView->scene() && start.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    QApplication::processEvents();
    w.form()->listCamComboBox->setCurrentIndex(1);
    if (!w.camera()->isOpen()) {
        std::fprintf(stderr, "the simulated head did not open\n");
        return 1;
    }
    int frames = 0;
    QObject::connect(w.camera(), &BasCam::ImageIsAvailable, &w, [&] { ++frames; });
    w.form()->actionStartStream->setChecked(true);

    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(seconds * 1000, &app, [&] {
        const double s = clock.elapsed() / 1000.0;
        std::printf("app-fps: %d frames in %.1f s = %.1f frames/s (ROI 1200 x 1199, sensor "
                    "1920 x 1200, depth 8); peak memory %.0f MB; last labels: %s | %s | %s\n",
                    frames, s, frames / s, peakMemoryMb(), qPrintable(w.form()->divValue->text()),
                    qPrintable(w.form()->valuePowerTotal->text()),
                    qPrintable(w.form()->statusbar->currentMessage()));
        w.form()->actionStartStream->setChecked(false);
        app.quit();
    });
    return app.exec();
}
