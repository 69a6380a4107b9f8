// The camera object on the simulated head: device list, opening and closing, parameters,
// the grab cycle with its request handshake, faults, and the temperature read.

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <array>
#include <atomic>
#include <cmath>
#include <deque>
#include <memory>
#include <random>
#include <thread>

#include <sys/resource.h>

#include "BasCam.h"
#include "CameraTestKit.h"
#include "FrameConvert.h"
#include "FrameMemory.h"
#include "TestSupport.h"
#include "sdk/Sdk.h"
#include "simulated/SimulatedHead.h"

using testsupport::waitUntil;

namespace {

// One camera object in a private working directory, with its worker thread running.
struct Bench {
    testsupport::TempWorkDir dir;
    camtest::DebugCapture debug;
    QObject receiver; // lives in the test (GUI) thread, like the window
    std::unique_ptr<BasCam> cam;
    QList<QImage> images;
    QStringList lost; // names from CameraLost, received in this thread

    explicit Bench(const QMap<QString, QString>& head = {}, bool writeFile = true) {
        if (writeFile)
            camtest::writeHead(head);
        cam = std::make_unique<BasCam>();
        QObject::connect(cam.get(), &BasCam::ImageIsAvailable, &receiver,
                         [this](const QImage& img) { images.append(img); });
        QObject::connect(cam.get(), &BasCam::CameraLost, &receiver,
                         [this](const QString& name) { lost.append(name); });
        QThread* gui = QThread::currentThread();
        waitUntil([&] { return cam->thread() != gui; }, 2000);
    }
};

QMap<QString, QString> quiet(QMap<QString, QString> keys = {}) {
    if (!keys.contains("noise"))
        keys.insert("noise", "0");
    return keys;
}

} // namespace

class TestBasCam : public QObject {
    Q_OBJECT
private slots:
    // Real-camera discovery would broadcast beyond loopback; these tests use the
    // simulated head only.
    void initTestCase() { qputenv("LUMETRA_ARAVIS_DISCOVERY", "0"); }
    void withoutCamera();
    void deviceList();
    void openTwiceAndPlaceholder();
    void startupSettingsAndParameters();
    void grabOneGivesTurnedImage();
    void grabOneMonoWithPadding();
    void frameFormatDecidesConversion_data();
    void frameFormatDecidesConversion();
    void conversionOfEveryWidthIntoRecycledImages();
    void bayerOfALinearSceneComesBack();
    void freedFramesKeepTheirMemory();
    void bayerChosenWhenRgbIsLinkLimited();
    void grabOneSavesWhenAsked();
    void handshakeOneImagePerRequest();
    void backToBackWithoutHandshake();
    void secondStartKeepsOneGrabCycle();
    void stopWhileWaitingForRequest();
    void frameRateOverAWindowNeverAboveTheLimit();
    void failedGrabRetriesWithoutPublishing();
    void timeoutIsLoggedAndStreamGoesOn();
    void unplugMidStream();
    void silentCameraIsLostSingleTimeoutsAreNot();
    void temperatureRead();
    void nodeAccessFromOtherThreadsWhileStreaming();
    void closeAndDeleteWhileStreaming();
};

void TestBasCam::withoutCamera() {
    Bench b({}, false);
    BasCam& c = *b.cam;
    QVERIFY(c.deviceNames().isEmpty());
    QVERIFY(!c.isOpen());
    QVERIFY(!c.isGrabbing());
    QCOMPARE(c.serialNumber(), 0);
    QCOMPARE(c.exposure(), -1.0f);
    QCOMPARE(c.exposure(1), -1.0f);
    QCOMPARE(c.width(), -1);
    QCOMPARE(c.height(2), -1);
    QCOMPARE(c.offsetX(), -1);
    QCOMPARE(c.offsetY(), -1);
    QCOMPARE(c.pixelFormat(), QString());
    QCOMPARE(c.setExposure(1000), -1);
    QCOMPARE(c.setWidth(100), -1);
    QCOMPARE(c.setPixelFormat("RGB8"), -1);
    QCOMPARE(c.temperature(), -100.0f);
    QCOMPARE(c.startGrabbing(), -1);
    QCOMPARE(c.stopGrabbing(), -1);
    QCOMPARE(c.grabOne(false), -1);
    QCOMPARE(b.debug.count("Cam closed or already grabbing"), 1);
    QVERIFY(c.lastImage().isNull());
    QCOMPARE(c.frameRate(), 1.0f);
    QCOMPARE(c.openCamera(0), -1); // nothing to open
    QCOMPARE(c.openCamera(-1), 0);
}

