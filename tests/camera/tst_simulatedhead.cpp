// The simulated sensor head at the camera-SDK level: nodes and their correction, pixel
// formats, counted grabbing, faults, the device list and the rendered physics.

#include <QElapsedTimer>
#include <QSettings>
#include <QThread>
#include <QtTest>

#include <cmath>
#include <thread>

#include "BuiltInTransports.h"
#include "CameraTestKit.h"
#include "TestSupport.h"
#include "sdk/Sdk.h"
#include "simulated/SimulatedHead.h"
#include "simulated/SimulatedTransport.h"

using namespace lumetra::sim;
using sdk::Correction;
using sdk::SdkError;

namespace {

std::unique_ptr<sdk::Device> openDevice(const HeadConfig& head) {
    auto d = createSimulatedDevice(head);
    d->open();
    return d;
}

HeadConfig quietHead() {
    HeadConfig h;
    h.noise = 0.0;
    h.maxFps = 0.0;
    return h;
}

// The raw frame as the program displays it (turned by 180 degrees).
QImage displayed(const std::vector<uint8_t>& raw, int w, int h) {
    QImage img(raw.data(), w, h, 3 * w, QImage::Format_RGB888);
    return img.mirrored(true, true);
}

SdkError::Kind kindOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const SdkError& e) {
        return e.kind();
    }
    return SdkError::Kind::Generic;
}

} // namespace

class TestSimulatedHead : public QObject {
    Q_OBJECT
private slots:
    // Real-camera discovery would broadcast beyond loopback; these tests use the
    // simulated head only.
    void initTestCase() { qputenv("LUMETRA_ARAVIS_DISCOVERY", "0"); }
    void pixelTypeHelpers();
    void nodeRangesAndCorrection();
    void windowLimitsAndLocks();
    void absentAndRefusedNodes();
    void pixelFormatsWithPadding();
    void countedSingleGrab();
    void stopWakesWaitingRetrieval();
    void framePeriodFollowsMaxFpsAndExposure();
    void injectedFaults();
    void temperatureModel();
    void deviceListFromFile();
    void badKeysAndOversizedFiles();
    void spotCentresPerCorner_data();
    void spotCentresPerCorner();
    void widthAndTotalSignal();
    void saturationAndNoise();
    void factoryInitialiseTerminate();
};

void TestSimulatedHead::pixelTypeHelpers() {
    QCOMPARE(sdk::bitDepth(sdk::PixelType::Mono8), 8);
    QCOMPARE(sdk::bitDepth(sdk::PixelType::RGB8), 24);
    QCOMPARE(sdk::bitDepth(sdk::PixelType::Undefined), 0);
    for (auto t : {sdk::PixelType::Mono8, sdk::PixelType::RGB8, sdk::PixelType::BGR8,
                   sdk::PixelType::BayerRG8})
        QCOMPARE(sdk::pixelTypeFromName(sdk::pixelTypeName(t)), t);
    QCOMPARE(sdk::pixelTypeFromName("RGB8Packed"), sdk::PixelType::RGB8);
    QCOMPARE(sdk::pixelTypeFromName("YUV422"), sdk::PixelType::Undefined);
}

