#include "FramePipeline.h"

#include "ColorCorrection.h"
#include "Results.h"
#include "SpotSearch.h"
#include "ThreadHandOver.h"
#include "ThreadPriority.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFutureInterface>
#include <QFutureWatcher>
#include <QRunnable>
#include <QThread>
#include <QThreadPool>
#include <algorithm>
#include <cmath>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace lumetra::measure {

namespace threads = lumetra::threads;

namespace {

// Qt hands tasks to the pool and reports their end under its own locks; these marks state
// the two hand-overs (ThreadHandOver.h).
const char kTaskToken = 0;
void handOver() {
    threads::handOver(&kTaskToken);
}
void takeOver() {
    threads::takeOver(&kTaskToken);
}

// The measuring tasks' own threads. Qt's painting splits large fills and image conversions
// into tasks on the global pool, ahead of any other task there: a window drawing a frame
// would hold the measuring's tasks back, and its waits would keep the threads switching.
Q_GLOBAL_STATIC(QThreadPool, measuringPool)

// Names the pool's threads, as profilers and top show them (Qt 6.4 names every pool's
// threads alike). A task may also run on the thread that waits for it, which keeps its name.
void nameMeasuringThread() {
#if defined(__linux__)
    thread_local const bool once = [] {
        if (measuringPool()->contains(QThread::currentThread()))
            pthread_setname_np(pthread_self(), "measuring pool");
        return true;
    }();
    Q_UNUSED(once);
#endif
}

// One task on the measuring pool. Made whole before the hand-over mark (QtConcurrent::run
// would build its task object after it, which the sanitizer then sees as a race).
template <typename F> class PoolTask : public QRunnable {
public:
    // A task no pool thread has started yet is run by the thread that waits for it
    // (QFuture's wait takes it back from the pool), instead of that thread sleeping.
    explicit PoolTask(F fn) : m_fn(std::move(fn)), m_ahead(submitterAhead()) {
        m_done.setThreadPool(measuringPool());
        m_done.setRunnable(this);
        m_done.reportStarted();
    }
    QFuture<void> future() { return m_done.future(); }
    void run() override {
        nameMeasuringThread();
        takeOver(); // the task's members, m_ahead too, are this thread's from here
        // At the priority of the thread that waits for it: a real-time measuring thread
        // whose task waited behind the camera's and the window's threads would wait too.
        if (measuringPool()->contains(QThread::currentThread()))
            threads::followPriority(m_ahead);
        m_fn();
        handOver();
        m_done.reportFinished();
    }

private:
    static bool submitterAhead() { return threads::runsAhead(); }
    F m_fn;
    bool m_ahead;
    QFutureInterface<void> m_done;
};

template <typename F> QFuture<void> runTask(F fn) {
    auto* task = new PoolTask<F>(std::move(fn)); // deleted by the pool after run()
    QFuture<void> future = task->future();
    handOver();
    measuringPool()->start(task);
    return future;
}

// Waits for the tasks, then takes over what they wrote.
void join(const Waiter& wait, const QList<QFuture<void>>& tasks) {
    wait(tasks);
    takeOver();
}

} // namespace

Waiter blockingWaiter() {
    // Last first: the tasks queued last are the ones still waiting for a pool thread.
    return [](const QList<QFuture<void>>& futures) {
        for (auto f = futures.crbegin(); f != futures.crend(); ++f)
            QFuture<void>(*f).waitForFinished();
    };
}

Waiter eventLoopWaiter() {
    // Events are processed while waiting, but not through a nested QEventLoop::exec: a new
    // loop drops a quit request that is still posted (so the program would never end), and
    // a quit handled inside one ends every loop, so the wait would return while the tasks
    // still write into the frame. The watcher only wakes the thread when a task finishes;
    // the wait ends when the futures say so, whatever the event loops do meanwhile.
    return [](const QList<QFuture<void>>& futures) {
        for (const QFuture<void>& f : futures) {
            if (f.isFinished()) {
                continue;
            }
            QFutureWatcher<void> watcher;
            watcher.setFuture(f);
            while (!f.isFinished()) {
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            }
        }
    };
}