void TestBasCam::deviceList() {
    testsupport::TempWorkDir dir;
    camtest::writeHeads({{"H1", {{"serial", "11"}, {"name", "Bench A"}}},
                         {"H2", {{"serial", "22"}, {"name", "Bench B"}}}});
    BasCam cam;
    QCOMPARE(cam.deviceNames(), (QStringList{"Bench A (11)", "Bench B (22)"}));
    QCOMPARE(cam.openCamera(1), 0);
    QCOMPARE(cam.serialNumber(), 22);
    // An index beyond the list leaves the open camera alone.
    QCOMPARE(cam.openCamera(2), -1);
    QVERIFY(cam.isOpen());
    QCOMPARE(cam.serialNumber(), 22);
    // A serial that is no decimal number reads as 0.
    camtest::writeHead({{"serial", "AB12"}});
    QCOMPARE(cam.deviceNames().size(), 1);
    QCOMPARE(cam.openCamera(0), 0);
    QVERIFY(cam.isOpen());
    QCOMPARE(cam.serialNumber(), 0);
    QCOMPARE(cam.serialText(), QStringLiteral("AB12"));

    // The list the user saw decides what an index opens, whatever the camera list holds
    // by the time of opening: a head plugged in front does not shift it, and a head gone
    // since is not replaced by the one now at its place.
    camtest::writeHeads({{"H1", {{"serial", "11"}, {"name", "Bench A"}}},
                         {"H2", {{"serial", "22"}, {"name", "Bench B"}}}});
    const QList<CameraEntry> seen = cam.cameraList();
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[1].serial, QStringLiteral("22"));
    QCOMPARE(seen[1].transport, QStringLiteral("simulated"));
    camtest::writeHeads({{"H0", {{"serial", "5"}, {"name", "Bench Z"}}},
                         {"H1", {{"serial", "11"}, {"name", "Bench A"}}},
                         {"H2", {{"serial", "22"}, {"name", "Bench B"}}}});
    QCOMPARE(cam.openCamera(1), 0);
    QCOMPARE(cam.serialNumber(), 22);
    QCOMPARE(cam.currentCamera(), seen[1]);
    camtest::writeHeads({{"H0", {{"serial", "5"}, {"name", "Bench Z"}}},
                         {"H2", {{"serial", "22"}, {"name", "Bench B"}}}});
    QCOMPARE(cam.openCamera(0), -1); // Bench A is gone; Bench B stays open
    QCOMPARE(cam.serialNumber(), 22);
    QCOMPARE(cam.openCamera(2), -1); // beyond the list the user saw
    QCOMPARE(cam.serialNumber(), 22);
    // By serial, of any or of one transport.
    QCOMPARE(cam.openCameraBySerial("11"), -1);
    QCOMPARE(cam.serialNumber(), 22);
    QCOMPARE(cam.openCameraBySerial("5", "aravis"), -1);
    QCOMPARE(cam.openCameraBySerial("5", "simulated"), 0);
    QCOMPARE(cam.currentCamera().name, QStringLiteral("Bench Z (5)"));
    QCOMPARE(cam.openCamera(-1), 0);
    QVERIFY(cam.currentCamera().isNull());
}

void TestBasCam::openTwiceAndPlaceholder() {
    Bench b;
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    QVERIFY(c.isOpen());
    QCOMPARE(c.serialNumber(), 40400001);
    QCOMPARE(b.debug.count("Camera closed"), 0);
    QCOMPARE(c.openCamera(0), 0);
    QVERIFY(c.isOpen());
    QCOMPARE(b.debug.count("Camera closed"), 1); // the first instance went first
    const QStringList opened = camtest::logLines().filter("Cam opened: ");
    QCOMPARE(opened.size(), 2);
    for (const QString& line : opened)
        QVERIFY2(line.endsWith(" > Cam opened: Simulated sensor head (40400001) | W=1920 "
                               "H=1200 | PosX=0 PosY=0"),
                 qPrintable(line));
    // The placeholder closes the camera.
    QCOMPARE(c.openCamera(-1), 0);
    QVERIFY(!c.isOpen());
    QCOMPARE(c.serialNumber(), 0);
    QCOMPARE(b.debug.count("Camera closed"), 2);
    QCOMPARE(c.width(), -1);
    QCOMPARE(camtest::logCount("Cam opened: "), 2);
}

void TestBasCam::startupSettingsAndParameters() {
    Bench b;
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    const QStringList msgs = b.debug.messages();
    QVERIFY(msgs.contains("PixelFormat \"RGB8\""));
    QVERIFY(msgs.contains("ExpoAuto false 10000"));
    QVERIFY(msgs.contains("AutoGain false 0"));
    QVERIFY2(msgs.contains("AutoWB false"), qPrintable(msgs.join('|'))); // head starts with it on
    QCOMPARE(c.pixelFormat(), QString("RGB8"));

    QCOMPARE(c.setWidth(5000), 0);
    QCOMPARE(c.width(), 1920);
    QCOMPARE(c.width(2), 1920);
    QCOMPARE(c.width(1), 16);
    QCOMPARE(c.setHeight(5000), 0);
    QCOMPARE(c.height(), 1200);
    QCOMPARE(c.setExposure(1.0f), 0);
    QCOMPARE(c.exposure(), 20.0f);
    QCOMPARE(c.exposure(1), 20.0f);
    QCOMPARE(c.exposure(2), 1000000.0f);
    QCOMPARE(c.setExposure(12345.0f), 0);
    QCOMPARE(c.exposure(), 12345.0f);
    QCOMPARE(c.setWidth(1001), 0);
    QCOMPARE(c.width(), 1000);
    QCOMPARE(c.setOffsetX(5000), 0);
    QCOMPARE(c.offsetX(), 920);
    QCOMPARE(c.setOffsetY(3), 0); // the full height leaves no room
    QCOMPARE(c.offsetY(), 0);
    QCOMPARE(c.setHeight(1000), 0);
    QCOMPARE(c.setOffsetY(3), 0);
    QCOMPARE(c.offsetY(), 4);
    QCOMPARE(c.setPixelFormat("Bayer12"), -1);
    QCOMPARE(c.pixelFormat(), QString("RGB8"));
    QCOMPARE(c.setPixelFormat("Mono8"), 0);
    QCOMPARE(c.pixelFormat(), QString("Mono8"));
}