void TestSimulatedHead::nodeRangesAndCorrection() {
    auto d = openDevice(quietHead());
    sdk::NodeMap& n = d->nodeMap();
    QCOMPARE(n.integerValue("Width"), int64_t(1920));
    QCOMPARE(n.integerMin("Width"), int64_t(16));
    QCOMPARE(n.integerIncrement("Width"), int64_t(4));

    // Too wide is brought to the sensor width.
    QVERIFY(n.trySetInteger("Width", 5000, Correction::Nearest));
    QCOMPARE(n.integerValue("Width"), int64_t(1920));
    QVERIFY(n.trySetInteger("Height", 5000, Correction::Nearest));
    QCOMPARE(n.integerValue("Height"), int64_t(1200));
    // Off the grid: the nearest step from the minimum.
    QVERIFY(n.trySetInteger("Width", 1001, Correction::Nearest));
    QCOMPARE(n.integerValue("Width"), int64_t(1000));
    QVERIFY(n.trySetInteger("Width", 1003, Correction::Nearest));
    QCOMPARE(n.integerValue("Width"), int64_t(1004));
    QVERIFY(n.trySetInteger("Width", -7, Correction::Nearest));
    QCOMPARE(n.integerValue("Width"), int64_t(16));
    // Without correction an invalid value is refused and nothing changes.
    QVERIFY(!n.trySetInteger("Width", 1001, Correction::None));
    QVERIFY(!n.trySetInteger("Width", 5000, Correction::None));
    QCOMPARE(n.integerValue("Width"), int64_t(16));
    QVERIFY(n.trySetInteger("Width", 1000, Correction::None));

    QCOMPARE(n.floatMin("ExposureTime"), 20.0);
    QCOMPARE(n.floatMax("ExposureTime"), 1000000.0);
    QVERIFY(n.trySetFloat("ExposureTime", 1.0, Correction::Nearest));
    QCOMPARE(n.floatValue("ExposureTime"), 20.0);
    QVERIFY(n.trySetFloat("ExposureTime", 5e6, Correction::Nearest));
    QCOMPARE(n.floatValue("ExposureTime"), 1000000.0);
    QVERIFY(!n.trySetFloat("ExposureTime", 5.0, Correction::None));
    QVERIFY(!n.trySetFloat("ExposureTime", std::nan(""), Correction::Nearest));
    QCOMPARE(n.floatValue("ExposureTime"), 1000000.0);
    QVERIFY(n.trySetFloat("ExposureTime", 1234.5, Correction::Nearest));
    QCOMPARE(n.floatValue("ExposureTime"), 1234.5);
}

void TestSimulatedHead::windowLimitsAndLocks() {
    auto d = openDevice(quietHead());
    sdk::NodeMap& n = d->nodeMap();
    QVERIFY(n.trySetInteger("Width", 1000, Correction::Nearest));
    QCOMPARE(n.integerMax("OffsetX"), int64_t(920));
    QVERIFY(n.trySetInteger("OffsetX", 5000, Correction::Nearest));
    QCOMPARE(n.integerValue("OffsetX"), int64_t(920));
    // With the offset at its maximum the window cannot grow beyond the sensor.
    QVERIFY(n.trySetInteger("Width", 5000, Correction::Nearest));
    QCOMPARE(n.integerValue("Width"), int64_t(1000));
    QVERIFY(n.trySetInteger("OffsetX", 0, Correction::Nearest));
    QVERIFY(n.trySetInteger("Width", 5000, Correction::Nearest));
    QCOMPARE(n.integerValue("Width"), int64_t(1920));

    // Size and format are locked while grabbing, the exposure is not.
    d->startGrabbing();
    QVERIFY(!n.trySetInteger("Width", 640, Correction::Nearest));
    QVERIFY(!n.trySetEnumSymbol("PixelFormat", "Mono8"));
    QVERIFY(n.trySetFloat("ExposureTime", 500.0, Correction::Nearest));
    d->stopGrabbing();
    QVERIFY(n.trySetInteger("Width", 640, Correction::Nearest));
    QVERIFY(n.trySetEnumSymbol("PixelFormat", "Mono8"));
}