namespace {
// RGB888, at most the history size; shares the pixels when nothing has to change.
QImage measurable(QImage image) {
    if (image.format() != QImage::Format_RGB888) {
        image = image.convertToFormat(QImage::Format_RGB888);
    }
    if (image.width() > kMaxRoiSide || image.height() > kMaxRoiSide) {
        image = image.copy(0, 0, std::min(image.width(), kMaxRoiSide),
                           std::min(image.height(), kMaxRoiSide));
    }
    return image;
}
} // namespace

QImage prepareCrop(QImage image) {
    image = measurable(std::move(image));
    image.bits(); // detach here, never inside the band tasks
    return image;
}

FramePipeline::FramePipeline(Waiter waiter) : m_wait(std::move(waiter)) {}

int FramePipeline::depthOf(const FrameInput& in) {
    return std::clamp(in.stabDepth, 1, kMaxStabDepth);
}

QImage& FramePipeline::correctedBuffer(int w, int h) {
    m_corrected = m_correctedPool.take(w, h);
    return m_corrected;
}

bool FramePipeline::startCorrection(int cropWidth, int cropHeight) {
    m_current = nullptr;
    if (!hasCorrectedImage(cropWidth, cropHeight)) {
        return false;
    }
    const int m = kCorrectionMargin;
    m_current = &correctedBuffer(cropWidth - 2 * m, cropHeight - 2 * m);
    if (m_current->isNull()) { // out of memory
        m_current = nullptr;
        return false;
    }
    m_planes.resize(m_current->width(), m_current->height());
    return true;
}

RowView FramePipeline::correctedRows() {
    return RowView{m_current->bits(), m_current->bytesPerLine(), m_current->width(),
                   m_current->height()};
}

namespace {
void addSums(ChannelSums* to, const ChannelSums& s) {
    for (int c = 0; c < 3; ++c) {
        (*to)[c] += s[c];
    }
}
} // namespace

void FramePipeline::startAnalysis(const RowView& crop, const FrameInput& in, int framesInMax) {
    m_analysing = in.analyse && m_current;
    if (!m_analysing) {
        return;
    }
    BeamAnalysisInput a;
    a.shift = in.corner ? cornerShift(*in.corner) : Shift{};
    a.unmix = in.analysisUnmix.value_or(in.unmix);
    a.exposureUs = in.exposureUs;
    a.factors = in.analysisFactor;
    a.profiles = in.analysisProfiles;
    a.frames = framesInMax;
    m_analyzer.begin(crop, a);
}

QImage& FramePipeline::takeCrop(FrameInput* in, RowView* from) {
    QImage frame = std::move(in->crop);
    in->crop = QImage();
    *from = RowView{};
    const QRect rect = in->cropRect;
    if (!rect.isValid()) {
        m_crop = prepareCrop(std::move(frame));
        return m_crop;
    }
    if (frame.format() != QImage::Format_RGB888 || !frame.rect().contains(rect)) {
        m_crop = prepareCrop(frame.copy(rect)); // outside the frame: copy() fills it in
        return m_crop;
    }
    const int w = std::min(rect.width(), kMaxRoiSide), h = std::min(rect.height(), kMaxRoiSide);
    *from = RowView{const_cast<uchar*>(frame.constScanLine(rect.y())) + 3 * rect.x(),
                    frame.bytesPerLine(), w, h};
    m_source = std::move(frame); // keeps the rows alive until the bands are done
    m_crop = m_cropPool.take(w, h);
    if (m_crop.isNull()) { // out of memory: measured as an empty crop would be
        *from = RowView{};
        m_source = QImage();
    }
    return m_crop;
}