void TestBasCam::grabOneGivesTurnedImage() {
    // Green and red beams only, noise off: centres can be checked to a fraction of a pixel.
    Bench b(quiet({{"B_power", "0"}, {"G_offset", "\"0.3,0.2\""}, {"background", "3"}}));
    BasCam& c = *b.cam;
    c.setWaitForRequest(true);
    QCOMPARE(c.openCamera(0), 0);
    // A streamed image still being processed elsewhere: the request is down.
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.images.size() == 1; }, 3000));
    QCOMPARE(c.stopGrabbing(), 0);
    QVERIFY(!c.isImageRequested());
    c.setRotation(180);
    QElapsedTimer t;
    t.start();
    QCOMPARE(c.grabOne(false), 0);
    QVERIFY(t.elapsed() < 2500); // never stuck on the pending request
    QVERIFY(!c.isGrabbing());
    const QImage img = c.lastImage();
    QCOMPARE(img.size(), QSize(1920, 1200));
    QCOMPARE(img.format(), QImage::Format_RGB888);
    // Green beam at the BR centre plus its offset (x right, y up): (1470, 880); the red
    // beam 5 px further towards the corner: (1445, 905). Each camera channel sees both
    // through the head's response, so its centre is their signal-weighted mean.
    const double gG = 59 * 0.956, rG = 29 * 0.209, gR = 59 * 0.074, rR = 29 * 0.978;
    const QPointF greenCentre((gG * 1470 + rG * 1445) / (gG + rG),
                              (gG * 880 + rG * 905) / (gG + rG));
    const QPointF redCentre((gR * 1470 + rR * 1445) / (gR + rR), (gR * 880 + rR * 905) / (gR + rR));
    const auto g = camtest::spotStats(img, 1, 3.0);
    const auto r = camtest::spotStats(img, 0, 3.0);
    QVERIFY2(std::abs(g.cx - greenCentre.x()) < 0.3 && std::abs(g.cy - greenCentre.y()) < 0.3,
             qPrintable(QStringLiteral("%1 %2").arg(g.cx).arg(g.cy)));
    QVERIFY2(std::abs(r.cx - redCentre.x()) < 0.3 && std::abs(r.cy - redCentre.y()) < 0.3,
             qPrintable(QStringLiteral("%1 %2").arg(r.cx).arg(r.cy)));
    QCOMPARE(int(img.pixelColor(10, 10).green()), 3);

    // Without the turn the same spot sits where the sensor sees it.
    c.setRotation(0);
    QCOMPARE(c.grabOne(false), 0);
    const auto raw = camtest::spotStats(c.lastImage(), 1, 3.0);
    QVERIFY(std::abs(raw.cx - (1919.0 - greenCentre.x())) < 0.3);
    QVERIFY(std::abs(raw.cy - (1199.0 - greenCentre.y())) < 0.3);
    // The turned image is the raw one upside down and mirrored.
    QCOMPARE(c.lastImage().mirrored(true, true), img);
}

void TestBasCam::grabOneMonoWithPadding() {
    Bench b(quiet({{"monoPaddingX", "5"}, {"background", "9"}}));
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setPixelFormat("Mono8"), 0);
    QCOMPARE(c.setWidth(601), 0); // 600: with 5 bytes padding, lines are not 4-aligned
    c.setRotation(180);
    QCOMPARE(c.grabOne(false), 0);
    const QImage img = c.lastImage();
    QCOMPARE(img.size(), QSize(600, 1200));
    QCOMPARE(img.format(), QImage::Format_RGB888);
    for (int y = 0; y < img.height(); y += 7) {
        const uchar* line = img.constScanLine(y);
        for (int x = 0; x < img.width(); ++x) {
            QCOMPARE(line[3 * x], line[3 * x + 1]);
            QCOMPARE(line[3 * x + 1], line[3 * x + 2]);
            QVERIFY(line[3 * x] >= 9); // padding would show as 0 (a sheared image)
        }
    }
    // The spot of the BR corner is beyond this narrow window on the sensor's left edge,
    // which turned is the right part of the display: nothing but background shows.
    QCOMPARE(int(img.pixelColor(300, 600).red()), 9);
}

void TestBasCam::frameFormatDecidesConversion_data() {
    QTest::addColumn<QString>("format");
    QTest::newRow("RGB8 named RGB8Packed") << "RGB8Packed";
    for (const char* bayer : {"BayerRG8", "BayerBG8", "BayerGR8", "BayerGB8"})
        QTest::newRow(bayer) << bayer;
}

