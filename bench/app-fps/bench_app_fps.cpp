// The real window streaming a full-size simulated head without a frame limit (1920 x 1200,
// Bayer, ROI 1200 x 1199, stabiliser depth 10), then the measuring pipeline alone on frames
// of that same stream, the two taking turns. Prints both rates with the processor time each
// frame took (all threads), their ratio and the process's peak memory. Both measure at the
// priority the system allows (LUMETRA_REALTIME=0: normal).
// Usage: bench_app_fps [seconds per phase, default 10] [pixel format, default BayerRG8]
//                      [limits: "limits" checks tolerances on every frame, as a test station]
// Works in a temporary directory; run it offscreen (QT_QPA_PLATFORM=offscreen) or under
// xvfb-run.

#include "BasCam.h"
#include "FrameMemory.h"
#include "FramePipeline.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"
#include "ReportsController.h"
#include "Settings.h"
#include "ThreadPriority.h"
#include "Tolerances.h"
#include "Version.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMessageBox>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <thread>
#include <vector>

#include <unistd.h>

namespace ms = lumetra::measure;

namespace {

const QRect kRoi(360, 0, 1200, 1199);
constexpr int kDepth = 10;
// Frames kept for the pipeline-only pass: more than the stabiliser's depth, so its
// maximum keeps changing as it does on a stream.
constexpr int kKeptFrames = 24;

// Processor time of the whole process so far, in ms.
double processCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// Processor time of each of the process's threads so far, in ms, summed by thread name.
std::map<QString, double> threadCpuMs() {
    std::map<QString, double> byName;
    const long ticks = sysconf(_SC_CLK_TCK);
    for (const QString& tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(tid));
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
        if (!comm.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // After the name in brackets: state, then utime and stime as fields 12 and 13.
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (f.size() > 12 && ticks > 0)
            byName[QString::fromUtf8(comm.readAll()).trimmed()] +=
                (f[11].toDouble() + f[12].toDouble()) * 1000.0 / double(ticks);
    }
    return byName;
}

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

void writeHead(const QString& format) {
    QSettings s(QStringLiteral("simulated-head.ini"), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("BenchHead"));
    s.setValue(QStringLiteral("serial"), QStringLiteral("40400001"));
    s.setValue(QStringLiteral("sensorWidth"), 1920);
    s.setValue(QStringLiteral("sensorHeight"), 1200);
    s.setValue(QStringLiteral("maxFps"), 0);
    s.setValue(QStringLiteral("pixelFormats"), format);
    s.setValue(QStringLiteral("noise"), 0.5);
    s.setValue(QStringLiteral("background"), 2);
    // Bright enough that the peaks sit near 230 at 1 ms.
    s.setValue(QStringLiteral("R_power"), 50.0);
    s.setValue(QStringLiteral("G_power"), 17.0);
    s.setValue(QStringLiteral("B_power"), 40.0);
    s.endGroup();
}

struct Phase {
    qint64 frames = 0;
    double seconds = 0;
    double cpuMs = 0; // the whole process's processor time
    void add(const Phase& o) {
        frames += o.frames;
        seconds += o.seconds;
        cpuMs += o.cpuMs;
    }
    double fps() const { return seconds > 0 ? frames / seconds : 0; }
    double cpuMsPerFrame() const { return frames > 0 ? cpuMs / double(frames) : 0; }
};
// The pipeline as the session drives it, with the session's calibration and corner, on
// the kept frames in turn for `seconds`. It runs on a thread of its own with the measuring
// thread's priority (`aheadOut`: whether that is real-time), so only the window differs.
Phase pipelineOnly(const std::vector<QImage>& frames,
                   const lumetra::session::MeasureSession& session, double seconds,
                   bool* aheadOut) {
    const lumetra::calibration::CalibrationData cal = session.calibrationData();
    const std::optional<ms::Corner> corner = session.corner();
    const float exposureUs = session.exposureUs();
    Phase phase;
    std::thread runner([&] {
        *aheadOut = lumetra::threads::runAhead();
        ms::FramePipeline pipeline(ms::blockingWaiter());
        const int k = corner ? int(*corner) : 0;
        int stabCount = 0;
        qint64 done = 0;
        const double cpu0 = processCpuMs();
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < qint64(seconds * 1000)) {
            const QImage& frame = frames[size_t(done % qint64(frames.size()))];
            ms::FrameInput in;
            ms::UnmixMatrix analysisUnmix;
            for (int i = 0; i < 9; ++i) {
                in.unmix[size_t(i)] = cal.unmixCoef[i][k];
                analysisUnmix[size_t(i)] = cal.analysisUnmix[i][k];
            }
            in.analysisUnmix = analysisUnmix;
            for (int c = 0; c < 3; ++c) {
                in.powerFactor[size_t(c)] = cal.powerFactor[c][k];
                in.analysisFactor[size_t(c)] = cal.analysisFactor[c][k];
            }
            in.crop = frame; // cut out by the pipeline, as the session has it
            in.cropRect = kRoi;
            stabCount = std::min(stabCount + 1, kDepth);
            in.stabCount = stabCount;
            in.stabDepth = kDepth;
            in.corner = corner;
            in.exposureUs = exposureUs;
            in.analysisProfiles = true; // the window's panel is open
            pipeline.process(std::move(in));
            ++done;
        }
        phase = {done, clock.elapsed() / 1000.0, processCpuMs() - cpu0};
    });
    runner.join();
    return phase;
}