void TestSimulatedHead::absentAndRefusedNodes() {
    auto d = createSimulatedDevice(quietHead());
    QCOMPARE(kindOf([&] { d->nodeMap(); }), SdkError::Kind::AccessDenied);
    d->open();
    sdk::NodeMap& n = d->nodeMap();
    QVERIFY(!n.hasNode("NoSuchNode"));
    QCOMPARE(kindOf([&] { n.integerValue("NoSuchNode"); }), SdkError::Kind::NotAvailable);
    QVERIFY(!n.trySetInteger("NoSuchNode", 1, Correction::Nearest));
    QVERIFY(!n.trySetFloat("NoSuchNode", 1.0, Correction::Nearest));
    QVERIFY(!n.trySetEnumSymbol("NoSuchNode", "Off"));
    QVERIFY(!n.trySetFloat("DeviceTemperature", 20.0, Correction::Nearest)); // read-only
    QCOMPARE(kindOf([&] { n.setEnumSymbol("PixelFormat", "YUV422"); }),
             SdkError::Kind::InvalidValue);
    QCOMPARE(n.enumSymbol("PixelFormat"), std::string("RGB8"));
    // The program writes this selector symbol; the head does not know it and keeps its own.
    QVERIFY(!n.trySetEnumSymbol("DeviceTemperatureSelector", "DeviceTemperatureSelector_FpgaCore"));
    QVERIFY(n.trySetEnumSymbol("BslColorSpace", "Off"));
    QCOMPARE(n.enumSymbol("BslColorSpace"), std::string("Off"));
    QCOMPARE(n.enumSymbol("ExposureAuto"), std::string("Off"));
    QVERIFY(n.trySetFloat("BslHue", 0.0, Correction::Nearest));
    QVERIFY(n.trySetFloat("BslSaturation", 1.0, Correction::Nearest));
    QVERIFY(n.trySetFloat("BslBrightness", 0.0, Correction::Nearest));
}

void TestSimulatedHead::pixelFormatsWithPadding() {
    HeadConfig h = quietHead();
    h.monoPaddingX = 6;
    auto d = openDevice(h);
    sdk::NodeMap& n = d->nodeMap();
    QCOMPARE(n.enumSymbols("PixelFormat"), (std::vector<std::string>{"RGB8", "Mono8"}));
    QVERIFY(n.trySetInteger("Width", 64, Correction::Nearest));
    QVERIFY(n.trySetInteger("Height", 32, Correction::Nearest));

    d->startGrabbing(1);
    auto rgb = d->retrieveResult(1000);
    QVERIFY(rgb->grabSucceeded());
    QCOMPARE(rgb->pixelType, sdk::PixelType::RGB8);
    QCOMPARE(rgb->paddingX, 0u);
    QCOMPARE(rgb->bufferSize, size_t(64 * 3 * 32));

    QVERIFY(!d->isGrabbing()); // the counted grab is over, so the format may change
    QVERIFY(n.trySetEnumSymbol("PixelFormat", "Mono8"));
    h.background = 7;
    auto padded = openDevice(h);
    sdk::NodeMap& pn = padded->nodeMap();
    QVERIFY(pn.trySetEnumSymbol("PixelFormat", "Mono8"));
    QVERIFY(pn.trySetInteger("Width", 64, Correction::Nearest));
    QVERIFY(pn.trySetInteger("Height", 32, Correction::Nearest));
    padded->startGrabbing(1);
    auto mono = padded->retrieveResult(1000);
    QVERIFY(mono->grabSucceeded());
    QCOMPARE(mono->pixelType, sdk::PixelType::Mono8);
    QCOMPARE(mono->width, 64u);
    QCOMPARE(mono->paddingX, 6u);
    QCOMPARE(mono->bufferSize, size_t((64 + 6) * 32));
    for (int y = 0; y < 32; ++y) {
        const uint8_t* line = mono->buffer + y * 70;
        QCOMPARE(int(line[0]), 7); // background far from the beams
        QCOMPARE(int(line[63]), 7);
        for (int p = 64; p < 70; ++p)
            QCOMPARE(int(line[p]), 0); // padding stays empty
    }

    // A head that only offers RGB8 refuses Mono8.
    HeadConfig rgbOnly = quietHead();
    rgbOnly.pixelFormats = {"RGB8"};
    auto r = openDevice(rgbOnly);
    QVERIFY(!r->nodeMap().trySetEnumSymbol("PixelFormat", "Mono8"));
}

void TestSimulatedHead::countedSingleGrab() {
    auto d = openDevice(quietHead());
    d->startGrabbing(1);
    QVERIFY(d->isGrabbing());
    auto first = d->retrieveResult(1000);
    QVERIFY(first->grabSucceeded());
    QVERIFY(!d->isGrabbing());
    auto second = d->retrieveResult(1000);
    QVERIFY(!second->isValid());
    // The first image's buffer stays intact while it is held, across further grabs.
    const std::vector<uint8_t> copy(first->buffer, first->buffer + first->bufferSize);
    d->startGrabbing(3);
    for (int i = 0; i < 3; ++i)
        QVERIFY(d->retrieveResult(1000)->grabSucceeded());
    QVERIFY(!d->isGrabbing());
    QVERIFY(std::equal(copy.begin(), copy.end(), first->buffer));
    // Starting twice is refused.
    d->startGrabbing();
    QCOMPARE(kindOf([&] { d->startGrabbing(); }), SdkError::Kind::AccessDenied);
}