// A camera's frames look like those of a plain RGB8 head of the same scene, whatever its
// PixelFormat node calls the format; Bayer frames within what demosaicing costs.
void TestBasCam::frameFormatDecidesConversion() {
    QFETCH(QString, format);
    const QMap<QString, QString> scene = quiet({{"G_offset", "\"0.3,0.2\""},
                                                {"background", "3"},
                                                {"sensorWidth", "640"},
                                                {"sensorHeight", "480"},
                                                {"corner", "TL"},
                                                {"R_divergence", "\"0.5,0.6\""}});
    auto grab = [&](const QMap<QString, QString>& keys) {
        Bench b(keys);
        b.cam->setRotation(180);
        if (b.cam->openCamera(0) != 0 || b.cam->setExposure(20000) != 0 ||
            b.cam->grabOne(false) != 0)
            return std::make_pair(QString(), QImage());
        return std::make_pair(b.cam->pixelFormat(), b.cam->lastImage());
    };
    const auto truth = grab(scene);
    QCOMPARE(truth.first, QStringLiteral("RGB8"));
    QMap<QString, QString> other = scene;
    other.insert("pixelFormats", format);
    const auto seen = grab(other);
    QCOMPARE(seen.first, format);
    const QImage &a = truth.second, &b = seen.second;
    QCOMPARE(b.size(), a.size());
    const sdk::PixelType type = sdk::pixelTypeFromName(format.toStdString());
    if (!sdk::isBayer(type)) {
        QCOMPARE(b, a);
        return;
    }
    // A pixel's own colour is the sample itself. A missing one is a mean of neighbours at
    // most one pixel away on each axis: rounding (half a count from each side) plus the
    // curvature of the scene, at most peak / sigma^2 for a Gaussian spot.
    const int w = a.width(), h = a.height();
    const double sigma = lumetra::sim::sigmaPixels(0.5);
    int peak = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < 3 * w; ++x)
            peak = std::max(peak, int(a.constScanLine(y)[x]));
    QVERIFY(peak > 100); // a scene worth comparing
    const double bound = 1.0 + peak / (sigma * sigma);
    double worst = 0;
    for (int y = 0; y < h; ++y) {
        const uchar *ta = a.constScanLine(y), *tb = b.constScanLine(y);
        for (int x = 0; x < w; ++x) {
            // The display is turned: its pixel (x, y) is sensor pixel (w-1-x, h-1-y).
            const int own = sdk::bayerChannel(type, w - 1 - x, h - 1 - y);
            for (int c = 0; c < 3; ++c) {
                const int d = std::abs(int(ta[3 * x + c]) - int(tb[3 * x + c]));
                if (c == own && d != 0)
                    QFAIL(qPrintable(QStringLiteral("sample changed at %1,%2").arg(x).arg(y)));
                worst = std::max(worst, double(d));
            }
        }
    }
    QVERIFY2(worst <= bound, qPrintable(QStringLiteral("%1 > %2").arg(worst).arg(bound)));
    // Spots where the RGB image has them: a tenth of a pixel is far below what the
    // alignment readings resolve.
    for (int c = 0; c < 3; ++c) {
        const auto sa = camtest::spotStats(a, c, 3.0), sb = camtest::spotStats(b, c, 3.0);
        QVERIFY2(std::abs(sa.cx - sb.cx) < 0.1 && std::abs(sa.cy - sb.cy) < 0.1 &&
                     std::abs(sa.sum - sb.sum) < 1e-3 * sa.sum,
                 qPrintable(QStringLiteral("channel %1: %2,%3 vs %4,%5 sum %6 vs %7")
                                .arg(c)
                                .arg(sa.cx)
                                .arg(sa.cy)
                                .arg(sb.cx)
                                .arg(sb.cy)
                                .arg(sa.sum)
                                .arg(sb.sum)));
    }
}

// Bilinear demosaic the slow way: each missing colour is the mean, rounded to nearest and
// halves to even, of the nearest neighbours carrying it (the sides, else the diagonals),
// with the lines and columns outside the frame mirrored about its edge.
static std::array<int, 3> bayerReference(const std::vector<uint8_t>& raw, size_t stride, int w,
                                         int h, sdk::PixelType type, int x, int y) {
    auto mirror = [](int v, int n) { return v < 0 ? 1 : v >= n ? n - 2 : v; };
    std::array<int, 3> rgb{};
    for (int ch = 0; ch < 3; ++ch) {
        for (int dist : {0, 1, 2}) { // centre, sides, diagonals
            int sum = 0, n = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int xx = mirror(x + dx, w), yy = mirror(y + dy, h);
                    if (std::abs(dx) + std::abs(dy) == dist &&
                        sdk::bayerChannel(type, xx, yy) == ch) {
                        sum += raw[size_t(yy) * stride + size_t(xx)];
                        ++n;
                    }
                }
            if (n > 0) {
                rgb[size_t(ch)] = int(std::nearbyint(double(sum) / n));
                break;
            }
        }
    }
    return rgb;
}