FrameResult FramePipeline::process(FrameInput input) {
    RowView from;
    QImage& crop = takeCrop(&input, &from);
    m_stab.beginFrame(crop.width(), crop.height(), input.stabDepth);
    ++m_framesStabilised;
    const RowView rows{crop.bits(), crop.bytesPerLine(), crop.width(), crop.height()};
    const RowView source = from;

    // Each band also corrects the output rows that need only its own crop rows (output row
    // y reads crop rows y .. y + 2 * margin), while they are still in cache; the few rows
    // across band borders follow once all bands are done.
    const bool correcting = startCorrection(crop.width(), crop.height());
    const RowView out = correcting ? correctedRows() : RowView{};
    const Shift shift = input.corner ? cornerShift(*input.corner) : Shift{};
    const int h = crop.height();
    std::array<ChannelSums, Stabilizer::kBands> partSums{};
    std::array<int, Stabilizer::kBands> ownEnd{};
    QList<QFuture<void>> bands;
    for (int b = 0; b < Stabilizer::kBands; ++b) {
        const int from = Stabilizer::bandBegin(h, b);
        ownEnd[b] =
            std::max(from, std::min(Stabilizer::bandEnd(h, b) - 2 * kCorrectionMargin, out.height));
        bands.append(runTask(
            [this, &rows, &input, &out, &partSums, &source, shift, b, from, to = ownEnd[b]] {
                m_stab.stabilizeBand(rows, b, source.bits ? &source : nullptr);
                if (to > from) {
                    partSums[b] = correctRows(rows, input.unmix, shift, out, &m_planes, from, to);
                }
            }));
    }
    join(m_wait, bands);
    m_source = QImage();
    ChannelSums sums{};
    for (int b = 0; b < Stabilizer::kBands; ++b) {
        addSums(&sums, partSums[b]);
        const int next = b + 1 < Stabilizer::kBands ? Stabilizer::bandBegin(h, b + 1) : h;
        const int to = std::min(next, out.height);
        if (to > ownEnd[b]) {
            addSums(&sums, correctRows(rows, input.unmix, shift, out, &m_planes, ownEnd[b], to));
        }
    }
    startAnalysis(rows, input, std::min(m_framesStabilised, depthOf(input)));
    FrameResult r = measure(input, sums);
    r.stabilisedCrop = crop;
    return r;
}

FrameResult FramePipeline::computeMeasures(const QImage& stabilisedCrop, const FrameInput& in) {
    const QImage k = measurable(stabilisedCrop);
    ChannelSums sums{};
    if (startCorrection(k.width(), k.height())) {
        // Colour correction, in row bands.
        constexpr int kParts = 4;
        const RowView rows{const_cast<uchar*>(k.constBits()), k.bytesPerLine(), k.width(),
                           k.height()};
        const RowView out = correctedRows();
        const Shift shift = in.corner ? cornerShift(*in.corner) : Shift{};
        std::array<ChannelSums, kParts> partSums{};
        QList<QFuture<void>> parts;
        const int h = out.height;
        for (int p = 0; p < kParts; ++p) {
            parts.append(runTask([&, p] {
                partSums[p] = correctRows(rows, in.unmix, shift, out, &m_planes, p * h / kParts,
                                          (p + 1) * h / kParts);
            }));
        }
        join(m_wait, parts);
        startAnalysis(rows, in, std::clamp(in.stabCount, 1, depthOf(in)));
        for (const ChannelSums& part : partSums) {
            addSums(&sums, part);
        }
    }
    return measure(in, sums);
}