void TestSimulatedHead::stopWakesWaitingRetrieval() {
    HeadConfig h = quietHead();
    h.maxFps = 0.2; // a frame every 5 s
    auto d = openDevice(h);
    d->startGrabbing();
    QVERIFY(d->retrieveResult(1000)->grabSucceeded()); // the first frame comes at once
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        d->stopGrabbing();
    });
    QElapsedTimer t;
    t.start();
    auto r = d->retrieveResult(4000);
    stopper.join();
    QVERIFY(!r->isValid());
    QVERIFY2(t.elapsed() < 3500, "stopGrabbing did not wake the retrieval");
    // A frame that cannot come within the time-out is a time-out.
    d->startGrabbing();
    d->retrieveResult(1000);
    QCOMPARE(kindOf([&] { d->retrieveResult(50); }), SdkError::Kind::Timeout);
}

void TestSimulatedHead::framePeriodFollowsMaxFpsAndExposure() {
    HeadConfig h = quietHead();
    h.maxFps = 20; // 50 ms
    auto d = openDevice(h);
    QVERIFY(d->nodeMap().trySetFloat("ExposureTime", 100, Correction::Nearest));
    d->startGrabbing();
    QElapsedTimer t;
    // The first frame also prepares the scene; time the frames after it.
    d->retrieveResult(1000);
    d->retrieveResult(1000);
    t.start();
    for (int i = 0; i < 4; ++i)
        QVERIFY(d->retrieveResult(1000)->grabSucceeded());
    QVERIFY2(t.elapsed() >= 190, qPrintable(QString::number(t.elapsed())));
    d->stopGrabbing();

    // A long exposure sets the period when it is longer than 1/maxFps.
    QVERIFY(d->nodeMap().trySetFloat("ExposureTime", 100000, Correction::Nearest));
    d->startGrabbing();
    d->retrieveResult(1000);
    d->retrieveResult(1000);
    t.restart();
    for (int i = 0; i < 2; ++i)
        QVERIFY(d->retrieveResult(1000)->grabSucceeded());
    QVERIFY2(t.elapsed() >= 190, qPrintable(QString::number(t.elapsed())));
}

void TestSimulatedHead::injectedFaults() {
    HeadConfig h = quietHead();
    h.failEvery = 3;
    auto d = openDevice(h);
    d->startGrabbing();
    QList<bool> ok;
    for (int i = 0; i < 6; ++i) {
        auto r = d->retrieveResult(1000);
        QVERIFY(r->isValid());
        ok << r->grabSucceeded();
    }
    QCOMPARE(ok, (QList<bool>{true, true, false, true, true, false}));

    h = quietHead();
    h.timeoutEvery = 2;
    d = openDevice(h);
    d->startGrabbing();
    QVERIFY(d->retrieveResult(100)->grabSucceeded());
    QElapsedTimer t;
    t.start();
    QCOMPARE(kindOf([&] { d->retrieveResult(100); }), SdkError::Kind::Timeout);
    QVERIFY(t.elapsed() >= 90); // a time-out takes its time
    QVERIFY(d->retrieveResult(100)->grabSucceeded());

    h = quietHead();
    h.unplugAfter = 2;
    d = openDevice(h);
    d->startGrabbing();
    QVERIFY(d->retrieveResult(100)->grabSucceeded());
    QVERIFY(d->retrieveResult(100)->grabSucceeded());
    QCOMPARE(kindOf([&] { d->retrieveResult(100); }), SdkError::Kind::DeviceLost);
    QVERIFY(!d->isGrabbing());
    QCOMPARE(kindOf([&] { d->nodeMap(); }), SdkError::Kind::DeviceLost);
    QCOMPARE(kindOf([&] { d->startGrabbing(); }), SdkError::Kind::DeviceLost);
    d->close(); // closing a lost device is always possible
    QVERIFY(!d->isOpen());
}