// Random frames of every width the vector paths split unevenly, with line padding: the
// turned image is the plain one turned, each pixel keeps the samples the camera sent (and
// a Bayer pixel's other colours are its neighbours' mean), and an image's memory is used again only
// once no copy of it is left.
void TestBasCam::conversionOfEveryWidthIntoRecycledImages() {
    using lumetra::camera::RawFrame;
    lumetra::camera::ImagePool pool(2);
    std::mt19937 rng(7);
    for (sdk::PixelType type : {sdk::PixelType::RGB8, sdk::PixelType::BGR8, sdk::PixelType::Mono8,
                                sdk::PixelType::BayerRG8, sdk::PixelType::BayerBG8,
                                sdk::PixelType::BayerGR8, sdk::PixelType::BayerGB8})
        for (int w : {2, 3, 4, 5, 6, 7, 8, 9, 11, 12, 13, 16, 17, 18, 26, 31, 40, 66, 101})
            for (int h : {2, 3, 5}) {
                const int px = sdk::bitDepth(type) / 8;
                const size_t stride = size_t(w * px + 3);
                std::vector<uint8_t> raw(stride * size_t(h));
                for (uint8_t& b : raw)
                    b = uint8_t(rng());
                RawFrame f{raw.data(), raw.size(), w, h, 3, type};
                const QImage plain = lumetra::camera::toRgbImage(f, false, &pool);
                const QImage turned = lumetra::camera::toRgbImage(f, true, &pool);
                const QString where = QStringLiteral("%1 %2 x %3")
                                          .arg(QString::fromStdString(sdk::pixelTypeName(type)))
                                          .arg(w)
                                          .arg(h);
                QVERIFY2(plain.size() == QSize(w, h) && turned == plain.mirrored(true, true),
                         qPrintable(where));
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const uint8_t* s = raw.data() + size_t(y) * stride + size_t(x * px);
                        const uint8_t* d = plain.constScanLine(y) + 3 * x;
                        bool kept;
                        if (sdk::isBayer(type))
                            kept = bayerReference(raw, stride, w, h, type, x, y) ==
                                   std::array<int, 3>{d[0], d[1], d[2]};
                        else if (type == sdk::PixelType::Mono8)
                            kept = d[0] == s[0] && d[1] == s[0] && d[2] == s[0];
                        else if (type == sdk::PixelType::BGR8)
                            kept = d[0] == s[2] && d[1] == s[1] && d[2] == s[0];
                        else
                            kept = d[0] == s[0] && d[1] == s[1] && d[2] == s[2];
                        QVERIFY2(kept,
                                 qPrintable(where + QStringLiteral(" at %1,%2").arg(x).arg(y)));
                    }
            }
    // Memory comes back when the last copy of an image goes, not before.
    std::vector<uint8_t> raw(64 * 48 * 3, 9);
    const RawFrame f{raw.data(), raw.size(), 64, 48, 0, sdk::PixelType::RGB8};
    QImage a = lumetra::camera::toRgbImage(f, true, &pool);
    QImage copyOfA = a;
    const uchar* memoryOfA = a.constBits();
    a = QImage();
    const QImage b = lumetra::camera::toRgbImage(f, true, &pool);
    QVERIFY(b.constBits() != memoryOfA);
    copyOfA = QImage();
    const QImage c = lumetra::camera::toRgbImage(f, true, &pool);
    if (lumetra::camera::ImagePool::recycles())
        QCOMPARE(c.constBits(), memoryOfA);
    QCOMPARE(c, b);
}

// A scene whose colours change linearly over the sensor comes back exactly from its Bayer
// samples wherever a pixel has neighbours on every side (the mean of opposite neighbours of
// a linear field is its value between them), turned or not: a truth that rests on no
// second implementation of the demosaic.
void TestBasCam::bayerOfALinearSceneComesBack() {
    std::mt19937 rng(11);
    for (sdk::PixelType type : {sdk::PixelType::BayerRG8, sdk::PixelType::BayerBG8,
                                sdk::PixelType::BayerGR8, sdk::PixelType::BayerGB8})
        for (int w : {64, 97, 130, 199})
            for (int round = 0; round < 4; ++round) {
                const int h = 7;
                int perColumn[3], perLine[3], base[3];
                for (int c = 0; c < 3; ++c) {
                    perColumn[c] = int(rng() % 3) - 1;
                    perLine[c] = int(rng() % 9) - 4;
                    base[c] = 128 - perColumn[c] * w / 2 - perLine[c] * h / 2;
                }
                auto field = [&](int c, int x, int y) {
                    return base[c] + perColumn[c] * x + perLine[c] * y;
                };
                std::vector<uint8_t> raw(size_t(w) * size_t(h));
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x)
                        raw[size_t(y * w + x)] =
                            uint8_t(field(sdk::bayerChannel(type, x, y), x, y));
                const lumetra::camera::RawFrame f{raw.data(), raw.size(), w, h, 0, type};
                for (bool turn : {false, true}) {
                    const QImage image = lumetra::camera::toRgbImage(f, turn);
                    QCOMPARE(image.size(), QSize(w, h));
                    for (int y = 1; y + 1 < h; ++y)
                        for (int x = 1; x + 1 < w; ++x) {
                            const uint8_t* d = image.constScanLine(turn ? h - 1 - y : y) +
                                               3 * (turn ? w - 1 - x : x);
                            for (int c = 0; c < 3; ++c)
                                QVERIFY2(d[c] == field(c, x, y),
                                         qPrintable(QStringLiteral("%1 %2 wide, turned %3: "
                                                                   "channel %4 at %5,%6")
                                                        .arg(QString::fromStdString(
                                                            sdk::pixelTypeName(type)))
                                                        .arg(w)
                                                        .arg(turn)
                                                        .arg(c)
                                                        .arg(x)
                                                        .arg(y)));
                        }
                }
            }
}

