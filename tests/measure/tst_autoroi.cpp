// Auto ROI on whole frames of the simulated head: the region holds every beam's 3 x D4sigma
// area (and the correction's margins) in each corner and on a small sensor, stays inside
// the image next to its edge, ignores beams of another corner, gives a reason without
// beams, and keeps still on noise but follows a beam that really moves.

#include "AutoRoi.h"
#include "Calibration.h"
#include "HeadFrames.h"

#include <QTest>

using namespace lumetra::measure;
namespace hf = headframes;
namespace sim = lumetra::sim;

namespace {

const UnmixMatrix kUnmix = hf::factoryInverse();

QImage wholeFrame(const sim::HeadConfig& h, double exposureUs, uint64_t seed = 3) {
    sim::Renderer r(h, seed);
    const QRect all(0, 0, h.sensorWidth, h.sensorHeight);
    const sim::FrameLayout layout = hf::layoutFor(h, all, exposureUs);
    std::vector<uint8_t> buf(layout.frameBytes());
    r.render(layout, buf.data());
    return hf::displayed(buf.data(), h.sensorWidth, h.sensorHeight);
}

// Three beams of different sizes and offsets, brightest camera channel near 200 counts.
sim::HeadConfig scene(sim::LandingCorner corner, int w, int h, double scale = 1.0) {
    const hf::Beam beams[3] = {{1.0, 0.8 * scale, 0.7 * scale, 0.3, -0.2},
                               {1.0, 0.6 * scale, 0.6 * scale, 0.0, 0.0},
                               {1.0, 0.9 * scale, 1.1 * scale, -0.25, 0.3}};
    sim::HeadConfig c = hf::head(beams, 1.0, 2.0, corner);
    c.sensorWidth = w;
    c.sensorHeight = h;
    return c;
}

double exposureFor(const sim::HeadConfig& h) {
    return hf::exposureForPeak(h, QRect(0, 0, h.sensorWidth, h.sensorHeight), 200);
}

// The region holds each lit beam's area (3 x D4sigma of the truth, 5 px for the channel
// shifts) as far as the image reaches, and is no larger than that area by more than a few
// pixels and its 3 % of room unless the 64-pixel floor asks for it.
void checkHolds(const QRect& roi, const sim::HeadConfig& h) {
    const QRect image(0, 0, h.sensorWidth, h.sensorHeight);
    QVERIFY(image.contains(roi));
    double x0 = 1e9, x1 = -1e9, y0 = 1e9, y1 = -1e9;
    for (int c = 0; c < 3; ++c) {
        if (h.beams[c].power <= 0)
            continue;
        const QPointF p = sim::beamCentreOnDisplay(h, c);
        const double hx = 6 * sim::sigmaPixels(h.beams[c].divergenceX) + kCorrectionMargin;
        const double hy = 6 * sim::sigmaPixels(h.beams[c].divergenceY) + kCorrectionMargin;
        x0 = std::min(x0, p.x() - hx), x1 = std::max(x1, p.x() + hx);
        y0 = std::min(y0, p.y() - hy), y1 = std::max(y1, p.y() + hy);
    }
    const double tol = 4; // the moments of a noisy, quantised frame
    QVERIFY(roi.left() <= std::max(0.0, x0) + tol);
    QVERIFY(roi.right() + 1 >= std::min(double(image.width()), x1) - tol);
    QVERIFY(roi.top() <= std::max(0.0, y0) + tol);
    QVERIFY(roi.bottom() + 1 >= std::min(double(image.height()), y1) - tol);
    QVERIFY(roi.width() >= kAutoRoiMinSide && roi.height() >= kAutoRoiMinSide);
    QVERIFY(roi.width() <= kMaxRoiSide && roi.height() <= kMaxRoiSide);
    QVERIFY(roi.width() <= std::max<double>(kAutoRoiMinSide, 1.06 * (x1 - x0) + 8) + 2 * tol);
    QVERIFY(roi.height() <= std::max<double>(kAutoRoiMinSide, 1.06 * (y1 - y0) + 8) + 2 * tol);
}

} // namespace