void TestSimulatedHead::temperatureModel() {
    HeadConfig h = quietHead();
    h.temperature = 50.0;
    h.temperatureRise = 600.0; // 10 degrees per second
    auto d = openDevice(h);
    QElapsedTimer t;
    t.start();
    const double t1 = d->nodeMap().floatValue("DeviceTemperature");
    const qint64 e1 = t.nsecsElapsed();
    QThread::msleep(200);
    const qint64 e2a = t.nsecsElapsed();
    const double t2 = d->nodeMap().floatValue("DeviceTemperature");
    const qint64 e2b = t.nsecsElapsed();
    QVERIFY(t1 >= 50.0 && t1 < 50.5);
    // The rise matches the time between the reads.
    const double lo = 10.0 * (e2a - e1) / 1e9, hi = 10.0 * (e2b) / 1e9 + 1e-6;
    QVERIFY2(t2 - t1 >= lo - 1e-6 && t2 - t1 <= hi,
             qPrintable(QStringLiteral("%1 not in [%2, %3]").arg(t2 - t1).arg(lo).arg(hi)));
}

void TestSimulatedHead::deviceListFromFile() {
    testsupport::TempWorkDir dir;
    SimulatedTransport transport;
    QVERIFY(transport.enumerate().empty()); // no file, no head

    camtest::writeHeads({{QStringLiteral("A"), {{"serial", "111"}, {"name", "Left head"}}},
                         {QStringLiteral("B"), {{"unplugAfter", "1"}, {"maxFps", "0"}}}});
    auto list = transport.enumerate();
    QCOMPARE(list.size(), size_t(2));
    QCOMPARE(list[0].serialNumber, std::string("111"));
    QCOMPARE(list[0].friendlyName, std::string("Left head (111)"));
    QCOMPARE(list[1].serialNumber, std::string("40400001")); // default
    QCOMPARE(list[1].friendlyName, std::string("Simulated sensor head (40400001)"));
    QCOMPARE(list[1].transport, std::string("simulated"));

    // Keys of the file reach the device.
    auto b = transport.createDevice(list[1]);
    QVERIFY(b);
    b->open();
    QCOMPARE(b->nodeMap().integerValue("Width"), int64_t(1920));
    b->startGrabbing();
    QVERIFY(b->retrieveResult(1000)->grabSucceeded());
    QCOMPARE(kindOf([&] { b->retrieveResult(1000); }), SdkError::Kind::DeviceLost);
    // An unplugged head leaves the list.
    list = transport.enumerate();
    QCOMPARE(list.size(), size_t(1));
    QCOMPARE(list[0].serialNumber, std::string("111"));

    // A head no longer in the file cannot be created.
    sdk::DeviceInfo gone = list[0];
    gone.deviceId = "Z";
    QVERIFY(!transport.createDevice(gone));

    // Values in the file, in the forms people write them.
    QSettings s(QStringLiteral("simulated-head.ini"), QSettings::IniFormat);
    s.beginGroup(QStringLiteral("C"));
    s.setValue(QStringLiteral("R_divergence"), QStringLiteral("1.2 0.9"));
    s.setValue(QStringLiteral("G_offset"),
               QStringList{QStringLiteral("0.1"), QStringLiteral("-0.2")});
    s.setValue(QStringLiteral("corner"), QStringLiteral("tl"));
    s.setValue(QStringLiteral("pixelFormats"), QStringLiteral("Mono8"));
    s.setValue(QStringLiteral("B_power"), QStringLiteral("oops"));
    s.endGroup();
    s.sync();
    const HeadConfig c = HeadConfig::fromSettings(s, QStringLiteral("C"));
    QCOMPARE(c.beams[0].divergenceX, 1.2);
    QCOMPARE(c.beams[0].divergenceY, 0.9);
    QCOMPARE(c.beams[1].offsetX, 0.1);
    QCOMPARE(c.beams[1].offsetY, -0.2);
    QCOMPARE(c.corner, LandingCorner::TL);
    QCOMPARE(c.pixelFormats, std::vector<std::string>{"Mono8"});
    QCOMPARE(c.beams[2].power, 1.0); // unreadable: default
    QCOMPARE(c.beams[2].signal, 43.0);
    QCOMPARE(c.beams[0].response[0], 0.978);
}

