// Fast pipeline against the plain reference, in one process, on the same 1920 x 1200 frames
// (three Gaussian spots and noise): median and worst milliseconds per frame of each, their
// ratio, and the memory of the stabiliser; then the stabiliser alone on one thread at each
// depth (its cost should not grow with the depth). With ROI 1200, the beam analysis: the
// pipeline with and without it, frames interleaved, and the analysis alone on one thread,
// on these frames and on frames of low noise (whose quantisation the analysis models).
//
//   bench_pipeline [fast frames per case, default 200] [reference frames, default 6; 0: skip]
//                  [500 or 1200: only that case; another number: only the stabiliser]

#include "BeamAnalysis.h"
#include "FramePipeline.h"
#include "ReferencePipeline.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThreadPool>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <time.h>
#include <vector>

using namespace lumetra::measure;

namespace {

// Frames of a 1920 x 1200 sensor: three spots near the centre, noise on every pixel (uniform
// 0..11 counts, or Gaussian of noiseSigma counts on a level of 2).
std::vector<QImage> makeFrames(int count, double noiseSigma = -1) {
    std::mt19937 rng(5);
    const int w = 1920, h = 1200;
    struct Spot {
        double cx, cy, s, amp[3];
    };
    const Spot spots[] = {{955, 600, 90, {230, 40, 10}},
                          {960, 595, 70, {30, 220, 60}},
                          {965, 605, 110, {10, 50, 200}}};
    // Signal computed once; frames differ by noise and a small jitter of the amplitude.
    std::vector<float> base(std::size_t(w) * h * 3, 0.0f);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            for (const Spot& sp : spots) {
                const double dx = x - sp.cx, dy = y - sp.cy;
                const double g = std::exp(-(dx * dx + dy * dy) / (2 * sp.s * sp.s));
                for (int c = 0; c < 3; ++c) {
                    base[(std::size_t(y) * w + x) * 3 + c] += float(sp.amp[c] * g);
                }
            }
        }
    }
    std::vector<QImage> frames;
    std::normal_distribution<float> gauss(0.0f, float(std::max(noiseSigma, 0.0)));
    for (int f = 0; f < count; ++f) {
        QImage img(w, h, QImage::Format_RGB888);
        const float gain = noiseSigma < 0 ? 0.9f + 0.2f * float(rng() % 100) / 100.0f : 0.8f;
        for (int y = 0; y < h; ++y) {
            uchar* p = img.scanLine(y);
            const float* b = base.data() + std::size_t(y) * w * 3;
            for (int i = 0; i < w * 3; ++i) {
                const float n = noiseSigma < 0 ? float(rng() % 12) : 2.5f + gauss(rng);
                p[i] = uchar(std::clamp(b[i] * gain + n, 0.0f, 255.0f));
            }
        }
        frames.push_back(img);
    }
    return frames;
}

struct Stats {
    double median = 0, p99 = 0, worst = 0;
};

double processCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

double threadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

Stats stats(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], ms.back()};
}

FrameInput inputFor(const QImage& frame, int roi, int depth, int count) {
    FrameInput in;
    const QRect r((frame.width() - roi) / 2, (frame.height() - roi) / 2, roi, roi);
    in.crop = frame.copy(r);
    in.stabDepth = depth;
    in.stabCount = std::min(count, depth);
    in.corner = Corner::BR;
    in.unmix = {1.0337, -0.0614, -0.0239, -0.2354, 1.0913, -0.0636, 0.0265, -0.3103, 1.0190};
    return in;
}