class TstAutoRoi : public QObject {
    Q_OBJECT
private slots:
    void holdsTheBeamsOfTheSelectedCorner_data() {
        QTest::addColumn<int>("corner");
        QTest::addColumn<QSize>("sensor");
        QTest::addColumn<double>("scale");
        for (int c = 0; c < 4; ++c) {
            QTest::addRow("1920x1200 corner %d", c) << c << QSize(1920, 1200) << 1.0;
            QTest::addRow("640x480 corner %d", c) << c << QSize(640, 480) << 0.35;
        }
        QTest::addRow("tiny beams") << 3 << QSize(1920, 1200) << 0.08;
    }
    void holdsTheBeamsOfTheSelectedCorner() {
        QFETCH(int, corner);
        QFETCH(QSize, sensor);
        QFETCH(double, scale);
        const sim::HeadConfig h =
            scene(sim::LandingCorner(corner), sensor.width(), sensor.height(), scale);
        const QImage frame = wholeFrame(h, exposureFor(h));
        const AutoRoiResult r = findAutoRoi(frame, Corner(corner), QRect(10, 10, 500, 500), kUnmix);
        QVERIFY2(r.roi, qPrintable(r.reason));
        QVERIFY(r.moved);
        checkHolds(*r.roi, h);
        // The other corners hold no beam.
        const AutoRoiResult other = findAutoRoi(frame, Corner(3 - corner), *r.roi, kUnmix);
        QVERIFY(!other.roi);
        QVERIFY(other.reason.contains(QStringLiteral("no beam")));
    }

    void edgesOneBeamAndNone() {
        // One green beam whose centre lies 20 px from the right edge and 30 px from the
        // bottom: the region stays inside the image, reaches its edges and holds most of
        // the beam (the image cuts its moments, so not all of its 3 x D4sigma).
        hf::Beam beams[3] = {{0.0}, {1.0, 0.5, 0.5, 4.6, -2.7}, {0.0}};
        sim::HeadConfig h = hf::head(beams, 0.5, 1.0);
        QCOMPARE(sim::beamCentreOnDisplay(h, 1), QPointF(1900, 1170));
        const QImage frame = wholeFrame(h, exposureFor(h));
        AutoRoiResult r = findAutoRoi(frame, Corner::BR, QRect(), kUnmix);
        QVERIFY2(r.roi, qPrintable(r.reason));
        // A corner without calibration (all zeros) still finds it on the camera channels.
        QVERIFY(findAutoRoi(frame, Corner::BR, QRect(), UnmixMatrix{}).roi);
        const double sigma = sim::sigmaPixels(0.5);
        QVERIFY(QRect(0, 0, 1920, 1200).contains(*r.roi));
        QCOMPARE(r.roi->right(), 1919);
        QCOMPARE(r.roi->bottom(), 1199);
        QVERIFY(r.roi->left() <= 1900 - 4.5 * sigma && r.roi->top() <= 1170 - 4.5 * sigma);

        // No light at all, noisy background: no region and a reason.
        beams[1].power = 0;
        h = hf::head(beams, 2.0, 6.0);
        r = findAutoRoi(wholeFrame(h, 20000), Corner::BR, QRect(100, 100, 300, 300));
        QVERIFY(!r.roi);
        QVERIFY(!r.moved);
        QCOMPARE(r.reason, QStringLiteral("Auto ROI: no beam found in the bottom-right quarter of "
                                          "the image"));
        // An image too small to search, and an empty one, are not a crash.
        QVERIFY(!findAutoRoi(QImage(8, 8, QImage::Format_RGB888), Corner::TL, QRect()).roi);
        QVERIFY(!findAutoRoi(QImage(), std::nullopt, QRect()).roi);
    }

    void keepsStillOnNoiseAndFollowsAMove() {
        sim::HeadConfig h = scene(sim::LandingCorner::BR, 1920, 1200);
        const double e = exposureFor(h);
        const AutoRoiResult first = findAutoRoi(wholeFrame(h, e, 1), Corner::BR, QRect(), kUnmix);
        QVERIFY(first.roi);
        for (uint64_t seed = 2; seed < 6; ++seed) {
            const AutoRoiResult again =
                findAutoRoi(wholeFrame(h, e, seed), Corner::BR, *first.roi, kUnmix);
            QVERIFY(!again.moved);
            QCOMPARE(*again.roi, *first.roi);
        }
        // A few pixels of drift keep the region; 80 pixels move it onto the beams again.
        for (auto& b : h.beams)
            b.offsetX += 0.03;
        QVERIFY(!findAutoRoi(wholeFrame(h, e), Corner::BR, *first.roi, kUnmix).moved);
        for (auto& b : h.beams)
            b.offsetX += 0.8;
        const AutoRoiResult moved = findAutoRoi(wholeFrame(h, e), Corner::BR, *first.roi, kUnmix);
        QVERIFY(moved.moved);
        checkHolds(*moved.roi, h);
        // A region holding the beams but far larger than needed is replaced.
        const AutoRoiResult shrunk =
            findAutoRoi(wholeFrame(h, e), Corner::BR, QRect(700, 0, 1200, 1200), kUnmix);
        QVERIFY(shrunk.moved);
        checkHolds(*shrunk.roi, h);
    }
};

QTEST_GUILESS_MAIN(TstAutoRoi)
#include "tst_autoroi.moc"