void TestSimulatedHead::badKeysAndOversizedFiles() {
    testsupport::TempWorkDir dir;
    SimulatedTransport transport;
    // Out of range or not a number: the default, and one log line per key at opening.
    camtest::writeHead({{"maxFps", "-1"},
                        {"sensorWidth", "1000000"},
                        {"monoPaddingX", "9e9"},
                        {"noise", "lots"},
                        {"sensorHeight", "480"},
                        {"unplugAfter", "-3"}});
    auto list = transport.enumerate();
    QCOMPARE(list.size(), size_t(1));
    auto d = transport.createDevice(list[0]);
    d->open();
    QCOMPARE(d->nodeMap().integerValue("Width"), int64_t(1920));
    QCOMPARE(d->nodeMap().integerValue("Height"), int64_t(480));
    QCOMPARE(camtest::logCount("Simulated head [Head]: maxFps=-1 refused, default 60 used"), 1);
    QCOMPARE(camtest::logCount("sensorWidth=1000000 refused, default 1920 used"), 1);
    QCOMPARE(camtest::logCount("monoPaddingX=9e9 refused, default 0 used"), 1);
    QCOMPARE(camtest::logCount("noise=lots refused, default 0.5 used"), 1);
    QCOMPARE(camtest::logCount("unplugAfter=-3 refused, default 0 used"), 1);
    QCOMPARE(camtest::logCount(" refused, "), 5);
    // A refused rate is the default 60 frames a second, not "as fast as it can".
    QVERIFY(d->nodeMap().trySetFloat("ExposureTime", 100.0, Correction::Nearest));
    d->startGrabbing();
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < 7; ++i)
        QVERIFY(d->retrieveResult(1000)->grabSucceeded());
    QVERIFY2(t.elapsed() >= 95, qPrintable(QString::number(t.elapsed())));
    d.reset();

    // More heads than a bench has: the first 16.
    QMap<QString, QMap<QString, QString>> many;
    for (int i = 0; i < 20; ++i)
        many.insert(QStringLiteral("H%1").arg(i, 2, 10, QLatin1Char('0')),
                    {{"serial", QString::number(100 + i)}});
    camtest::writeHeads(many);
    QCOMPARE(transport.enumerate().size(), size_t(kMaxHeads));

    // A file beyond the size limit gives no head and says why, once.
    camtest::writeHead({{"serial", "7"}});
    {
        QFile f(QStringLiteral("simulated-head.ini"));
        QVERIFY(f.open(QIODevice::Append));
        const QByteArray comment = "; " + QByteArray(1023, 'x') + "\n";
        for (qint64 n = 0; n <= kMaxHeadFileBytes / comment.size(); ++n)
            f.write(comment);
    }
    const sdk::DeviceInfo seven = list[0];
    QVERIFY(transport.enumerate().empty());
    QVERIFY(transport.enumerate().empty());
    QVERIFY(!transport.createDevice(seven));
    QCOMPARE(camtest::logCount("simulated-head.ini is larger than 4 MB"), 1);
}

void TestSimulatedHead::spotCentresPerCorner_data() {
    QTest::addColumn<int>("corner");
    QTest::addColumn<double>("cx");
    QTest::addColumn<double>("cy");
    QTest::addColumn<int>("dir");
    QTest::newRow("TL") << int(LandingCorner::TL) << 480.0 << 300.0 << -1;
    QTest::newRow("TR") << int(LandingCorner::TR) << 1440.0 << 300.0 << 1;
    QTest::newRow("BL") << int(LandingCorner::BL) << 480.0 << 900.0 << -1;
    QTest::newRow("BR") << int(LandingCorner::BR) << 1440.0 << 900.0 << 1;
}

