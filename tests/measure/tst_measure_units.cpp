// Edge cases of the measuring steps: stabiliser fill, depth and crop changes, band rows,
// colour correction shifts and clamps, exact sums, spot search boxes, texts, power and
// exposure rules.

#include "ColorCorrection.h"
#include "FramePipeline.h"
#include "PixelShuffle.h"
#include "Results.h"
#include "SpotSearch.h"
#include "Stabilizer.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <cmath>
#include <memory>
#include <random>

using namespace lumetra::measure;
using T = lumetra::measure::ResultText;

namespace {

QImage filled(int w, int h, int r, int g, int b) {
    QImage img(w, h, QImage::Format_RGB888);
    img.fill(QColor(r, g, b));
    return img;
}

QImage stabilise(Stabilizer& s, QImage img, int depth) {
    s.beginFrame(img.width(), img.height(), depth);
    img.bits();
    for (int b = 0; b < Stabilizer::kBands; ++b) {
        s.stabilizeBand(&img, b);
    }
    return img;
}

int red(const QImage& img, int x, int y) {
    return img.constScanLine(y)[3 * x];
}
int green(const QImage& img, int x, int y) {
    return img.constScanLine(y)[3 * x + 1];
}
int blue(const QImage& img, int x, int y) {
    return img.constScanLine(y)[3 * x + 2];
}

FrameInput identityInput(const QImage& crop) {
    FrameInput in;
    in.crop = crop;
    in.stabDepth = 1;
    in.stabCount = 1;
    in.unmix = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    in.powerFactor = {1, 1, 1};
    return in;
}

} // namespace

class MeasureUnits : public QObject {
    Q_OBJECT

private slots:
    // --- stabiliser ---------------------------------------------------------------------

    void depthOnePassesFramesThrough() {
        Stabilizer s;
        std::mt19937 rng(3);
        for (int f = 0; f < 5; ++f) {
            QImage img(37, 23, QImage::Format_RGB888);
            for (int y = 0; y < img.height(); ++y) {
                for (int i = 0; i < img.width() * 3; ++i) {
                    img.scanLine(y)[i] = uchar(rng() % 256);
                }
            }
            QCOMPARE(stabilise(s, img, 1), img);
        }
    }

    void depthEightHoldsAPulseForEightFrames() {
        Stabilizer s;
        for (int f = 1; f <= 12; ++f) {
            const QImage out = stabilise(s, filled(4, 4, f == 3 ? 200 : 50, 7, 9), 8);
            const int expected = (f >= 3 && f <= 10) ? 200 : 50;
            QCOMPARE(red(out, 2, 2), expected);
            QCOMPARE(green(out, 2, 2), 7);
        }
    }