FrameResult FramePipeline::measure(const FrameInput& in, const ChannelSums& sums) {
    FrameResult r;
    if (!m_current) {
        return r; // nothing to correct, nothing measured
    }
    r.measured = true;
    r.stabilised = in.stabCount >= in.stabDepth;
    QImage& corrected = *m_current;
    r.channelSums = sums;
    r.cornerSignal = cornerSignalOf(in.unmix, r.channelSums);

    // Power, unless the stabiliser is filling or a calibration takes the frame.
    ResultTexts& t = r.texts;
    using T = ResultText;
    if (!r.stabilised) {
        t[T::PowerRed] = t[T::PowerGreen] = t[T::PowerBlue] = t[T::PowerTotal] = kProcessingText;
    } else if (!in.calibrationRunning) {
        std::array<double, 3> p{};
        for (int c = 0; c < 3; ++c) {
            p[c] = channelPower(r.cornerSignal[c], in.exposureUs, in.powerFactor[c]);
        }
        const double total = p[0] + p[1] + p[2];
        t[T::PowerRed] = powerText(p[0], 0.05);
        t[T::PowerGreen] = powerText(p[1], 0.05);
        t[T::PowerBlue] = powerText(p[2], 0.05);
        t[T::PowerTotal] = powerText(total, 0.15);
        r.power = p;
        r.totalPower = total;
        if (std::isnan(total)) {
            r.powerNote = QStringLiteral("power not available: the exposure or a power factor "
                                         "gives no finite power");
        }
    }

    // Spot search, one task per selector; the beam analysis (it only reads the crop) on this
    // thread meanwhile, which would otherwise only wait.
    {
        QList<QFuture<void>> spots;
        const SpotPlanes& img = m_planes;
        spots.append(runTask([&] { MeasureSpot(img, SpotAll, &r.maxAll, nullptr, &r.sizeAll); }));
        spots.append(runTask([&] { MeasureSpot(img, SpotRed, &r.maxR, &r.centreR, &r.sizeR); }));
        spots.append(runTask([&] { MeasureSpot(img, SpotGreen, &r.maxG, &r.centreG, &r.sizeG); }));
        spots.append(runTask([&] { MeasureSpot(img, SpotBlue, &r.maxB, &r.centreB, &r.sizeB); }));
        if (m_analysing) {
            m_analysing = false;
            m_analyzer.floors();
            for (int p = 0; p < BeamAnalyzer::kTableParts; ++p) {
                m_analyzer.tablePart(p);
            }
            m_analyzer.corrections();
            for (int c = 0; c < 3; ++c) {
                m_analyzer.channel(c);
            }
            r.analysis = m_analyzer.finish();
        }
        join(m_wait, spots);
    }
    t[T::PeakRed] = maxText(r.maxR);
    t[T::PeakGreen] = maxText(r.maxG);
    t[T::PeakBlue] = maxText(r.maxB);
    const int kMax = std::max({r.maxR, r.maxG, r.maxB});

    applyRedBoost(&corrected, in.redBoost);
    r.correctedImage = corrected;

    const ExposureAdvice advice = superviseExposure(kMax, r.stabilised);
    t[T::ExposureWarning] = advice.warning;
    r.exposureFactor = advice.factor;

    r.pairs[PairAll] = divergenceFromSize(r.sizeAll);
    r.pairs[PairRed] = divergenceFromSize(r.sizeR);
    r.pairs[PairGreen] = divergenceFromSize(r.sizeG);
    r.pairs[PairBlue] = divergenceFromSize(r.sizeB);
    r.pairs[PairRG] = alignmentOf(r.centreR, r.centreG);
    r.pairs[PairBG] = alignmentOf(r.centreB, r.centreG);
    r.pairs[PairRB] = alignmentOf(r.centreR, r.centreB);

    if (!r.stabilised) {
        t[T::RegionWarning] = QString();
        for (int i = 0; i < PairCount; ++i) {
            t[pairText(PairIndex(i))] = kProcessingText;
        }
    } else {
        for (int i = PairAll; i <= PairBlue; ++i) {
            t[pairText(PairIndex(i))] = divergenceText(r.pairs[i]);
        }
        for (int i = PairRG; i <= PairRB; ++i) {
            t[pairText(PairIndex(i))] = alignmentText(r.pairs[i]);
        }
    }
    return r;
}

} // namespace lumetra::measure
