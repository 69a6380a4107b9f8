// The Aravis transport against the GigE fake camera on loopback, inside a private
// network namespace: discovery, node access with name mapping and correction, frames
// and their pattern, buffer handling, stopping, time-outs and a camera that dies.

#include <QElapsedTimer>
#include <QTest>

#include <chrono>
#include <future>
#include <thread>

#include "FakeCamera.h"
#include "aravis/AravisTransport.h"

using aravistest::FakeCamera;
using sdk::SdkError;
using Kind = sdk::SdkError::Kind;

namespace {

const QString kSerial = QStringLiteral("40400123");
const QString kColourSerial = QStringLiteral("40400777");

} // namespace

class TestAravisTransport : public QObject {
    Q_OBJECT

private:
    std::shared_ptr<sdk::Transport> transport = lumetra::aravis::createTransport();
    std::unique_ptr<FakeCamera> fake;

    sdk::DeviceInfo findDevice(const QString& serial) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            for (const sdk::DeviceInfo& info : transport->enumerate())
                if (QString::fromStdString(info.serialNumber) == serial)
                    return info;
            QTest::qWait(100);
        }
        return {};
    }

    std::unique_ptr<sdk::Device> openDevice(const QString& serial) {
        const sdk::DeviceInfo info = findDevice(serial);
        if (info.deviceId.empty())
            return nullptr;
        auto device = transport->createDevice(info);
        device->open();
        return device;
    }

    static void prepareRamp(sdk::NodeMap& nodes, const char* format, int w, int h) {
        QVERIFY(nodes.trySetEnumSymbol("PixelFormat", format));
        QVERIFY(nodes.trySetInteger("Width", w, sdk::Correction::Nearest));
        QVERIFY(nodes.trySetInteger("Height", h, sdk::Correction::Nearest));
        QVERIFY(nodes.trySetFloat("ExposureTime", 10000.0, sdk::Correction::Nearest));
        QVERIFY(nodes.trySetInteger("GainRaw", 0, sdk::Correction::Nearest));
        QVERIFY(nodes.trySetFloat("AcquisitionFrameRate", 200.0, sdk::Correction::Nearest));
    }

