// The fast pipeline against the plain reference on random frame sequences: every frame's
// stabilised crop, seven pairs, maxima, sums, corner signal, power, corrected image and
// label texts must be identical. The stabiliser is also checked alone, over many more
// frames than the whole pipeline can afford.

#include "FramePipeline.h"
#include "PipelineCompare.h"
#include "ReferencePipeline.h"
#include "SceneMaker.h"

#include <QRect>
#include <QTest>
#include <random>

using namespace lumetra::measure;

namespace {

UnmixMatrix randomUnmix(std::mt19937& rng) {
    std::uniform_real_distribution<double> u(-0.6, 1.6);
    switch (rng() % 5) {
    case 0:
        return {1, 0, 0, 0, 1, 0, 0, 0, 1};
    case 1:
        return {1.0337, -0.0614, -0.0239, -0.2354, 1.0913, -0.0636, 0.0265, -0.3103, 1.0190};
    default: {
        UnmixMatrix m;
        for (double& e : m) {
            e = u(rng);
        }
        return m;
    }
    }
}

std::optional<Corner> randomCorner(std::mt19937& rng) {
    const int c = int(rng() % 5);
    if (c == 4) {
        return std::nullopt;
    }
    return Corner(c);
}

// A ROI of the given size inside the frame, often against an edge.
QRect randomRoi(std::mt19937& rng, int fw, int fh, int w, int h) {
    auto place = [&](int total, int size) {
        switch (rng() % 4) {
        case 0:
            return 0;
        case 1:
            return total - size;
        default:
            return int(rng() % unsigned(total - size + 1));
        }
    };
    return QRect(place(fw, w), place(fh, h), w, h);
}

struct SequenceKind {
    int minSide, maxSide; // crop sides
    int wideChance;       // percent of crops 1190..1210 wide and few rows high
    int quiet = 1;        // events are this many times rarer (long runs at one depth)
};

} // namespace

class PipelineProperty : public QObject {
    Q_OBJECT

private:
    int runSequence(std::mt19937& rng, const SequenceKind& kind, int frames) {
        FramePipeline fast;
        reference::ReferencePipeline ref;
        std::uniform_int_distribution<int> side(kind.minSide, kind.maxSide);
        int w = side(rng), h = side(rng);
        bool wide = false;
        int fw = w + int(rng() % 40), fh = h + int(rng() % 40);
        scene::Scene sc = scene::randomScene(rng, fw, fh);
        QRect roi = randomRoi(rng, fw, fh, w, h);
        FrameInput in;
        in.stabDepth = 1 + int(rng() % 10);
        in.corner = randomCorner(rng);
        in.unmix = randomUnmix(rng);
        in.powerFactor = {double(rng() % 100), 1.0 + rng() % 80, 0.5 + rng() % 60};
        in.exposureUs = float(10 + rng() % 100000);
        in.redBoost = 1 + int(rng() % 4);
        int stabCount = 0;
        int compared = 0;
        FrameResult held;
        QImage heldCopy, heldCorrected;
        for (int f = 0; f < frames; ++f) {
            const int event = int(rng() % unsigned(100 * kind.quiet));
            if (event < 6) { // new crop size (a ROI resize resets the count)
                wide = int(rng() % 100) < kind.wideChance;
                w = wide ? 1190 + int(rng() % 21) : side(rng);
                h = wide ? 11 + int(rng() % 12) : side(rng);
                fw = std::max(fw, w);
                fh = std::max(fh, h);
                sc = scene::randomScene(rng, fw, fh);
                roi = randomRoi(rng, fw, fh, w, h);
                stabCount = 0;
            } else if (event < 10) { // ROI moved, same size
                roi = randomRoi(rng, fw, fh, w, h);
                stabCount = 0;
            } else if (event < 15) { // depth changed, with or without a reset
                in.stabDepth = 1 + int(rng() % 10);
                if (rng() % 2) {
                    stabCount = 0;
                }
            } else if (event < 20) {
                in.corner = randomCorner(rng);
                in.unmix = randomUnmix(rng);
            } else if (event < 23) {
                in.redBoost = 1 + int(rng() % 4);
                in.calibrationRunning = rng() % 3 == 0;
                in.exposureUs = float(10 + rng() % 100000);
            }
            if (stabCount < in.stabDepth) {
                ++stabCount;
            }
            in.stabCount = stabCount;
            QImage frame = scene::render(sc, fw, fh, rng, f % 7 == 0 ? 6.0 : 1.0);
            if (rng() % 10 == 0) { // a pulse: one bright patch for one frame
                const int px = int(rng() % unsigned(fw)), py = int(rng() % unsigned(fh));
                for (int y = py; y < std::min(fh, py + 8); ++y) {
                    for (int x = px; x < std::min(fw, px + 8); ++x) {
                        frame.scanLine(y)[3 * x + int(rng() % 3)] = uchar(150 + rng() % 106);
                    }
                }
            }
            in.crop = frame.copy(roi);
            const FrameResult expected = ref.process(in);
            if (f % 2 == 0) { // the pipeline cuts the ROI out of the whole frame itself
                in.crop = frame;
                in.cropRect = roi;
            }
            const FrameResult actual = fast.process(in);
            in.cropRect = QRect();
            QString diff = testcompare::difference(actual, expected);
            // A result still held is never written over by the next frames.
            if (diff.isEmpty() &&
                !(held.stabilisedCrop == heldCopy && held.correctedImage == heldCorrected)) {
                diff = QStringLiteral("a held crop or corrected image changed");
            }
            if (!diff.isEmpty()) {
                qWarning("frame %d of crop %dx%d depth %d count %d: %s", f, w, h, in.stabDepth,
                         stabCount, qPrintable(diff));
                return -1;
            }
            if (f % 5 == 0) {
                held = actual;
                heldCopy = actual.stabilisedCrop.copy();
                heldCorrected = actual.correctedImage.copy();
            }
            ++compared;
        }
        return compared;
    }

private slots:
    void smallAndMediumCrops() {
        std::mt19937 rng(20240401);
        int total = 0;
        for (int s = 0; s < 34; ++s) {
            const int n = runSequence(rng, {8, 70, 0}, 50);
            QVERIFY2(n > 0, qPrintable(QStringLiteral("sequence %1 differs").arg(s)));
            total += n;
        }
        QVERIFY(total >= 1700);
    }