void runCase(const std::vector<QImage>& frames, int roi, int depth, int fastFrames, int refFrames) {
    FramePipeline fast;
    std::vector<double> fastMs;
    // Warm-up: fill the history once so the timed frames are steady-state frames.
    for (int i = 0; i < depth; ++i) {
        fast.process(inputFor(frames[i % frames.size()], roi, depth, i + 1));
    }
    // Wall time, and the processor time of all threads: on a loaded machine the latter
    // still says how much work a frame takes.
    std::vector<double> cpuMs;
    QElapsedTimer t;
    for (int i = 0; i < fastFrames; ++i) {
        const QImage& f = frames[std::size_t(i) % frames.size()];
        const double cpu0 = processCpuMs();
        t.start();
        // The crop is part of the per-frame work, as in the window.
        FrameInput in = inputFor(f, roi, depth, depth);
        const FrameResult res = fast.process(std::move(in));
        fastMs.push_back(double(t.nsecsElapsed()) / 1e6);
        cpuMs.push_back(processCpuMs() - cpu0);
        if (!res.measured) {
            std::printf("unexpected: frame not measured\n");
        }
    }
    const Stats fs = stats(fastMs);
    std::printf("ROI %4d depth %2d | fast: median %6.2f ms, p99 %6.2f ms, worst %6.2f ms (%d "
                "frames), processor time median %6.2f ms",
                roi, depth, fs.median, fs.p99, fs.worst, fastFrames, stats(cpuMs).median);

    if (refFrames > 0) {
        reference::ReferencePipeline ref;
        std::vector<double> refMs;
        ref.process(inputFor(frames[0], roi, depth, 1)); // creates its lists; not timed
        for (int i = 0; i < refFrames; ++i) {
            const QImage& f = frames[std::size_t(i) % frames.size()];
            t.start();
            const FrameResult res = ref.process(inputFor(f, roi, depth, i + 2));
            refMs.push_back(double(t.nsecsElapsed()) / 1e6);
        }
        const Stats rs = stats(refMs);
        std::printf(" | reference: median %7.1f ms, worst %7.1f ms (%d frames) | ratio %.0fx",
                    rs.median, rs.worst, refFrames, rs.median / fs.median);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// The four bands one after the other on this thread, timed by this thread's processor time
// (the copy of the crop it works on is not timed).
void stabiliserByDepth(const std::vector<QImage>& frames, int count) {
    std::vector<QImage> crops;
    for (const QImage& f : frames) {
        crops.push_back(f.copy((f.width() - 1200) / 2, 0, 1200, 1200));
    }
    Stabilizer stab;
    std::printf(
        "stabiliser alone, ROI 1200, one thread, median processor time per frame in ms by depth:");
    for (int depth = 1; depth <= kMaxStabDepth; ++depth) {
        std::vector<double> ms;
        for (int i = 0; i < depth + count; ++i) {
            QImage img = crops[std::size_t(i) % crops.size()].copy();
            const double t0 = threadCpuMs();
            stab.beginFrame(img.width(), img.height(), depth);
            for (int b = 0; b < Stabilizer::kBands; ++b) {
                stab.stabilizeBand(&img, b);
            }
            if (i >= depth) {
                ms.push_back(threadCpuMs() - t0);
            }
        }
        std::printf(" | %d: %.2f", depth, stats(ms).median);
        std::fflush(stdout);
    }
    std::printf("\n");
}

// The pipeline with and without the beam analysis on the same frames, interleaved so that
// both see the same machine load (wall and processor time); and the analysis alone on one
// thread (processor time).
void analysisCase(const char* name, const std::vector<QImage>& frames, int count) {
    const int roi = 1200, depth = 10;
    FramePipeline with, without;
    for (int i = 0; i < depth; ++i) {
        FrameInput a = inputFor(frames[std::size_t(i) % frames.size()], roi, depth, i + 1);
        FrameInput b = a;
        b.analyse = false;
        with.process(std::move(a));
        without.process(std::move(b));
    }
    std::vector<double> withMs, withoutMs, withCpu, withoutCpu, aloneCpu;
    QElapsedTimer t;
    BeamAnalyzer analyzer;
    for (int i = 0; i < count; ++i) {
        const QImage& f = frames[std::size_t(i) % frames.size()];
        FrameInput a = inputFor(f, roi, depth, depth);
        FrameInput b = inputFor(f, roi, depth, depth);
        b.analyse = false;
        double cpu = processCpuMs();
        t.start();
        const FrameResult ra = with.process(std::move(a));
        withMs.push_back(double(t.nsecsElapsed()) / 1e6);
        withCpu.push_back(processCpuMs() - cpu);
        cpu = processCpuMs();
        t.start();
        const FrameResult rb = without.process(std::move(b));
        withoutMs.push_back(double(t.nsecsElapsed()) / 1e6);
        withoutCpu.push_back(processCpuMs() - cpu);
        BeamAnalysisInput in;
        in.unmix = inputFor(f, 16, depth, depth).unmix;
        in.shift = cornerShift(Corner::BR);
        in.frames = depth;
        in.profiles = false;
        cpu = threadCpuMs();
        const BeamAnalysisResult alone = analyzer.analyse(rb.stabilisedCrop, in);
        aloneCpu.push_back(threadCpuMs() - cpu);
        if (!ra.analysis.analysed || !alone.analysed) {
            std::printf("unexpected: no analysis\n");
        }
    }
    const double wm = stats(withMs).median, wom = stats(withoutMs).median;
    const double wc = stats(withCpu).median, woc = stats(withoutCpu).median;
    std::printf("%s ROI %d depth %d | pipeline without analysis: median %6.2f ms (processor "
                "%6.2f ms) | with: median %6.2f ms (processor %6.2f ms) | extra %5.2f ms "
                "(processor %5.2f ms) | analysis alone, one thread: processor median %5.2f ms, "
                "p99 %5.2f ms (%d frames)\n",
                name, roi, depth, wom, woc, wm, wc, wm - wom, wc - woc, stats(aloneCpu).median,
                stats(aloneCpu).p99, count);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int fastFrames = argc > 1 ? std::max(10, atoi(argv[1])) : 200;
    const int refFrames = argc > 2 ? std::max(0, atoi(argv[2])) : 6;
    std::printf("pool threads: %d\n", QThread::idealThreadCount());
    const std::vector<QImage> frames = makeFrames(12);
    {
        FramePipeline p;
        std::printf("stabiliser memory: %.2f MB (%.2f MiB)\n",
                    double(p.stabilizer().memoryBytes()) / 1e6,
                    double(p.stabilizer().memoryBytes()) / (1024.0 * 1024.0));
    }
    const int only = argc > 3 ? atoi(argv[3]) : 0;
    if (only == 0 || only == 500) {
        runCase(frames, 500, 8, fastFrames, refFrames);
    }
    if (only == 0 || only == 1200) {
        runCase(frames, 1200, 10, fastFrames, refFrames);
        analysisCase("beam analysis,", frames, fastFrames);
        analysisCase("beam analysis, low noise (0.5 counts),", makeFrames(12, 0.5), fastFrames);
    }
    if (only != 500 && only != 1200) {
        stabiliserByDepth(frames, std::min(fastFrames, 100));
    }
    return 0;
}