private slots:
    void initTestCase() {
        QString why;
        if (!aravistest::inPrivateNetwork(&why))
            QSKIP(qPrintable("needs a private network namespace: " + why));
        QVERIFY(lumetra::aravis::discoveryEnabled());
        fake = std::make_unique<FakeCamera>(kSerial);
        QVERIFY2(fake->start(), qPrintable(fake->output()));
    }

    // Each test finds the plain camera running (the colour test replaces it for a while).
    void init() {
        if (fake && !fake->isRunning())
            QVERIFY2(fake->start(), qPrintable(fake->output()));
    }

    void pureHelpers() {
        using lumetra::aravis::nearestInteger;
        QCOMPARE(nearestInteger(5000, 16, 2048, 4), int64_t(2048));
        QCOMPARE(nearestInteger(5000, 1, 2048, 4), int64_t(2045)); // grid from min
        QCOMPARE(nearestInteger(1001, 16, 2048, 4), int64_t(1000));
        QCOMPARE(nearestInteger(1002, 16, 2048, 4), int64_t(1004)); // halfway goes up
        QCOMPARE(nearestInteger(-7, 16, 2048, 4), int64_t(16));
        QCOMPARE(nearestInteger(33, 0, 100, 0), int64_t(33)); // no increment = 1
        const auto names = lumetra::aravis::nodeNameCandidates("ExposureTimeAbs");
        QCOMPARE(names.size(), size_t(2));
        QCOMPARE(names[1], std::string("ExposureTime"));
        QCOMPARE(lumetra::aravis::nodeNameCandidates("Width").size(), size_t(1));
    }

    void enumerationShowsSerialAndFriendlyName() {
        const sdk::DeviceInfo info = findDevice(kSerial);
        QCOMPARE(QString::fromStdString(info.serialNumber), kSerial);
        QCOMPARE(info.friendlyName, std::string("Aravis Fake (40400123)"));
        QCOMPARE(info.vendorName, std::string("Aravis"));
        QCOMPARE(info.modelName, std::string("Fake"));
        QCOMPARE(info.transport, std::string("aravis"));
        QVERIFY(!info.deviceId.empty());

        sdk::DeviceInfo foreign = info;
        foreign.transport = "simulated";
        QVERIFY_THROWS_EXCEPTION(SdkError, transport->createDevice(foreign));
    }

    void openCloseAndReopen() {
        const sdk::DeviceInfo info = findDevice(kSerial);
        auto device = transport->createDevice(info);
        QVERIFY(!device->isOpen());
        QVERIFY_THROWS_EXCEPTION(SdkError, device->nodeMap());
        device->open();
        QVERIFY(device->isOpen());
        QCOMPARE(device->nodeMap().integerMax("Width"), int64_t(2048));
        device->close();
        QVERIFY(!device->isOpen());
        QVERIFY_THROWS_EXCEPTION(SdkError, device->nodeMap());
        // Closing gave up control of the camera, so a second instance can take it.
        auto second = transport->createDevice(info);
        second->open();
        QVERIFY(second->isOpen());
        device->open();
        QVERIFY(device->isOpen());
    }

    void integerCorrection() {
        auto device = openDevice(kSerial);
        QVERIFY(device);
        sdk::NodeMap& nodes = device->nodeMap();
        QCOMPARE(nodes.integerMin("Width"), int64_t(1));
        const int64_t before = nodes.integerValue("Width");
        QVERIFY(!nodes.trySetInteger("Width", 5000, sdk::Correction::None));
        QCOMPARE(nodes.integerValue("Width"), before);
        QVERIFY(nodes.trySetInteger("Width", 5000, sdk::Correction::Nearest));
        QCOMPARE(nodes.integerValue("Width"), nodes.integerMax("Width"));
        QCOMPARE(nodes.integerValue("Width"), int64_t(2048));
        QVERIFY(nodes.trySetInteger("OffsetX", 0, sdk::Correction::Nearest));
        QCOMPARE(nodes.integerValue("OffsetX"), int64_t(0));
        QVERIFY(nodes.trySetInteger("Height", 300, sdk::Correction::None));
        QCOMPARE(nodes.integerValue("Height"), int64_t(300));
        // Read-only node: refused without an exception.
        QVERIFY(!nodes.trySetInteger("SensorWidth", 100, sdk::Correction::Nearest));
        QCOMPARE(nodes.integerValue("SensorWidth"), int64_t(2048));
    }

    void exposureThroughMappedName() {
        auto device = openDevice(kSerial);
        QVERIFY(device);
        sdk::NodeMap& nodes = device->nodeMap();
        // This camera only knows ExposureTimeAbs.
        QVERIFY(nodes.hasNode("ExposureTime"));
        QVERIFY(nodes.trySetFloat("ExposureTime", 12345.0, sdk::Correction::Nearest));
        QCOMPARE(nodes.floatValue("ExposureTime"), 12345.0);
        QCOMPARE(nodes.floatValue("ExposureTimeAbs"), 12345.0);
        QCOMPARE(nodes.floatMin("ExposureTime"), 10.0);
        QVERIFY(!nodes.trySetFloat("ExposureTime", 1.0, sdk::Correction::None));
        QCOMPARE(nodes.floatValue("ExposureTime"), 12345.0);
        QVERIFY(nodes.trySetFloat("ExposureTime", 1.0, sdk::Correction::Nearest));
        QCOMPARE(nodes.floatValue("ExposureTime"), 10.0);
        // Gain is an integer GainRaw here, still readable as a float.
        QVERIFY(nodes.trySetInteger("GainRaw", 3, sdk::Correction::None));
        QCOMPARE(nodes.floatValue("Gain"), 3.0);
        QCOMPARE(nodes.enumSymbol("GainAuto"), std::string("Off"));
    }

    void absentAndRefusedNodes() {
        auto device = openDevice(kSerial);
        QVERIFY(device);
        sdk::NodeMap& nodes = device->nodeMap();
        for (const char* name :
             {"BslColorSpace", "BslHue", "DeviceTemperature", "BalanceWhiteAuto", "ExposureAuto"})
            QVERIFY2(!nodes.hasNode(name), name);
        try {
            nodes.floatValue("DeviceTemperature");
            QFAIL("no exception for an absent node");
        } catch (const SdkError& e) {
            QCOMPARE(e.kind(), Kind::NotAvailable);
        }
        QVERIFY_THROWS_EXCEPTION(SdkError, nodes.enumSymbol("BslColorSpace"));
        QVERIFY_THROWS_EXCEPTION(SdkError, nodes.integerValue("NoSuchNode"));
        QVERIFY(!nodes.trySetEnumSymbol("BslColorSpace", "Off"));
        QVERIFY(!nodes.trySetFloat("BslHue", 0.0, sdk::Correction::Nearest));
        QVERIFY(!nodes.trySetInteger("NoSuchNode", 1, sdk::Correction::Nearest));

        const std::vector<std::string> formats = nodes.enumSymbols("PixelFormat");
        QVERIFY(std::find(formats.begin(), formats.end(), "Mono8") != formats.end());
        QVERIFY(std::find(formats.begin(), formats.end(), "RGB8") != formats.end());
        QVERIFY(!nodes.trySetEnumSymbol("PixelFormat", "YUV422"));
        try {
            nodes.setEnumSymbol("PixelFormat", "YUV422");
            QFAIL("no exception for a symbol the node lacks");
        } catch (const SdkError& e) {
            QCOMPARE(e.kind(), Kind::InvalidValue);
        }
        nodes.setEnumSymbol("PixelFormat", "RGB8");
        QCOMPARE(nodes.enumSymbol("PixelFormat"), std::string("RGB8"));
    }

    void mono8AndRgb8FramesCarryTheRamp_data() {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("bytesPerPixel");
        QTest::newRow("Mono8") << "Mono8" << 1;
        QTest::newRow("RGB8") << "RGB8" << 3;
    }
    void mono8AndRgb8FramesCarryTheRamp() {
        QFETCH(QString, format);
        QFETCH(int, bytesPerPixel);
        auto device = openDevice(kSerial);
        QVERIFY(device);
        prepareRamp(device->nodeMap(), qPrintable(format), 300, 48);
        device->startGrabbing(0);
        QVERIFY(device->isGrabbing());
        for (int i = 0; i < 3; ++i) {
            sdk::GrabResultPtr r = device->retrieveResult(2000);
            QVERIFY(r->grabSucceeded());
            QCOMPARE(r->width, 300u);
            QCOMPARE(r->height, 48u);
            QCOMPARE(r->pixelType, format == "RGB8" ? sdk::PixelType::RGB8 : sdk::PixelType::Mono8);
            const int stride = 300 * bytesPerPixel + int(r->paddingX);
            QVERIFY(r->bufferSize >= size_t(stride) * 48);
            const QString mismatch =
                bytesPerPixel == 3 ? aravistest::checkColourRamp(r->buffer, 300, 48, stride, 1)
                                   : aravistest::checkMonoRamp(r->buffer, 300, 48, stride, 1);
            QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        }
        device->stopGrabbing();
        QVERIFY(!device->isGrabbing());
    }

    void countedSingleImage() {
        auto device = openDevice(kSerial);
        QVERIFY(device);
        prepareRamp(device->nodeMap(), "Mono8", 32, 32);
        device->startGrabbing(1);
        sdk::GrabResultPtr r = device->retrieveResult(2000);
        QVERIFY(r->grabSucceeded());
        QVERIFY(!device->isGrabbing());
        QVERIFY(!device->retrieveResult(200)->isValid());
        // The held image stays readable after the acquisition ended.
        QVERIFY(aravistest::checkMonoRamp(r->buffer, 32, 32, 32, 1).isEmpty());
        // And grabbing can start again.
        device->startGrabbing(0);
        QVERIFY(device->retrieveResult(2000)->grabSucceeded());
        device->stopGrabbing();
    }

    void heldResultsPinBuffersUntilReleased() {
        auto device = openDevice(kSerial);
        QVERIFY(device);
        prepareRamp(device->nodeMap(), "Mono8", 32, 32);
        device->startGrabbing(0);
        std::vector<sdk::GrabResultPtr> held;
        // Hold results until the stream has no buffer left to fill.
        bool starved = false;
        for (int i = 0; i < 32 && !starved; ++i) {
            try {
                held.push_back(device->retrieveResult(500));
                QVERIFY(held.back()->grabSucceeded());
            } catch (const SdkError& e) {
                QCOMPARE(e.kind(), Kind::Timeout);
                starved = true;
            }
        }
        QVERIFY2(starved, "holding results did not pin the stream's buffers");
        QVERIFY(held.size() >= 2);
        for (const auto& r : held) // each held buffer still holds its own frame
            QVERIFY(aravistest::checkMonoRamp(r->buffer, 32, 32, 32, 1).isEmpty());
        held.clear(); // buffers go back to the stream
        QVERIFY(device->retrieveResult(2000)->grabSucceeded());
        // A result held across stop and close keeps its memory.
        sdk::GrabResultPtr kept = device->retrieveResult(2000);
        device->stopGrabbing();
        device->close();
        QVERIFY(aravistest::checkMonoRamp(kept->buffer, 32, 32, 32, 1).isEmpty());
    }

    void timeoutThrowsAndStopWakesWaitingRetrieve() {
        auto device = openDevice(kSerial);
        QVERIFY(device);
        sdk::NodeMap& nodes = device->nodeMap();
        prepareRamp(nodes, "Mono8", 32, 32);
        // One frame every ten seconds.
        QVERIFY(nodes.trySetInteger("AcquisitionFramePeriod", 10000000, sdk::Correction::Nearest));
        device->startGrabbing(0);
        // Drain the frames already on their way (the stream started before the period took
        // effect, and a loaded machine lets a few gather), then expect a time-out. Twelve
        // drains are 3.6 s of frames at most: a camera that kept its old period fills them.
        bool timedOut = false;
        for (int i = 0; i < 12 && !timedOut; ++i) {
            try {
                device->retrieveResult(300);
            } catch (const SdkError& e) {
                QCOMPARE(e.kind(), Kind::Timeout);
                timedOut = true;
            }
        }
        QVERIFY(timedOut);

        // The fake camera's frame may come later than the drain above waited (its period
        // runs on its own clock, and a loaded machine delays it), so one may still fall into
        // the wait below; the next is then a period away.
        std::future<sdk::GrabResultPtr> pending;
        for (int i = 0; i < 2; ++i) {
            pending = std::async(std::launch::async, [&] { return device->retrieveResult(8000); });
            if (pending.wait_for(std::chrono::milliseconds(200)) == std::future_status::timeout)
                break;
            QVERIFY(pending.get()->isValid());
        }
        QVERIFY(pending.valid()); // still waiting, not taken by a frame
        device->stopGrabbing();
        QCOMPARE(pending.wait_for(std::chrono::milliseconds(3000)), std::future_status::ready);
        QVERIFY(!pending.get()->isValid());
        QVERIFY(!device->isGrabbing());
    }

    void colourCameraNodes() {
        fake->kill();
        FakeCamera colour(kColourSerial, aravistest::sourceFile("fake-colour-camera.xml"));
        QVERIFY2(colour.start(), qPrintable(colour.output()));
        auto device = openDevice(kColourSerial);
        QVERIFY(device);
        QCOMPARE(device->deviceInfo().friendlyName, std::string("Aravis Fake (40400777)"));
        sdk::NodeMap& nodes = device->nodeMap();
        // Width on a grid of 4 from 16.
        QCOMPARE(nodes.integerIncrement("Width"), int64_t(4));
        QVERIFY(nodes.trySetInteger("Width", 1001, sdk::Correction::Nearest));
        QCOMPARE(nodes.integerValue("Width"), int64_t(1000));
        QVERIFY(!nodes.trySetInteger("Width", 1001, sdk::Correction::None));
        QVERIFY(nodes.trySetInteger("Width", 5000, sdk::Correction::Nearest));
        QCOMPARE(nodes.integerValue("Width"), int64_t(2048));
        // ExposureTime by its own name, the old name mapped onto it.
        QVERIFY(nodes.trySetFloat("ExposureTimeAbs", 2500.0, sdk::Correction::Nearest));
        QCOMPARE(nodes.floatValue("ExposureTime"), 2500.0);
        // Colour nodes held in the node map.
        QCOMPARE(nodes.enumSymbol("BslColorSpace"), std::string("sRgb"));
        QVERIFY(nodes.trySetEnumSymbol("BslColorSpace", "Off"));
        QCOMPARE(nodes.enumSymbol("BslColorSpace"), std::string("Off"));
        QVERIFY(nodes.trySetFloat("BslHue", 0.0, sdk::Correction::Nearest));
        QCOMPARE(nodes.floatValue("BslHue"), 0.0);
        // Temperature per selector; the prefixed symbol spelling is understood.
        QCOMPARE(nodes.floatValue("DeviceTemperature"), 38.25);
        QVERIFY(nodes.trySetEnumSymbol("DeviceTemperatureSelector",
                                       "DeviceTemperatureSelector_FpgaCore"));
        QCOMPARE(nodes.enumSymbol("DeviceTemperatureSelector"), std::string("FpgaCore"));
        QCOMPARE(nodes.floatValue("DeviceTemperature"), 47.5);
        QVERIFY(!nodes.trySetEnumSymbol("DeviceTemperatureSelector", "Other_FpgaCore"));
        device->close();
    }

    // Last: the camera process dies while frames flow.
    void cameraKilledMidStream() {
        auto device = openDevice(kSerial);
        QVERIFY(device);
        prepareRamp(device->nodeMap(), "Mono8", 64, 64);
        device->startGrabbing(0);
        QVERIFY(device->retrieveResult(2000)->grabSucceeded());
        fake->kill();
        bool timedOut = false;
        for (int i = 0; i < 20 && !timedOut; ++i) { // frames already in flight may arrive
            try {
                device->retrieveResult(500);
            } catch (const SdkError& e) {
                QCOMPARE(e.kind(), Kind::Timeout);
                timedOut = true;
            }
        }
        QVERIFY(timedOut);
        QElapsedTimer t;
        t.start();
        device->stopGrabbing();
        device->close();
        QVERIFY2(t.elapsed() < 20000, "stopping a lost camera hung");
        QVERIFY(!device->isOpen());
    }

    void cleanupTestCase() { fake.reset(); }
};

QTEST_GUILESS_MAIN(TestAravisTransport)
#include "tst_aravistransport.moc"