    void largerCropsAndTinyOnes() {
        std::mt19937 rng(77);
        int total = 0;
        for (int s = 0; s < 6; ++s) {
            const int n = runSequence(rng, {5, 160, 0}, 40);
            QVERIFY2(n > 0, qPrintable(QStringLiteral("sequence %1 differs").arg(s)));
            total += n;
        }
        QVERIFY(total >= 240);
    }

    // Few events: the history folds many times at one depth, and each change of depth or
    // crop lands at some point of a fold cycle, with pixels out of the crop for longer
    // than the deepest history before they come back.
    void longRunsBetweenChanges() {
        std::mt19937 rng(9001);
        int total = 0;
        for (int s = 0; s < 6; ++s) {
            const int n = runSequence(rng, {6, 40, 0, 6}, 150);
            QVERIFY2(n > 0, qPrintable(QStringLiteral("sequence %1 differs").arg(s)));
            total += n;
        }
        QVERIFY(total >= 900);
    }

    // The stabiliser alone against the per-pixel lists, over thousands of small frames:
    // every point of a fold cycle meets depth changes and crop changes that send pixels
    // out and bring them back. Values are mostly low, so older maxima decide the result.
    void stabiliserAgainstPerPixelLists() {
        std::mt19937 rng(31337);
        Stabilizer fast;
        reference::ReferencePipeline ref;
        int w = 20, h = 20, depth = 10;
        for (int f = 0; f < 4000; ++f) {
            const int event = int(rng() % 100);
            if (event < 4) {
                w = 1 + int(rng() % 40);
                h = 1 + int(rng() % 40);
            } else if (event < 20) {
                depth = 1 + int(rng() % 10);
            }
            QImage frame(w, h, QImage::Format_RGB888);
            for (int y = 0; y < h; ++y) {
                uchar* p = frame.scanLine(y);
                for (int i = 0; i < 3 * w; ++i) {
                    p[i] = uchar(rng() % 100 < 3 ? rng() % 256 : rng() % 40);
                }
            }
            QImage expected = frame.copy();
            fast.beginFrame(w, h, depth);
            for (int b = 0; b < Stabilizer::kBands; ++b) {
                fast.stabilizeBand(&frame, b);
                ref.stabilizeBand(&expected, b, depth);
            }
            if (!testcompare::sameImage(frame, expected)) {
                QFAIL(qPrintable(QStringLiteral("frame %1 (%2 x %3, depth %4)")
                                     .arg(f)
                                     .arg(w)
                                     .arg(h)
                                     .arg(depth)));
            }
        }
    }

    // Crops wider than the history (cut to it) and pixels far right in the history.
    void wideCrops() {
        std::mt19937 rng(4242);
        int total = 0;
        for (int s = 0; s < 3; ++s) {
            const int n = runSequence(rng, {11, 40, 60}, 30);
            QVERIFY2(n > 0, qPrintable(QStringLiteral("sequence %1 differs").arg(s)));
            total += n;
        }
        QVERIFY(total >= 90);
    }
};

QTEST_GUILESS_MAIN(PipelineProperty)
#include "tst_pipeline_property.moc"