// The event loop for `ms`, sleeping while there is nothing to do: a loop around
// processEvents() returns at once when no event waits, and would spin a core the
// measuring threads need.
void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace

int main(int argc, char** argv) {
    lumetra::keepFreedFrameMemory(); // as the program does
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 10;
    const QString format = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("BayerRG8");
    const bool limits = argc > 3 && QString::fromLocal8Bit(argv[3]) == QStringLiteral("limits");
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    writeHead(format);
    {
        namespace st = lumetra::settings;
        st::File s;
        s.setValue(st::kNotesVersion, lumetra::kVersion);
        s.setValue(st::kUpdateServer, QStringLiteral("http://127.0.0.1:9"));
        s.setValue(st::kExpo, 1000.0f);
        s.setValue(st::kAutoExpo, false);
        s.setValue(st::kAutoRoi, false);
        s.setValue(st::kStab, kDepth);
        // The largest region the window keeps on a 1200-row sensor: it must end inside the
        // last row, so 1199 rows high.
        s.setValue(st::kRect, kRoi);
    }
    if (limits) {
        // Wide enough that every frame passes, as on a station testing good modules.
        namespace tol = lumetra::tolerances;
        tol::Tolerances t;
        t.setLimit(tol::Quantity::PowerTotal, {0.0, 1e6});
        t.setLimit(tol::Quantity::DivergenceRedX, {0.0, 100.0});
        t.store();
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
    const QString pixelFormat = w.camera()->pixelFormat();

    // Window: reports measured and shown in its labels. The frames of the stream are kept
    // for the pipeline-only pass (after a first second, when the stabiliser is full).
    // The lag: reports measured but not yet shown when the window shows one.
    int shown = 0;
    quint64 lag = 0;
    QObject::connect(&w, &MainWindow::reportShown, &w, [&](quint64 sequence) {
        ++shown;
        lag = std::max(lag, w.session()->measuredFrames() - sequence);
    });
    std::vector<QImage> kept;
    QObject::connect(w.session(), &lumetra::session::MeasureSession::frameMeasured, &w,
                     [&](const lumetra::session::ReportPtr& r) {
                         if (r->sequence > 20 && kept.size() < size_t(kKeptFrames))
                             kept.push_back(r->frame);
                     });
    // The host's speed drifts over seconds (other machines share it), so the two passes
    // take turns in rounds of about two seconds and each sums its rounds: both see the same
    // host. Each stream start is given half a second (the first a second) before counting.
    const int rounds = std::max(1, seconds / 2);
    const double slice = double(seconds) / rounds;
    Phase window, pipeline;
    std::map<QString, double> windowThreads; // processor ms in the window's rounds
    QString labels;
    bool ahead = false;
    for (int round = 0; round < rounds; ++round) {
        w.form()->actionStartStream->setChecked(true);
        runFor(round == 0 ? 1000 : 500);
        shown = 0;
        const std::map<QString, double> threads0 = threadCpuMs();
        const double cpu0 = processCpuMs();
        QElapsedTimer clock;
        clock.start();
        runFor(int(slice * 1000));
        window.add({shown, clock.elapsed() / 1000.0, processCpuMs() - cpu0});
        for (const auto& [name, ms] : threadCpuMs())
            windowThreads[name] += ms - (threads0.count(name) ? threads0.at(name) : 0.0);
        labels = w.form()->divValue->text() + QStringLiteral(" | ") +
                 w.form()->valuePowerTotal->text() + QStringLiteral(" | ") +
                 w.form()->statusbar->currentMessage();
        if (limits)
            labels += QStringLiteral(" | ") + w.reports()->verdictStatus()->text();
        w.form()->actionStartStream->setChecked(false);
        if (kept.empty()) {
            std::fprintf(stderr, "no frame was measured\n");
            return 1;
        }
        pipeline.add(pipelineOnly(kept, *w.session(), slice, &ahead));
    }

    std::printf("app-fps (%s%s, sensor 1920 x 1200, ROI 1200 x 1199, depth %d, %d s each in %d "
                "rounds, measuring at %s priority):\n"
                "  window:        %lld frames in %.1f s = %.1f frames/s, processor %.2f ms a "
                "frame\n"
                "  pipeline only: %.1f frames/s (%zu frames of the same stream in turn), "
                "processor %.2f ms a frame\n"
                "  ratio %.2f; peak memory %.0f MB; window at most %llu reports behind; last "
                "labels: %s\n",
                qPrintable(pixelFormat), limits ? ", tolerances checked" : "", kDepth, seconds,
                rounds, ahead ? "real-time" : "normal", window.frames, window.seconds, window.fps(),
                window.cpuMsPerFrame(), pipeline.fps(), kept.size(), pipeline.cpuMsPerFrame(),
                window.fps() / pipeline.fps(), peakMemoryMb(), static_cast<unsigned long long>(lag),
                qPrintable(labels));
    // Which threads the window's frames cost (the process's main thread is the window's).
    std::printf("  window's processor time a frame by thread:");
    for (const auto& [name, ms] : windowThreads)
        if (ms > 0)
            std::printf(" %s %.2f ms;", qPrintable(name),
                        ms / double(std::max<qint64>(window.frames, 1)));
    std::printf("\n");
    return 0;
}
