// Recording benchmark, two parts:
//
// 1. live: a measuring session on the demo sensor head (1920 x 1200, its frame-rate
//    limit, its calibration), the recorder and the live stability windows attached, for
//    SECONDS (default 60). Every 10 s it prints frames measured, rows recorded and the
//    memory; at the end whether every frame measured while recording is a row (frame
//    numbers consecutive in the file).
// 2. long: one measured report recorded again and again with times 10 ms apart, as fast
//    as the recorder takes them, for MINUTES of recording time (default 10): the memory
//    after each minute shows whether rows and stability windows stay in constant memory.
//
//   build/bench_record [SECONDS] [MINUTES]
//
// Works in a temporary directory.

#include "MeasureSession.h"
#include "ProcessMemory.h"
#include "Recorder.h"
#include "Settings.h"
#include "Stability.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

using namespace lumetra::session;
namespace ms = lumetra::measure;

namespace {

using bench::Memory;
using bench::memory;

// Rows of a recording and whether their frame numbers follow each other.
struct FileCheck {
    long long rows = 0;
    long long gaps = 0;
};
FileCheck checkFile(const QString& path) {
    FileCheck c;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return c;
    f.readLine(); // header
    long long last = -1;
    while (!f.atEnd()) {
        const QByteArray line = f.readLine();
        const long long frame = line.split(',').value(2).toLongLong();
        if (last >= 0 && frame != last + 1)
            ++c.gaps;
        last = frame;
        ++c.rows;
    }
    return c;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, atoi(argv[1])) : 60;
    const int minutes = argc > 2 ? std::max(1, atoi(argv[2])) : 10;
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QFile::copy(QStringLiteral(LUMETRA_DEMO_DIR "/simulated-head.ini"),
                QStringLiteral("simulated-head.ini"));
    QFile::copy(QStringLiteral(LUMETRA_DEMO_DIR "/_calibration_40400001.kvtcal"),
                QStringLiteral("_calibration_40400001.kvtcal"));
    QFile::setPermissions(QStringLiteral("simulated-head.ini"),
                          QFile::ReadOwner | QFile::WriteOwner);

    MeasureSession session;
    Recorder recorder;
    recorder.attach(&session);
    ms::StabilityMonitor live;
    ReportPtr kept;
    quint64 measured = 0;
    QObject::connect(&session, &MeasureSession::frameMeasured, &session, [&](const ReportPtr& r) {
        ++measured;
        live.add(ms::stabilitySample(r->result, r->time.toMSecsSinceEpoch() / 1e3));
        if (r->result.stabilised)
            kept = r;
    });
    QCoreApplication::processEvents();
    if (session.openCamera(QStringLiteral("40400001")) != 0) {
        std::fprintf(stderr, "no simulated head\n");
        return 1;
    }
    session.applyStartState();
    session.loadCalibration({QStringLiteral("635"), QStringLiteral("520"), QStringLiteral("445")},
                            0);
    session.startStreaming();
    // Let the stabiliser fill before the recording starts.
    QElapsedTimer warm;
    warm.start();
    while (!kept && warm.elapsed() < 20000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);

    const QString file = QStringLiteral("recordings/live.csv");
    recorder.start(file);
    const quint64 startMeasured = measured;
    std::printf("live: %d s at the head's full rate\n", seconds);
    QElapsedTimer t;
    t.start();
    for (int s = 10; s <= seconds + 9; s += 10) {
        const int until = std::min(s, seconds) * 1000;
        while (t.elapsed() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        const Memory m = memory();
        std::printf("  %4d s  frames %7llu  rows %7llu  rss %.1f MB  peak %.1f MB\n",
                    std::min(s, seconds), (unsigned long long)(measured - startMeasured),
                    (unsigned long long)recorder.rows(), m.now, m.peak);
    }
    session.stopStreaming();
    QCoreApplication::processEvents();
    recorder.stop();
    const FileCheck live1 = checkFile(file);
    std::printf("live: frames measured while recording %llu, rows in the file %lld, "
                "frame-number gaps %lld, %.1f frames/s\n",
                (unsigned long long)(measured - startMeasured), live1.rows, live1.gaps,
                live1.rows / (t.elapsed() / 1000.0));

    if (!kept)
        return 1;
    std::printf("long: %d minutes of rows 10 ms apart\n", minutes);
    recorder.start(QStringLiteral("recordings/long.csv"));
    ms::StabilityMonitor windows;
    const QDateTime origin = kept->time;
    QElapsedTimer wall;
    wall.start();
    quint64 seq = 0;
    for (int minute = 1; minute <= minutes; ++minute) {
        for (int i = 0; i < 6000; ++i) {
            auto r = std::make_shared<FrameReport>(*kept);
            r->sequence = ++seq;
            r->time = origin.addMSecs(qint64(seq) * 10);
            r->frame = QImage(); // what the recorder keeps must not depend on the image
            windows.add(ms::stabilitySample(r->result, seq * 0.01));
            recorder.addReport(r);
        }
        const Memory m = memory();
        std::printf("  minute %2d  rows %7llu  rss %.1f MB  peak %.1f MB\n", minute,
                    (unsigned long long)recorder.rows(), m.now, m.peak);
    }
    recorder.stop();
    const FileCheck longRun = checkFile(QStringLiteral("recordings/long.csv"));
    std::printf("long: rows in the file %lld, gaps %lld, %.0f rows/s recorded\n", longRun.rows,
                longRun.gaps, longRun.rows / (wall.elapsed() / 1000.0));
    return 0;
}