void TestSimulatedHead::spotCentresPerCorner() {
    QFETCH(int, corner);
    QFETCH(double, cx);
    QFETCH(double, cy);
    QFETCH(int, dir);
    const int dirY = cy < 600 ? -1 : 1;
    HeadConfig h = quietHead();
    h.corner = LandingCorner(corner);
    h.beams[1].offsetX = 0.2; // 20 px to the right
    h.beams[1].offsetY = 0.1; // 10 px up
    FrameLayout layout{0, 0, 1920, 1200, false, 0, 2000.0};
    // One beam at a time, so each centre is measured without the others.
    for (int ch = 0; ch < 3; ++ch) {
        HeadConfig one = h;
        for (int k = 0; k < 3; ++k)
            if (k != ch)
                one.beams[k].power = 0.0;
        Renderer r(one);
        const QImage shown = displayed(r.cleanFrame(layout), 1920, 1200);
        const auto s = camtest::spotStats(shown, ch == 0 ? 0 : ch == 1 ? 1 : 2);
        const double shift = ch == 0 ? 5.0 : ch == 2 ? -5.0 : 0.0;
        const double ex = cx + (ch == 1 ? 20.0 : 0.0) + shift * dir;
        const double ey = cy - (ch == 1 ? 10.0 : 0.0) + shift * dirY;
        QVERIFY2(std::abs(s.cx - ex) < 0.2 && std::abs(s.cy - ey) < 0.2,
                 qPrintable(QStringLiteral("channel %1: (%2, %3) expected (%4, %5)")
                                .arg(ch)
                                .arg(s.cx)
                                .arg(s.cy)
                                .arg(ex)
                                .arg(ey)));
        const QPointF model = beamCentreOnDisplay(one, ch);
        QVERIFY(std::abs(model.x() - ex) < 1e-9 && std::abs(model.y() - ey) < 1e-9);
    }
}

void TestSimulatedHead::widthAndTotalSignal() {
    HeadConfig h = quietHead();
    h.beams[0].power = 0.0;
    h.beams[2].power = 0.0;
    h.beams[1].power = 0.5;
    h.beams[1].divergenceX = 0.8;
    h.beams[1].divergenceY = 0.4;
    Renderer r(h);
    FrameLayout layout{0, 0, 1920, 1200, false, 0, 20000.0};
    const QImage shown = displayed(r.cleanFrame(layout), 1920, 1200);
    const auto g = camtest::spotStats(shown, 1);
    // FWHM = 2.3548 sigma; 0.8 mrad = 80 px.
    QVERIFY2(std::abs(g.sx * 2.35482 - 80.0) < 1.0, qPrintable(QString::number(g.sx * 2.35482)));
    QVERIFY2(std::abs(g.sy * 2.35482 - 40.0) < 1.0, qPrintable(QString::number(g.sy * 2.35482)));
    // Total counts = signal x power x exposure, spread by the response.
    const double total = 59.0 * 0.5 * 20000.0;
    QVERIFY2(std::abs(g.sum - total * 0.956) < 0.01 * total, qPrintable(QString::number(g.sum)));
    const auto red = camtest::spotStats(shown, 0);
    const auto blue = camtest::spotStats(shown, 2);
    QVERIFY(std::abs(red.sum - total * 0.074) < 0.03 * total * 0.074 + 200);
    QVERIFY(std::abs(blue.sum - total * 0.286) < 0.02 * total * 0.286 + 200);
}