void TestBasCam::freedFramesKeepTheirMemory() {
#if !defined(__GLIBC__) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("the sanitizers bring their own allocator; other C libraries keep their own ways");
#else
    // A stream's thread makes full frames while a varying number of older ones are still
    // held elsewhere. Once the program has asked to keep freed frame memory, new frames
    // reuse it: a fresh page costs a fault, and the C library's defaults took fresh pages
    // for about every fourth frame of this pattern.
    lumetra::keepFreedFrameMemory();
    constexpr int kFrames = 160, kWarmUp = 40;
    long freshPages = -1;
    std::thread stream([&] {
        const auto faults = [] {
            rusage r{};
            getrusage(RUSAGE_THREAD, &r);
            return long(r.ru_minflt);
        };
        std::deque<QImage> held;
        long before = 0;
        for (int i = 0; i < kFrames; ++i) {
            if (i == kWarmUp)
                before = faults();
            held.emplace_back(1920, 1200, QImage::Format_RGB888);
            held.back().fill(QColor(i % 256, 0, 0));
            while (held.size() > size_t(2 + i * 7 % 10))
                held.pop_front();
        }
        freshPages = faults() - before;
    });
    stream.join();
    // The thread may draw from an arena earlier tests' threads left carved up: a first fit
    // into it can take one frame's fresh pages. The defaults take about thirty frames' here.
    const long pagesPerFrame = 1920L * 1200 * 3 / 4096;
    QVERIFY2(
        freshPages >= 0 && freshPages < 3 * pagesPerFrame,
        qPrintable(
            QStringLiteral("%1 fresh pages in %2 frames").arg(freshPages).arg(kFrames - kWarmUp)));
#endif
}

void TestBasCam::bayerChosenWhenRgbIsLinkLimited() {
    // 640 x 480: 0.92 MB per RGB8 frame, 0.31 MB in Bayer.
    for (const QString& link : {QStringLiteral("0"), QStringLiteral("100")}) {
        Bench b(quiet({{"sensorWidth", "640"},
                       {"sensorHeight", "480"},
                       {"maxFps", "0"},
                       {"pixelFormats", "\"Mono8,BayerGB8,RGB8\""},
                       {"linkBandwidth", link}}));
        QCOMPARE(b.cam->openCamera(0), 0);
        QCOMPARE(b.cam->pixelFormat(), link == "0" ? QStringLiteral("RGB8") : "BayerGB8");
        QCOMPARE(b.cam->exposure(), 10000.0f);
    }
}

void TestBasCam::grabOneSavesWhenAsked() {
    Bench b(quiet());
    QCOMPARE(b.cam->openCamera(0), 0);
    QCOMPARE(b.cam->setWidth(64), 0);
    QCOMPARE(b.cam->setHeight(48), 0);
    QCOMPARE(b.cam->grabOne(true), 0);
    const QStringList files = QDir("algoImg").entryList({"*.bmp"}, QDir::Files);
    QCOMPARE(files.size(), 1);
    QCOMPARE(files.first().size(), int(QString("yyMMdd_hhmmsszzz.bmp").size()));
    QCOMPARE(QImage("algoImg/" + files.first()).size(), QSize(64, 48));
}

void TestBasCam::handshakeOneImagePerRequest() {
    Bench b(quiet({{"maxFps", "0"}}));
    BasCam& c = *b.cam;
    c.setWaitForRequest(true);
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setExposure(100), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(c.isGrabbing());
    QVERIFY(waitUntil([&] { return b.images.size() == 1; }, 3000));
    QTest::qWait(300); // no request, no image
    QCOMPARE(b.images.size(), 1);
    QVERIFY(!c.isImageRequested());
    for (int i = 2; i <= 5; ++i) {
        c.requestImage();
        QVERIFY(waitUntil([&] { return b.images.size() == i; }, 3000));
        QTest::qWait(50);
        QCOMPARE(b.images.size(), i);
    }
    for (const QImage& img : b.images)
        QCOMPARE(img.size(), QSize(1920, 1200));
    QCOMPARE(c.stopGrabbing(), 0);
    QVERIFY(!c.isGrabbing());
}

// The window starts the stream and then checks its action, which starts it again: the
// second start must neither fail the stream nor add a second cycle, which would wait for a
// request in the worker thread in front of the image that brings it.
void TestBasCam::secondStartKeepsOneGrabCycle() {
    Bench b(quiet({{"maxFps", "0"}}));
    BasCam& c = *b.cam;
    c.setWaitForRequest(true);
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(320), 0);
    QCOMPARE(c.setHeight(240), 0);
    QCOMPARE(c.setExposure(100), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(c.isGrabbing());
    for (int i = 1; i <= 20; ++i) {
        QVERIFY2(waitUntil([&] { return b.images.size() == i; }, 3000),
                 qPrintable(QString::number(i)));
        c.requestImage();
    }
    QTest::qWait(50);
    QVERIFY(b.images.size() <= 21); // still one image per request
    QCOMPARE(c.stopGrabbing(), 0);
}