    void loweringTheDepthDropsOlderValuesAndRaisingItDoesNotRevive() {
        Stabilizer s;
        stabilise(s, filled(12, 12, 200, 0, 0), 5);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(red(stabilise(s, filled(12, 12, 50, 0, 0), 5), 1, 1), 200);
        }
        // Depth 2: the history becomes the last two values, both 50.
        QCOMPARE(red(stabilise(s, filled(12, 12, 50, 0, 0), 2), 1, 1), 50);
        // Depth 5 again: the 200 is gone for good.
        QCOMPARE(red(stabilise(s, filled(12, 12, 60, 0, 0), 5), 1, 1), 60);
        QCOMPARE(red(stabilise(s, filled(12, 12, 40, 0, 0), 5), 1, 1), 60);
    }

    void pixelsOutsideASmallerCropKeepTheirHistory() {
        Stabilizer s;
        stabilise(s, filled(10, 10, 200, 0, 0), 3);
        stabilise(s, filled(5, 5, 10, 0, 0), 3);
        stabilise(s, filled(5, 5, 10, 0, 0), 3);
        const QImage out = stabilise(s, filled(10, 10, 20, 0, 0), 3);
        QCOMPARE(red(out, 2, 2), 20);  // 10, 10, 20
        QCOMPARE(red(out, 8, 8), 200); // 200, 20: untouched while outside
        QCOMPARE(red(out, 8, 2), 200);
        // Two more frames push the 200 out of the three-deep history of (8, 8).
        stabilise(s, filled(10, 10, 20, 0, 0), 3);
        QCOMPARE(red(stabilise(s, filled(10, 10, 20, 0, 0), 3), 8, 8), 20);
    }

    void bandsOfAHeightSixCrop() {
        const int begins[] = {0, 1, 3, 4};
        const int ends[] = {1, 3, 4, 6};
        for (int b = 0; b < 4; ++b) {
            QCOMPARE(Stabilizer::bandBegin(6, b), begins[b]);
            QCOMPARE(Stabilizer::bandEnd(6, b), ends[b]);
        }
        // Band 1 alone touches rows 1 and 2 only.
        Stabilizer s;
        stabilise(s, filled(8, 6, 100, 100, 100), 4);
        s.beginFrame(8, 6, 4);
        QImage img = filled(8, 6, 50, 50, 50);
        s.stabilizeBand(&img, 1);
        for (int y = 0; y < 6; ++y) {
            QCOMPARE(red(img, 3, y), (y == 1 || y == 2) ? 100 : 50);
        }
    }

    void historyMemoryIsBounded() {
        Stabilizer s;
        QVERIFY(s.memoryBytes() <= 45u * 1000 * 1000);
        QVERIFY(s.memoryBytes() >= std::size_t(10) * 1200 * 1200 * 3);
    }

    // --- colour correction --------------------------------------------------------------

    void cornerShiftsSampleRedTowardsAndBlueAwayFromTheCorner() {
        QImage crop = filled(30, 30, 0, 0, 0);
        uchar* p = crop.scanLine(15) + 3 * 15;
        p[0] = 200, p[1] = 150, p[2] = 100;
        FramePipeline pipe;
        FrameInput in = identityInput(crop);
        in.corner = Corner::BR; // red from (x + 10, y + 10), blue from (x, y) of the crop
        FrameResult r = pipe.computeMeasures(crop, in);
        QCOMPARE(red(r.correctedImage, 5, 5), 200);
        QCOMPARE(green(r.correctedImage, 10, 10), 150);
        QCOMPARE(blue(r.correctedImage, 15, 15), 100);
        QCOMPARE(red(r.correctedImage, 10, 10), 0);

        in.corner = Corner::TL;
        r = pipe.computeMeasures(crop, in);
        QCOMPARE(red(r.correctedImage, 15, 15), 200);
        QCOMPARE(blue(r.correctedImage, 5, 5), 100);

        in.corner = std::nullopt; // no shift
        r = pipe.computeMeasures(crop, in);
        QCOMPARE(red(r.correctedImage, 10, 10), 200);
        QCOMPARE(green(r.correctedImage, 10, 10), 150);
        QCOMPARE(blue(r.correctedImage, 10, 10), 100);
        QCOMPARE(r.correctedImage.size(), QSize(20, 20));
    }

    void channelCombinationsAreClampedAndTruncated() {
        const QImage crop = filled(20, 20, 100, 100, 100);
        FramePipeline pipe;
        FrameInput in = identityInput(crop);
        in.unmix = {3, 0, 0, 0, -1, 0, 0.5, 0.5, 0.009};
        const FrameResult r = pipe.computeMeasures(crop, in);
        QCOMPARE(red(r.correctedImage, 3, 3), 255);  // 300
        QCOMPARE(green(r.correctedImage, 3, 3), 0);  // -100
        QCOMPARE(blue(r.correctedImage, 3, 3), 100); // 100.9 truncated
    }

    // Every byte triple through matrices chosen to put many sums on or next to the steps of
    // the result (decimal weights that add up to whole numbers, large weights, exact binary
    // weights), against the defined double sum.
    void mixingMatchesTheDoubleSumOnEveryInput() {
        const UnmixMatrix matrices[] = {
            {0.1, 0.2, 0.7, 0.3, 0.3, 0.4, 1.1, -0.1, 0.05},
            {7.31, -5.97, 3.13, -11.0, 9.999, 2.0001, 1.0 / 3, 1.0 / 3, 1.0 / 3},
            {1.0337, -0.0614, -0.0239, -0.2354, 1.0913, -0.0636, 0.0265, -0.3103, 1.0190},
            {0.5, 0.25, -0.125, 1, 0, 0, 1 + 1.0 / 1048576, 0, 0},
        };
        const int n = 256, m = kCorrectionMargin;
        QImage crop(n + 2 * m, n + 2 * m, QImage::Format_RGB888); // red along x, green along y
        for (int y = 0; y < crop.height(); ++y) {
            for (int x = 0; x < crop.width(); ++x) {
                crop.scanLine(y)[3 * x] = uchar(std::clamp(x - m, 0, 255));
                crop.scanLine(y)[3 * x + 1] = uchar(std::clamp(y - m, 0, 255));
            }
        }
        const RowView cropRows{crop.bits(), crop.bytesPerLine(), crop.width(), crop.height()};
        QImage out(n, n, QImage::Format_RGB888);
        const RowView rows{out.bits(), out.bytesPerLine(), n, n};
        SpotPlanes planes;
        planes.resize(n, n);
        for (const UnmixMatrix& mat : matrices) {
            for (int b = 0; b < 256; ++b) {
                for (int y = 0; y < crop.height(); ++y) { // blue: one value per pass
                    for (int x = 0; x < crop.width(); ++x) {
                        cropRows.row(y)[3 * x + 2] = uchar(b);
                    }
                }
                const ChannelSums sums = correctRows(cropRows, mat, Shift{}, rows, &planes, 0, n);
                const qint64 ramp = qint64(n) * (n - 1) / 2 * n; // 0..255 along a side
                QCOMPARE(sums, (ChannelSums{ramp, ramp, qint64(b) * n * n}));
                for (int g = 0; g < n; ++g) {
                    const uchar* p = out.constScanLine(g);
                    for (int r = 0; r < n; ++r) {
                        QCOMPARE(int(planes.all[std::size_t(g * n + r)]),
                                 p[3 * r] + p[3 * r + 1] + p[3 * r + 2]);
                        for (int c = 0; c < 3; ++c) {
                            float f =
                                float(mat[3 * c] * r + mat[3 * c + 1] * g + mat[3 * c + 2] * b);
                            f = f > 0 ? f : 0;
                            f = f < 255 ? f : 255;
                            if (p[3 * r + c] != int(f)) {
                                QFAIL(qPrintable(QStringLiteral("channel %1 of (%2, %3, %4): %5, "
                                                                "expected %6")
                                                     .arg(c)
                                                     .arg(r)
                                                     .arg(g)
                                                     .arg(b)
                                                     .arg(p[3 * r + c])
                                                     .arg(int(f))));
                            }
                        }
                    }
                }
            }
        }
    }

    // Random crops of every width class (vector blocks and the columns after them), each
    // corner's shift, random matrices and row ranges: every output byte, the sum plane and
    // the raw sums against the defined per-pixel result.
    void correctedRowsMatchThePixelDefinition() {
        std::mt19937 rng(11);
        const int m = kCorrectionMargin;
        for (int round = 0; round < 60; ++round) {
            const int w = 1 + int(rng() % 90), h = 1 + int(rng() % 12);
            QImage crop(w + 2 * m, h + 2 * m, QImage::Format_RGB888);
            for (int y = 0; y < crop.height(); ++y) {
                for (int i = 0; i < crop.width() * 3; ++i) {
                    crop.scanLine(y)[i] = uchar(rng() % 256);
                }
            }
            UnmixMatrix mat;
            for (double& v : mat) {
                v = double(int(rng() % 4001) - 2000) / 1000.0;
            }
            const Shift shifts[] = {Shift{}, cornerShift(Corner::TL), cornerShift(Corner::TR),
                                    cornerShift(Corner::BL), cornerShift(Corner::BR)};
            const Shift sh = shifts[rng() % 5];
            const int y0 = int(rng() % unsigned(h)), y1 = y0 + 1 + int(rng() % unsigned(h - y0));
            QImage out(w, h, QImage::Format_RGB888);
            out.fill(Qt::black);
            SpotPlanes planes;
            planes.resize(w, h);
            const RowView k{crop.bits(), crop.bytesPerLine(), crop.width(), crop.height()};
            const RowView o{out.bits(), out.bytesPerLine(), w, h};
            const ChannelSums sums = correctRows(k, mat, sh, o, &planes, y0, y1);

            auto mix = [&](int c, const uchar* px) {
                float f =
                    float(mat[3 * c] * px[0] + mat[3 * c + 1] * px[1] + mat[3 * c + 2] * px[2]);
                f = f > 0 ? f : 0;
                f = f < 255 ? f : 255;
                return int(f);
            };
            ChannelSums expected{0, 0, 0};
            for (int y = y0; y < y1; ++y) {
                for (int x = 0; x < w; ++x) {
                    // Red samples the pixel shifted one way, blue the other.
                    const uchar* pr = crop.constScanLine(y + m + sh.sy) + 3 * (x + m + sh.sx);
                    const uchar* pg = crop.constScanLine(y + m) + 3 * (x + m);
                    const uchar* pb = crop.constScanLine(y + m - sh.sy) + 3 * (x + m - sh.sx);
                    const int want[3] = {mix(0, pr), mix(1, pg), mix(2, pb)};
                    for (int c = 0; c < 3; ++c) {
                        QCOMPARE(int(out.constScanLine(y)[3 * x + c]), want[c]);
                        expected[c] += pb[c];
                    }
                    QCOMPARE(int(planes.all[std::size_t(y * w + x)]), want[0] + want[1] + want[2]);
                }
            }
            QCOMPARE(sums, expected);
        }
    }

    // The pipeline's own cut of the ROI gives what the caller's copy gave, also where it
    // falls back to the copy (a ROI reaching out of the frame, a frame not RGB888) and where
    // it cuts a ROI larger than the history down from the top-left.
    void cuttingTheRoiFromTheFrameEqualsCopyingIt() {
        std::mt19937 rng(5);
        QImage frame(1300, 40, QImage::Format_RGB888);
        for (int y = 0; y < frame.height(); ++y) {
            for (int i = 0; i < frame.width() * 3; ++i) {
                frame.scanLine(y)[i] = uchar(rng() % 256);
            }
        }
        const QImage argb = frame.convertToFormat(QImage::Format_ARGB32);
        struct Case {
            QImage frame;
            QRect roi;
        } cases[] = {{frame, QRect(7, 3, 61, 29)},
                     {frame, QRect(1280, 5, 40, 30)},
                     {frame, QRect(-4, -2, 30, 20)},
                     {argb, QRect(10, 10, 50, 25)},
                     {frame, QRect(0, 0, 1300, 40)}};
        for (const Case& c : cases) {
            FramePipeline copied, cut;
            for (int f = 0; f < 3; ++f) { // the stabiliser's history too
                FrameInput in = identityInput(c.frame.copy(c.roi));
                in.stabDepth = 2;
                in.stabCount = std::min(f + 1, 2);
                const FrameResult a = copied.process(in);
                in.crop = c.frame;
                in.cropRect = c.roi;
                const FrameResult b = cut.process(in);
                QCOMPARE(b.stabilisedCrop, a.stabilisedCrop);
                QCOMPARE(b.correctedImage, a.correctedImage);
                QCOMPARE(b.channelSums, a.channelSums);
                QCOMPARE(b.maxAll, a.maxAll);
            }
        }
    }

    // Results keep their images, however many are held (more than the pools keep) and
    // after the pipeline that made them is gone: the pools' memory goes back only once the
    // last copy of an image is released.
    void heldResultsOutliveThePoolsAndThePipeline() {
        std::mt19937 rng(9);
        QImage frame(90, 60, QImage::Format_RGB888);
        std::vector<FrameResult> held;
        std::vector<QImage> crops, corrected;
        {
            FramePipeline pipe;
            for (int f = 0; f < 20; ++f) {
                for (int y = 0; y < frame.height(); ++y) {
                    for (int i = 0; i < frame.width() * 3; ++i) {
                        frame.scanLine(y)[i] = uchar(rng() % 256);
                    }
                }
                FrameInput in = identityInput(frame);
                in.cropRect = QRect(5, 4, 70, 50);
                held.push_back(pipe.process(in));
                crops.push_back(held.back().stabilisedCrop.copy());
                corrected.push_back(held.back().correctedImage.copy());
                QCOMPARE(crops.back(), frame.copy(in.cropRect)); // depth 1: the frame itself
            }
        }
        for (std::size_t i = 0; i < held.size(); ++i) {
            QCOMPARE(held[i].stabilisedCrop, crops[i]);
            QCOMPARE(held[i].correctedImage, corrected[i]);
        }
    }

    // The plain loops can be checked on any processor (the test runs a second time so).
    void vectorLoopsFollowTheSwitch() {
#if defined(LUMETRA_X86_SIMD)
        const bool plain = qEnvironmentVariable("LUMETRA_VECTOR") == QLatin1String("plain");
        QCOMPARE(simd::hasAvx2(), !plain && __builtin_cpu_supports("avx2"));
#endif
    }

    void redBoostSaturates() {
        const QImage crop = filled(20, 20, 70, 30, 40);
        FramePipeline pipe;
        FrameInput in = identityInput(crop);
        in.redBoost = 4;
        FrameResult r = pipe.computeMeasures(crop, in);
        QCOMPARE(red(r.correctedImage, 0, 0), 255);
        QCOMPARE(green(r.correctedImage, 0, 0), 30);
        QCOMPARE(r.maxR, 70); // measured before the boost
        in.redBoost = 2;
        r = pipe.computeMeasures(crop, in);
        QCOMPARE(red(r.correctedImage, 0, 0), 140);
    }

    void cropsOfTenPixelsOrLessAreNotMeasured() {
        FramePipeline pipe;
        for (const QSize size : {QSize(10, 40), QSize(40, 10), QSize(3, 3)}) {
            FrameInput in = identityInput(filled(size.width(), size.height(), 90, 90, 90));
            const FrameResult r = pipe.process(in);
            QVERIFY(!r.measured);
            QVERIFY(r.correctedImage.isNull());
            QVERIFY(!r.texts[T::DivergenceAll]);
            QVERIFY(!r.texts[T::PowerRed].has_value());
        }
        const FrameResult r = pipe.process(identityInput(filled(11, 11, 90, 90, 90)));
        QVERIFY(r.measured);
        QCOMPARE(r.correctedImage.size(), QSize(1, 1));
    }

    void channelSumsStayExactPastFloatPrecision() {
        const QImage crop = filled(1200, 1200, 255, 254, 1);
        FramePipeline pipe;
        const FrameResult r = pipe.computeMeasures(crop, identityInput(crop));
        const qint64 n = 1190LL * 1190;
        QCOMPARE(r.channelSums[0], n * 255);
        QCOMPARE(r.channelSums[1], n * 254);
        QCOMPARE(r.channelSums[2], n);
        QCOMPARE(r.cornerSignal[0], float(double(n * 255)));
        // A float running sum would be off by far more than one float step here.
        float running = 0;
        for (qint64 i = 0; i < n; ++i) {
            running += 255.0f;
        }
        QVERIFY(std::abs(double(running) - double(n * 255)) > 1e5);
    }

    // --- spot search --------------------------------------------------------------------

    void squareFortyByThirty() {
        QImage img = filled(60, 50, 0, 0, 0);
        for (int y = 10; y < 40; ++y) {
            for (int x = 10; x < 50; ++x) {
                img.scanLine(y)[3 * x] = 200;
            }
        }
        int max = 0;
        QPoint centre(-1, -1), size(-1, -1);
        MeasureSpot(img, SpotRed, &max, &centre, &size);
        QCOMPARE(max, 200);
        QCOMPARE(size, QPoint(38, 28));
        QCOMPARE(centre, QPoint(29, 24));
        // The green plane is dark: nothing found, outputs untouched.
        QPoint c2(-1, -1), s2(-1, -1);
        MeasureSpot(img, SpotGreen, &max, &c2, &s2);
        QCOMPARE(max, 0);
        QCOMPARE(s2, QPoint(-1, -1));
    }

    void maximumCountsFromTheFifthBrightPixelOfAColumn() {
        QImage img = filled(30, 30, 0, 0, 0);
        for (int y = 5; y < 25; ++y) {
            for (int x = 5; x < 25; ++x) {
                img.scanLine(y)[3 * x + 2] = 100;
            }
        }
        img.scanLine(5)[3 * 12 + 2] = 250; // first bright pixel of its column: not counted
        img.scanLine(9)[3 * 14 + 2] = 180; // fifth: counted
        int max = 0;
        QPoint size(-1, -1);
        MeasureSpot(img, SpotBlue, &max, nullptr, &size);
        QCOMPARE(max, 180);
    }

    void singleHotPixelIsNoSpot() {
        QImage img = filled(50, 50, 0, 0, 0);
        img.scanLine(20)[3 * 20] = 255;
        int max = 7;
        QPoint c(-1, -1), s(-1, -1);
        MeasureSpot(img, SpotRed, &max, &c, &s);
        QCOMPARE(max, 0);
        QCOMPARE(c, QPoint(-1, -1));
        QCOMPARE(s, QPoint(-1, -1));
    }

    void allChannelsSelectorAddsTheChannels() {
        const QImage img = filled(30, 30, 4, 4, 4); // 12 > 10 everywhere
        int max = 0;
        QPoint s(-1, -1);
        MeasureSpot(img, SpotAll, &max, nullptr, &s);
        QCOMPARE(max, 12);
        QCOMPARE(s, QPoint(28, 28));
        MeasureSpot(img, SpotRed, &max, nullptr, &s);
        QCOMPARE(max, 0);
    }

    void narrowSpotsGiveNoSize() {
        QImage img = filled(40, 40, 0, 0, 0);
        for (int y = 5; y < 35; ++y) {
            for (int x = 10; x < 21; ++x) { // 11 columns: last - first = 10
                img.scanLine(y)[3 * x + 1] = 90;
            }
        }
        int max = 0;
        QPoint c(-1, -1), s(-1, -1);
        MeasureSpot(img, SpotGreen, &max, &c, &s);
        QCOMPARE(max, 90);
        QCOMPARE(s, QPoint(-1, -1));
    }

    // --- results and texts --------------------------------------------------------------

    void peakLevelTexts() {
        QCOMPARE(maxText(0), QString("N/A"));
        QCOMPARE(maxText(25), QString("N/A"));
        QCOMPARE(maxText(26), QString("10%"));
        QCOMPARE(maxText(128), QString("50%"));
        QCOMPARE(maxText(255), QString("100%"));
    }

    void divergenceValuesAndTexts() {
        const MeasurePair d = divergenceFromSize(QPoint(100, 50));
        QCOMPARE(d.x, float(1.0 - 0.02));
        QCOMPARE(d.y, float(double(0.5f) - 0.02));
        QCOMPARE(divergenceText(d), QString("0.98 x 0.48 [0.69]"));
        const MeasurePair tiny = divergenceFromSize(QPoint(2, 2));
        QVERIFY(std::abs(tiny.x) < 1e-6f);
        QCOMPARE(divergenceText(tiny), QString("N/A"));
        QCOMPARE(divergenceText({0.0f, 0.5f}), QString("N/A"));
        const MeasurePair missing = divergenceFromSize(QPoint(-1, -1));
        QCOMPARE(missing.x, -1.0f);
        QCOMPARE(missing.y, -1.0f);
        QCOMPARE(divergenceText({0.52f, 0.61f}), QString("0.52 x 0.61 [0.56]"));
    }

    void alignmentValuesAndTexts() {
        const MeasurePair a = alignmentOf(QPoint(300, 200), QPoint(310, 190));
        QCOMPARE(a.x, -0.1f);
        QCOMPARE(a.y, -0.1f);
        QCOMPARE(alignmentText(a), QString("-0.10 x -0.10"));
        const MeasurePair m = alignmentOf(QPoint(-1, -1), QPoint(310, 190));
        QCOMPARE(m.x, -100.0f);
        QCOMPARE(alignmentText(m), QString("N/A"));
        QCOMPARE(alignmentText({0, 0}), QString("0.00 x 0.00"));
        QCOMPARE(alignmentOf(QPoint(5, 5), QPoint(-1, -1)).y, -100.0f);
    }

    void powerThresholdsAreStrict() {
        const double p = channelPower(2500.0f, 10000.0f, 5.0);
        QCOMPARE(p, 0.05);
        QCOMPARE(powerText(p, 0.05), QString("Low"));
        QCOMPARE(powerText(0.051, 0.05), QString("0.05 W"));
        QCOMPARE(powerText(0.15, 0.15), QString("Low"));
        QCOMPARE(powerText(1.234, 0.15), QString("1.23 W"));
        // Single-precision step first: 1/3 as a float, then divided in double.
        QCOMPARE(channelPower(1.0f, 3.0f, 2.0), double(1.0f / 3.0f) / 2.0);
        // No power is shown as missing, never as "inf W" or a negative "Low".
        for (double none : {channelPower(5e5f, 1000.0f, 0.0), channelPower(5e5f, 1000.0f, -3.0),
                            channelPower(5e5f, 1000.0f, 1e-320), channelPower(5e5f, 0.0f, 29.0),
                            channelPower(3e38f, 1e-3f, 29.0)})
            QCOMPARE(powerText(none, 0.05), QString("N/A"));
        QCOMPARE(powerText(-2.0, 0.05), QString("Low")); // a negative signal is no fault
    }

    void exposureSupervision() {
        struct Case {
            int k;
            const char* text;
            double factor; // 0: none
        };
        const Case cases[] = {{0, "", 0},
                              {15, "", 0},
                              {16, "Exposure too low, the measure is incorrect", 1.1},
                              {19, "Exposure too low, the measure is incorrect", 1.1},
                              {20, "Exposure is low, the measure is not accurate", 1.1},
                              {134, "Exposure is low, the measure is not accurate", 1.1},
                              {135, "", 1.02},
                              {209, "", 1.02},
                              {210, "", 0},
                              {249, "", 0},
                              {250, "Exposure too high, the measure is incorrect", 0.94},
                              {255, "Exposure too high, the measure is incorrect", 0.94}};
        for (const Case& c : cases) {
            const ExposureAdvice a = superviseExposure(c.k, true);
            QCOMPARE(a.warning, QString(c.text));
            QCOMPARE(a.factor.has_value(), c.factor != 0);
            if (a.factor) {
                QCOMPARE(*a.factor, c.factor);
            }
        }
        const ExposureAdvice filling = superviseExposure(255, false);
        QVERIFY(filling.warning.isEmpty());
        QVERIFY(!filling.factor);
    }

    // --- whole frames -------------------------------------------------------------------

    void labelsWhileFillingStabilisedAndCalibrating() {
        QImage crop = filled(80, 60, 0, 0, 0);
        for (int y = 20; y < 40; ++y) {
            for (int x = 30; x < 55; ++x) {
                crop.scanLine(y)[3 * x] = 240;
                crop.scanLine(y)[3 * x + 1] = 100;
            }
        }
        FramePipeline pipe;
        FrameInput in = identityInput(crop);
        in.stabDepth = 3;
        in.corner = std::nullopt;
        in.exposureUs = 1000.0f;
        in.powerFactor = {100.0, 50.0, 10.0};
        for (int count = 1; count <= 3; ++count) {
            in.stabCount = count;
            const FrameResult r = pipe.process(in);
            QVERIFY(r.measured);
            if (count < 3) {
                QVERIFY(!r.stabilised);
                QCOMPARE(r.texts.text(T::DivergenceAll), QString("Processing..."));
                QCOMPARE(r.texts.text(T::AlignmentRB), QString("Processing..."));
                QCOMPARE(*r.texts[T::PowerTotal], QString("Processing..."));
                QCOMPARE(*r.texts[T::RegionWarning], QString());
                QVERIFY(!r.power);
                QVERIFY(!r.exposureFactor);
                QCOMPARE(r.texts.text(T::PeakRed), QString("94%")); // peak levels show at once
            } else {
                QVERIFY(r.stabilised);
                QVERIFY(!r.texts[T::RegionWarning]);
                // 25 x 20 square: FWHM box 23 x 18 pixels.
                QCOMPARE(r.texts.text(T::DivergenceRed), QString("0.21 x 0.16 [0.18]"));
                QCOMPARE(r.texts.text(T::AlignmentRG), QString("0.00 x 0.00"));
                QCOMPARE(r.texts.text(T::AlignmentBG), QString("N/A"));
                QCOMPARE(r.texts.text(T::PeakBlue), QString("N/A"));
                // 500 pixels * 240 / 1000 us / 100 = 1.2 W; green 500 * 100 / 1000 / 50 = 1.
                QCOMPARE(*r.texts[T::PowerRed], QString("1.20 W"));
                QCOMPARE(*r.texts[T::PowerGreen], QString("1.00 W"));
                QCOMPARE(*r.texts[T::PowerBlue], QString("Low"));
                QCOMPARE(*r.texts[T::PowerTotal], QString("2.20 W"));
                QCOMPARE(r.texts.text(T::ExposureWarning), QString());
                QVERIFY(!r.exposureFactor); // K = 240
            }
        }
        in.powerFactor = {100.0, 0.0, 10.0};
        const FrameResult noFactor = pipe.process(in);
        QCOMPARE(*noFactor.texts[T::PowerRed], QString("1.20 W"));
        QCOMPARE(*noFactor.texts[T::PowerGreen], QString("N/A"));
        QCOMPARE(*noFactor.texts[T::PowerTotal], QString("N/A"));
        QVERIFY(std::isnan(*noFactor.totalPower));
        QVERIFY(!noFactor.powerNote.isEmpty());
        in.calibrationRunning = true;
        const FrameResult cal = pipe.process(in);
        QVERIFY(!cal.texts[T::PowerRed] && !cal.texts[T::PowerTotal]);
        QVERIFY(!cal.power);
        QCOMPARE(cal.cornerSignal[0], 500.0f * 240.0f);
    }

    void heldResultsAreNotOverwrittenByLaterFrames() {
        FramePipeline pipe;
        FrameInput in = identityInput(filled(30, 30, 10, 20, 30));
        const FrameResult first = pipe.process(in);
        const QImage firstCopy = first.correctedImage.copy();
        FrameResult later;
        for (int v = 1; v <= 4; ++v) {
            in.crop = filled(30, 30, 40 * v, 50, 60);
            later = pipe.process(in); // the previous `later` is released here
            QCOMPARE(red(later.correctedImage, 0, 0), 40 * v);
        }
        QCOMPARE(first.correctedImage, firstCopy);
    }

    void eventLoopWaiterKeepsEventsFlowing() {
        bool timerRan = false;
        QTimer::singleShot(0, this, [&] { timerRan = true; });
        QList<QFuture<void>> futures;
        std::atomic<bool> done{false};
        futures.append(QtConcurrent::run([&] {
            QThread::msleep(200);
            done = true;
        }));
        eventLoopWaiter()(futures);
        QVERIFY(done);
        QVERIFY(timerRan);
    }
};

QTEST_GUILESS_MAIN(MeasureUnits)
#include "tst_measure_units.moc"