void TestSimulatedHead::saturationAndNoise() {
    HeadConfig h = quietHead();
    h.background = 10.0;
    Renderer bright(h);
    FrameLayout layout{0, 0, 1920, 1200, false, 0, 1e6};
    const QImage shown = displayed(bright.cleanFrame(layout), 1920, 1200);
    QCOMPARE(int(shown.constScanLine(900)[3 * 1440 + 1]), 255); // green centre clamps
    QCOMPARE(int(shown.constScanLine(5)[3 * 5]), 10);           // background elsewhere

    // Noise has the configured spread around the clean value and changes per frame.
    h.noise = 2.0;
    Renderer noisy(h, 7);
    FrameLayout small{0, 0, 256, 128, false, 0, 1000.0};
    std::vector<uint8_t> a(small.frameBytes()), b(small.frameBytes());
    noisy.render(small, a.data());
    noisy.render(small, b.data());
    QVERIFY(a != b);
    double sum = 0, sq = 0;
    for (uint8_t v : a) {
        sum += v - 10.0;
        sq += (v - 10.0) * (v - 10.0);
    }
    const double mean = sum / a.size(), sd = std::sqrt(sq / a.size() - mean * mean);
    QVERIFY2(std::abs(mean) < 0.1 && std::abs(sd - 2.0) < 0.2,
             qPrintable(QStringLiteral("mean %1 sd %2").arg(mean).arg(sd)));

    // Around the beams as well: every pixel of a window over the spots is its clean value
    // plus that same noise (the background away from them is rendered another way).
    FrameLayout spots{0, 172, 1920, 256, false, 0, 30000.0};
    const std::vector<uint8_t> clean = noisy.cleanFrame(spots);
    a.resize(spots.frameBytes());
    noisy.render(spots, a.data());
    sum = sq = 0;
    int lit = 0, n = 0;
    for (size_t i = 0; i < clean.size(); ++i) {
        if (clean[i] < 10 || clean[i] > 240)
            continue; // clamped
        lit += clean[i] > 40;
        const double d = double(a[i]) - clean[i];
        sum += d;
        sq += d * d;
        ++n;
    }
    const double spotMean = sum / n, spotSd = std::sqrt(sq / n - spotMean * spotMean);
    QVERIFY2(lit > 1000 && std::abs(spotMean) < 0.1 && std::abs(spotSd - 2.0) < 0.2,
             qPrintable(QStringLiteral("lit %1 mean %2 sd %3").arg(lit).arg(spotMean).arg(spotSd)));

    // The noise comes before the converter, as on a sensor: a black level between two counts
    // reads as itself on average, not as the count it would round to.
    h.background = 2.3;
    h.noise = 0.7;
    Renderer dithered(h, 9);
    a.resize(small.frameBytes());
    dithered.render(small, a.data());
    sum = 0;
    for (uint8_t v : a)
        sum += v;
    QVERIFY2(std::abs(sum / a.size() - 2.3) < 0.02, qPrintable(QString::number(sum / a.size())));
}

void TestSimulatedHead::factoryInitialiseTerminate() {
    testsupport::TempWorkDir dir;
    camtest::writeHead({{"serial", "42"}});
    // Every transport of the build is there once registered, made in that order.
    std::vector<std::string> builtIn{"simulated"};
#ifdef LUMETRA_HAVE_ARAVIS
    builtIn.push_back("aravis");
#endif
    lumetra::camera::registerBuiltInTransports();
    lumetra::camera::registerBuiltInTransports();
    QCOMPARE(sdk::registeredTransports(), builtIn);
    sdk::initialize();
    sdk::initialize(); // nested, as two camera objects would do
    QVERIFY(sdk::isInitialized());
    std::vector<std::string> made;
    for (const auto& t : sdk::TlFactory::instance().transports())
        made.push_back(t->name());
    QCOMPARE(made, builtIn);
    sdk::DeviceInfoList list;
    const int n = sdk::TlFactory::instance().enumerateDevices(list);
    QVERIFY(n >= 1);
    QCOMPARE(list[0].serialNumber, std::string("42"));
    QCOMPARE(sdk::TlFactory::instance().enumerateDevices(list, true), n);
    QCOMPARE(int(list.size()), 2 * n);
    auto dev = sdk::TlFactory::instance().createDevice(list[0]);
    QVERIFY(dev);
    sdk::DeviceInfo unknown;
    unknown.transport = "simulated";
    unknown.deviceId = "nope";
    QCOMPARE(kindOf([&] { sdk::TlFactory::instance().createDevice(unknown); }),
             SdkError::Kind::NotAvailable);
    sdk::terminate();
    QVERIFY(sdk::isInitialized());
    sdk::terminate();
    QVERIFY(!sdk::isInitialized());
    QCOMPARE(sdk::TlFactory::instance().enumerateDevices(list), 0);
}

QTEST_GUILESS_MAIN(TestSimulatedHead)
#include "tst_simulatedhead.moc"