void TestBasCam::backToBackWithoutHandshake() {
    Bench b(quiet({{"maxFps", "0"}}));
    BasCam& c = *b.cam;
    QVERIFY(!c.waitsForRequest());
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(320), 0);
    QCOMPARE(c.setHeight(240), 0);
    QCOMPARE(c.setExposure(1000), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.images.size() >= 10; }, 5000));
    QVERIFY(c.isImageRequested()); // never cleared in this mode
    QCOMPARE(c.stopGrabbing(), 0);
    QCOMPARE(c.startGrabbing(), 0); // a stream can be started again
    const int before = int(b.images.size());
    QVERIFY(waitUntil([&] { return b.images.size() >= before + 3; }, 5000));
    QCOMPARE(c.stopGrabbing(), 0);
}

void TestBasCam::stopWhileWaitingForRequest() {
    Bench b(quiet({{"maxFps", "0"}}));
    BasCam& c = *b.cam;
    c.setWaitForRequest(true);
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.images.size() == 1; }, 3000));
    QTest::qWait(100); // the next step now waits for the request
    QCOMPARE(b.debug.count("Grabbing stopped"), 0);
    QElapsedTimer t;
    t.start();
    QCOMPARE(c.stopGrabbing(), 0);
    QVERIFY(t.elapsed() < 1000);
    QVERIFY(waitUntil([&] { return b.debug.count("Grabbing stopped") == 1; }, 2000));
    c.requestImage(); // too late: the chain has ended
    QTest::qWait(200);
    QCOMPARE(b.images.size(), 1);
    QVERIFY(!c.isGrabbing());
}

void TestBasCam::frameRateOverAWindowNeverAboveTheLimit() {
    Bench b(quiet({{"maxFps", "60"}}));
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(64), 0);
    QCOMPARE(c.setHeight(64), 0);
    QCOMPARE(c.setExposure(100), 0);
    QCOMPARE(c.grabOne(false), 0);
    QCOMPARE(c.frameRate(), 1.0f); // one image is no rate yet
    QList<float> rates;
    QObject::connect(&c, &BasCam::ImageIsAvailable, &b.receiver,
                     [&] { rates.append(c.frameRate()); });
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return rates.size() >= 40; }, 10000));
    QCOMPARE(c.stopGrabbing(), 0);
    // Frames 16.7 ms apart: one interval read in whole milliseconds would say 62.
    for (float fps : rates)
        QVERIFY2(fps <= 60.0f, qPrintable(QString::number(fps)));
    QVERIFY2(rates.last() >= 30.0f, qPrintable(QString::number(rates.last())));
}

void TestBasCam::failedGrabRetriesWithoutPublishing() {
    Bench b(quiet({{"maxFps", "0"}, {"failEvery", "2"}}));
    BasCam& c = *b.cam;
    c.setWaitForRequest(true);
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(320), 0);
    QCOMPARE(c.setHeight(240), 0);
    QCOMPARE(c.startGrabbing(), 0);
    for (int i = 1; i <= 4; ++i) {
        QVERIFY(waitUntil([&] { return b.images.size() == i; }, 3000));
        c.requestImage();
    }
    QCOMPARE(c.stopGrabbing(), 0);
    for (const QImage& img : b.images)
        QVERIFY(!img.isNull());
    QCOMPARE(camtest::logCount("Grab Timeout exception"), 0);

    // A single grab that fails leaves no image; the next one delivers.
    Bench one(quiet({{"failEvery", "1"}}));
    QCOMPARE(one.cam->openCamera(0), 0);
    QCOMPARE(one.cam->grabOne(false), 0);
    QVERIFY(one.cam->lastImage().isNull());
    QVERIFY(one.cam->isImageRequested());
    QTest::qWait(100);
    QVERIFY(one.images.isEmpty());
}

void TestBasCam::timeoutIsLoggedAndStreamGoesOn() {
    Bench b(quiet({{"maxFps", "0"}, {"timeoutEvery", "2"}}));
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(64), 0);
    QCOMPARE(c.setHeight(64), 0);
    QCOMPARE(c.startGrabbing(), 0);
    // Retrieval 2 times out after the 2 s of the grab step; 3 delivers again. A time-out
    // between frames is no loss.
    QVERIFY(waitUntil([&] { return b.images.size() >= 2; }, 6000));
    QCOMPARE(camtest::logCount("Grab Timeout exception"), 1);
    QCOMPARE(b.lost.size(), 0);
    QCOMPARE(c.stopGrabbing(), 0);
}

void TestBasCam::unplugMidStream() {
    Bench b(quiet({{"maxFps", "0"}, {"unplugAfter", "3"}}));
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(320), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.lost.size() == 1; }, 3000));
    QCOMPARE(b.lost.first(), QStringLiteral("Simulated sensor head (40400001)"));
    QCOMPARE(b.images.size(), 3);
    QVERIFY(c.isLost());
    QVERIFY(!c.isOpen());
    QVERIFY(!c.isGrabbing());
    // Everything keeps answering at once, with the values of an absent camera, and the
    // loss is said once.
    QCOMPARE(c.temperature(), -100.0f);
    QCOMPARE(c.width(), -1);
    QCOMPARE(c.exposure(), -1.0f);
    QCOMPARE(c.setExposure(100), -1);
    QCOMPARE(c.stopGrabbing(), -1);
    QCOMPARE(c.grabOne(false), -1);
    QTest::qWait(100);
    QCOMPARE(b.lost.size(), 1);
    QCOMPARE(b.images.size(), 3);
    QCOMPARE(camtest::logCount("Camera lost: Simulated sensor head (40400001)"), 1);
    QVERIFY(c.deviceNames().isEmpty());
    QCOMPARE(c.openCamera(0), -1);
    QCOMPARE(c.openCamera(-1), 0);
    QVERIFY(!c.isLost());
    // Plugged again (the file written anew): it opens and streams.
    QTest::qWait(20);
    camtest::writeHead(quiet({{"maxFps", "0"}}));
    QCOMPARE(c.deviceNames().size(), 1);
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(320), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.images.size() >= 6; }, 3000));
    QCOMPARE(b.lost.size(), 1);
}

void TestBasCam::silentCameraIsLostSingleTimeoutsAreNot() {
    // Every retrieval times out: the camera is given up within 3 s, with one loss line.
    Bench b(quiet({{"maxFps", "0"}, {"timeoutEvery", "1"}}));
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    QElapsedTimer t;
    t.start();
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.lost.size() == 1; }, 5000));
    QVERIFY2(t.elapsed() < 3000 * testsupport::timeScale(),
             qPrintable(QString::number(t.elapsed())));
    QVERIFY(!c.isGrabbing());
    QTest::qWait(500);
    QCOMPARE(camtest::logCount("Camera lost: "), 1);
    QCOMPARE(camtest::logCount("Grab Timeout exception"), 2);
    // The head itself is still there: it comes back in the list and opens.
    QCOMPARE(c.deviceNames().size(), 1);
    QCOMPARE(c.openCamera(0), 0);
    QVERIFY(c.isOpen());
}

void TestBasCam::temperatureRead() {
    Bench b(quiet({{"temperature", "74.1"}}));
    QCOMPARE(b.cam->openCamera(0), 0);
    QCOMPARE(b.cam->temperature(), 74.1f);
    QCOMPARE(b.cam->openCamera(-1), 0);
    QCOMPARE(b.cam->temperature(), -100.0f);
}

// Temperature reads and exposure writes from two threads while the camera streams: each
// read sees a value that was written, the stream goes on, and (under the thread
// sanitizer) no access races. A retrieval that waits for a late frame holds no lock a
// node access needs.
void TestBasCam::nodeAccessFromOtherThreadsWhileStreaming() {
    Bench b(quiet({{"maxFps", "0"}, {"temperature", "51.5"}}));
    BasCam& c = *b.cam;
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.setWidth(320), 0);
    QCOMPARE(c.setHeight(240), 0);
    QCOMPARE(c.setExposure(100), 0);
    QCOMPARE(c.startGrabbing(), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0}, rounds{0};
    auto round = [&](float mine) {
        if (c.temperature() != 51.5f)
            ++badReads;
        if (c.setExposure(mine) != 0)
            ++badReads;
        const float e = c.exposure();
        if (e != 100.0f && e != 200.0f)
            ++badReads;
        if (c.width() != 320 || c.pixelFormat() != QStringLiteral("RGB8"))
            ++badReads;
        ++rounds;
    };
    std::thread other([&] {
        while (!stop)
            round(200.0f);
    });
    const int before = int(b.images.size());
    QElapsedTimer t;
    t.start();
    while ((t.elapsed() < 1500 || b.images.size() < before + 20) && t.elapsed() < 20000) {
        round(100.0f);
        QCoreApplication::processEvents();
    }
    stop = true;
    other.join();
    QCOMPARE(badReads.load(), 0);
    QVERIFY2(b.images.size() >= before + 20, qPrintable(QString::number(b.images.size())));
    QVERIFY(rounds > 40);
    QCOMPARE(c.stopGrabbing(), 0);

    // Every retrieval of this head waits its full 2 s for a frame that never comes.
    Bench late(quiet({{"timeoutEvery", "1"}, {"temperature", "51.5"}}));
    QCOMPARE(late.cam->openCamera(0), 0);
    QCOMPARE(late.cam->startGrabbing(), 0);
    QTest::qWait(300);
    QElapsedTimer read;
    read.start();
    QCOMPARE(late.cam->temperature(), 51.5f);
    QCOMPARE(late.cam->setExposure(300), 0);
    QVERIFY2(read.elapsed() < 1000, qPrintable(QString::number(read.elapsed())));
    QCOMPARE(late.cam->stopGrabbing(), 0);
}

void TestBasCam::closeAndDeleteWhileStreaming() {
    // Reopening and deleting never wait forever on a step and never free the camera
    // under it (the thread sanitizer build checks the latter).
    Bench b(quiet({{"maxFps", "0"}}));
    BasCam& c = *b.cam;
    c.setWaitForRequest(true);
    QCOMPARE(c.openCamera(0), 0);
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.images.size() == 1; }, 3000));
    QCOMPARE(c.openCamera(0), 0); // step was waiting for a request
    QVERIFY(c.isOpen());
    QVERIFY(!c.isGrabbing());
    c.setWaitForRequest(false);
    c.requestImage(); // the last image of the first stream was never answered
    QCOMPARE(c.startGrabbing(), 0);
    QVERIFY(waitUntil([&] { return b.images.size() >= 3; }, 3000));
    QElapsedTimer t;
    t.start();
    b.cam.reset(); // while images flow
    QVERIFY(t.elapsed() < 3000);
    QTest::qWait(50);
}

QTEST_GUILESS_MAIN(TestBasCam)
#include "tst_bascam.moc"
