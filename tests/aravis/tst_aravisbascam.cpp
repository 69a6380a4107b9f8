// The camera object on a real GenICam camera: the GigE fake camera of aravis-tools on
// loopback, inside a private network namespace. Listing, opening with its log line,
// parameters with correction, converted and rotated frames, a 200-frame stream with the
// request handshake, closing, a camera that dies mid-stream, and a camera without the
// colour and temperature nodes.

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <thread>

#include "BasCam.h"
#include "FakeCamera.h"
#include "Log.h"
#include "Settings.h"
#include "TestSupport.h"
#include "aravis/AravisTransport.h"

#ifdef LUMETRA_ARAVIS_TEST_WINDOW
#include "MainWindow.h"
#include "MainWindowForm.h"
#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QSettings>
#endif

using aravistest::FakeCamera;

namespace {

const QString kSerial = QStringLiteral("40400123");
const QString kName = QStringLiteral("Aravis Fake (40400123)");
const QString kColourSerial = QStringLiteral("40400777");

QStringList logLines() {
    QFile f(lumetra::log::fileNameFor(QDateTime::currentDateTime()));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

int countLines(const QString& needle) {
    int n = 0;
    for (const QString& line : logLines())
        n += line.contains(needle) ? 1 : 0;
    return n;
}

// Lets the camera object move into its worker thread, as the first event-loop turn does.
void startWorker() {
    QTest::qWait(50);
}

int indexOf(BasCam& cam, const QString& name) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int i = cam.deviceNames().indexOf(name);
        if (i >= 0)
            return i;
        QTest::qWait(100);
    }
    return -1;
}

// grabOne as the camera selection flow uses it: repeat until an image is there.
QImage grabStill(BasCam& cam) {
    for (int i = 0; i < 10; ++i) {
        if (cam.grabOne(false) == 0 && !cam.lastImage().isNull())
            return cam.lastImage();
    }
    return {};
}

QByteArray redChannel(const QImage& img) {
    QByteArray out(img.width() * img.height(), '\0');
    for (int y = 0; y < img.height(); ++y) {
        const uchar* line = img.constScanLine(y);
        for (int x = 0; x < img.width(); ++x) {
            if (line[3 * x] != line[3 * x + 1] || line[3 * x] != line[3 * x + 2])
                return {}; // grey must be copied into all three channels
            out[y * img.width() + x] = char(line[3 * x]);
        }
    }
    return out;
}

} // namespace

class TestAravisBasCam : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<FakeCamera> fake;
    std::unique_ptr<testsupport::TempWorkDir> dir;

    void openFake(BasCam& cam) {
        startWorker();
        const int index = indexOf(cam, kName);
        QVERIFY(index >= 0);
        QCOMPARE(cam.openCamera(index), 0);
        QVERIFY(cam.isOpen());
    }

private slots:
    void initTestCase() {
        QString why;
        if (!aravistest::inPrivateNetwork(&why))
            QSKIP(qPrintable("needs a private network namespace: " + why));
        dir = std::make_unique<testsupport::TempWorkDir>();
        fake = std::make_unique<FakeCamera>(kSerial);
    }

    void init() {
        if (!fake->isRunning())
            QVERIFY2(fake->start(), qPrintable(fake->output()));
    }

    void listOpenAndLog() {
        BasCam cam;
        startWorker();
        const QStringList names = cam.deviceNames();
        QVERIFY2(names.contains(kName), qPrintable(names.join(", ")));
        const int before = countLines("Cam opened: ");
        openFake(cam);
        QCOMPARE(countLines("Cam opened: "), before + 1);
        QVERIFY(
            logLines().last().contains("Cam opened: " + kName + " | W=512 H=512 | PosX=0 PosY=0"));
        QCOMPARE(cam.serialNumber(), kSerial.toInt());
        QCOMPARE(cam.pixelFormat(), QStringLiteral("RGB8")); // set at opening
        // Opening again releases the first instance, so the camera can be taken again.
        openFake(cam);
        QCOMPARE(countLines("Cam opened: "), before + 2);
        QCOMPARE(cam.openCamera(-1), 0);
        QVERIFY(!cam.isOpen());
        QCOMPARE(cam.serialNumber(), 0);
        QCOMPARE(cam.width(), -1);
    }

    void parametersWithCorrection() {
        BasCam cam;
        openFake(cam);
        QCOMPARE(cam.setOffsetX(0), 0);
        QCOMPARE(cam.setOffsetY(0), 0);
        QCOMPARE(cam.setWidth(5000), 0);
        QCOMPARE(cam.setHeight(5000), 0);
        QCOMPARE(cam.width(), 2048);
        QCOMPARE(cam.height(), 2048);
        QCOMPARE(cam.width(2), 2048);
        QCOMPARE(cam.setExposure(20000.0f), 0);
        QCOMPARE(cam.exposure(), 20000.0f);
        QCOMPARE(cam.setExposure(1.0f), 0); // below the minimum: the minimum
        QCOMPARE(cam.exposure(), 10.0f);
        QCOMPARE(cam.exposure(1), 10.0f);
        QCOMPARE(cam.setPixelFormat("YUV422"), -1);
        QCOMPARE(cam.pixelFormat(), QStringLiteral("RGB8"));
    }

    void framesConvertedAndTurned_data() {
        QTest::addColumn<QString>("format");
        QTest::newRow("RGB8") << "RGB8";
        QTest::newRow("Mono8") << "Mono8";
    }
    void framesConvertedAndTurned() {
        QFETCH(QString, format);
        BasCam cam;
        openFake(cam);
        QCOMPARE(cam.setPixelFormat(format), 0);
        QCOMPARE(cam.setWidth(300), 0);
        QCOMPARE(cam.setHeight(40), 0);
        QCOMPARE(cam.setExposure(10000.0f), 0);
        cam.setRotation(180);
        const QImage img = grabStill(cam);
        QVERIFY(!img.isNull());
        QCOMPARE(img.format(), QImage::Format_RGB888);
        QCOMPARE(img.size(), QSize(300, 40));
        QVERIFY(!cam.isGrabbing()); // the single image ended the acquisition
        QString mismatch;
        if (format == "RGB8") {
            QByteArray packed;
            for (int y = 0; y < img.height(); ++y)
                packed.append(reinterpret_cast<const char*>(img.constScanLine(y)), 300 * 3);
            mismatch = aravistest::checkColourRamp(
                reinterpret_cast<const uint8_t*>(packed.constData()), 300, 40, 300 * 3, -1);
        } else {
            const QByteArray grey = redChannel(img);
            QVERIFY2(!grey.isEmpty(), "Mono8 not copied into all three channels");
            mismatch = aravistest::checkMonoRamp(reinterpret_cast<const uint8_t*>(grey.constData()),
                                                 300, 40, 300, -1);
        }
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    void streamWithRequestHandshake() {
        BasCam cam;
        openFake(cam);
        QCOMPARE(cam.setWidth(128), 0);
        QCOMPARE(cam.setHeight(96), 0);
        cam.setRotation(180);
        cam.setWaitForRequest(true);

        int received = 0;
        int unrequested = 0;
        bool holdBack = false;
        // Frames still queued when the test ends die with their receiver, before the
        // locals they count into.
        QObject receiver;
        connect(&cam, &BasCam::ImageIsAvailable, &receiver, [&](const QImage& img) {
            ++received;
            if (cam.isImageRequested() || img.size() != QSize(128, 96))
                ++unrequested; // the flag must be down while this image is being handled
            if (!holdBack)
                QTimer::singleShot(0, &receiver, [&] { cam.requestImage(); });
        });
        QCOMPARE(cam.startGrabbing(), 0);
        QVERIFY(cam.isGrabbing());
        QVERIFY(testsupport::waitUntil([&] { return received >= 100; }, 30000));

        // Without a request nothing more arrives.
        holdBack = true;
        QTest::qWait(200);
        const int held = received;
        QTest::qWait(400);
        QCOMPARE(received, held);
        holdBack = false;
        cam.requestImage();

        QVERIFY(testsupport::waitUntil([&] { return received >= 200; }, 30000));
        QCOMPARE(unrequested, 0);
        QVERIFY(cam.frameRate() > 0.0f);
        cam.stopGrabbing();
        QVERIFY(!cam.isGrabbing());
        const int atStop = received;
        QTest::qWait(300);
        QVERIFY(received <= atStop + 1); // at most the image that was already queued
        QCOMPARE(cam.openCamera(-1), 0);
        QVERIFY(!cam.isOpen());
    }

    void cameraKilledMidStream() {
        BasCam cam;
        openFake(cam);
        QCOMPARE(cam.setWidth(64), 0);
        QCOMPARE(cam.setHeight(64), 0);
        cam.setWaitForRequest(false);
        int received = 0;
        QStringList lost;
        QObject receiver; // dies before the locals its queued calls write to
        connect(&cam, &BasCam::ImageIsAvailable, &receiver, [&](const QImage&) { ++received; });
        connect(&cam, &BasCam::CameraLost, &receiver,
                [&](const QString& name) { lost.append(name); });
        QCOMPARE(cam.startGrabbing(), 0);
        QVERIFY(testsupport::waitUntil([&] { return received >= 5; }, 10000));

        const int before = countLines("Camera lost: ");
        QElapsedTimer sinceKill;
        sinceKill.start();
        fake->kill();
        QVERIFY(testsupport::waitUntil([&] { return lost.size() > 0; }, 10000));
        QVERIFY2(sinceKill.elapsed() < 3000 * testsupport::timeScale(),
                 qPrintable(QString::number(sinceKill.elapsed())));
        QCOMPARE(lost.first(), kName);
        QVERIFY(cam.isLost());
        QVERIFY(!cam.isGrabbing());
        // Nothing waits on the dead camera any more, the release included.
        QElapsedTimer t;
        t.start();
        QCOMPARE(cam.temperature(), -100.0f);
        QCOMPARE(cam.exposure(), -1.0f);
        QCOMPARE(cam.width(), -1);
        QCOMPARE(cam.openCamera(-1), 0);
        QVERIFY2(t.elapsed() < 500 * testsupport::timeScale(),
                 qPrintable(QString::number(t.elapsed())));
        QVERIFY(!cam.isOpen());
        QTest::qWait(300);
        QCOMPARE(lost.size(), 1);
        QCOMPARE(countLines("Camera lost: "), before + 1);
    }

    void cameraWithoutColourNodesOpens() {
        // The plain fake camera has neither BslColorSpace, BslHue nor DeviceTemperature.
        BasCam cam;
        openFake(cam);
        QCOMPARE(cam.temperature(), -100.0f);
        QCOMPARE(cam.pixelFormat(), QStringLiteral("RGB8"));
        QVERIFY(!grabStill(cam).isNull());
    }

    void colourCameraReadsTemperature() {
        fake->kill();
        FakeCamera colour(kColourSerial, aravistest::sourceFile("fake-colour-camera.xml"));
        QVERIFY2(colour.start(), qPrintable(colour.output()));
        BasCam cam;
        startWorker();
        const int index = indexOf(cam, "Aravis Fake (40400777)");
        QVERIFY(index >= 0);
        QCOMPARE(cam.openCamera(index), 0);
        // The selector symbol is written with the node name in front; the camera's
        // FpgaCore sensor reads 47.5, its default one 38.25.
        QCOMPARE(cam.temperature(), 47.5f);
        QCOMPARE(cam.serialNumber(), kColourSerial.toInt());

        // The node tree of Aravis is not thread-safe: temperature reads and exposure
        // writes from two threads while the camera streams all see whole values, and the
        // stream goes on (the thread-sanitizer build checks the accesses themselves).
        QCOMPARE(cam.setWidth(128), 0);
        QCOMPARE(cam.setHeight(96), 0);
        int received = 0;
        QObject receiver; // dies before the locals its queued calls write to
        connect(&cam, &BasCam::ImageIsAvailable, &receiver, [&] { ++received; });
        QCOMPARE(cam.startGrabbing(), 0);
        std::atomic<bool> stop{false};
        std::atomic<int> bad{0}, rounds{0};
        auto round = [&](float mine) {
            if (cam.temperature() != 47.5f || cam.setExposure(mine) != 0)
                ++bad;
            const float e = cam.exposure();
            if (std::abs(e - 2000.0f) > 1.0f && std::abs(e - 3000.0f) > 1.0f)
                ++bad;
            ++rounds;
        };
        std::thread other([&] {
            while (!stop)
                round(3000.0f);
        });
        QVERIFY(testsupport::waitUntil(
            [&] {
                round(2000.0f);
                return received >= 30 && rounds >= 60;
            },
            30000));
        stop = true;
        other.join();
        QCOMPARE(bad.load(), 0);
        cam.stopGrabbing();
    }

#ifdef LUMETRA_ARAVIS_TEST_WINDOW
    void windowListsCameraAndShowsNoTemperature() {
        testsupport::ModalAnswerer answer;
        testsupport::storeSettings({});
        MainWindow w;
        startWorker();
        QComboBox* list = w.form()->listCamComboBox;
        const int index = list->findText(kName);
        QVERIFY2(index >= 1, "fake camera not in the camera list");
        QCOMPARE(list->itemText(0), QStringLiteral("Select KVT sensor"));
        {
            const QSignalBlocker block(list);
            list->setCurrentIndex(index);
        }
        QCOMPARE(w.camera()->openCamera(index - 1), 0);
        QVERIFY(w.camera()->isOpen());
        w.UpdateTemperature();
        QCOMPARE(w.form()->temperatureLabel->text(), QStringLiteral("Sensor temperature: N/A"));
        QVERIFY(w.camera()->isOpen()); // no reading is not a reason to close
        list->setCurrentIndex(0);
        QVERIFY(testsupport::waitUntil([&] { return !w.camera()->isOpen(); }, 5000));
    }

    void windowFindsTheCalibrationOfATextSerial() {
        fake->kill();
        FakeCamera gv(QStringLiteral("GV01"));
        QVERIFY2(gv.start(), qPrintable(gv.output()));
        {
            QSettings s(QStringLiteral("_calibration_GV01.kvtcal"), QSettings::IniFormat);
            // The three sections with their factory red row, so nothing is uncalibrated.
            s.setValue(QStringLiteral("635/M0x_BR"), 0.978);
            s.setValue(QStringLiteral("520/M0x_BR"), 0.074);
            s.setValue(QStringLiteral("445/M0x_BR"), 0.027);
            s.setValue(QStringLiteral("Power/635_TL"), 12.5);
        }
        testsupport::ModalAnswerer answer;
        MainWindow w;
        startWorker();
        QComboBox* list = w.form()->listCamComboBox;
        QVERIFY(testsupport::waitUntil([&] {
            w.refreshCameraList();
            return list->findText(QStringLiteral("Aravis Fake (GV01)")) >= 1;
        }));
        answer.clear();
        // The whole selection: no box at all, its factor loaded, usable.
        list->setCurrentIndex(list->findText(QStringLiteral("Aravis Fake (GV01)")));
        QCOMPARE(answer.titles(), QStringList());
        QVERIFY(testsupport::todaysLog().contains(QStringLiteral("Power Loaded Top Left\t12.5")));
        QVERIFY(w.form()->actionStartStream->isEnabled());
        list->setCurrentIndex(0);
    }

    // The window streaming from the fake camera when it dies: reported within 3 s, the
    // window closes at once afterwards without damaging the settings, and the camera works
    // again once it is back.
    void windowReportsAKilledCameraAndClosesFast() {
        testsupport::ModalAnswerer answer;
        QFile::remove(lumetra::settings::fileName());
        // Automatic exposure off: an exposure read in flight when the camera dies waits out
        // Aravis's register retries too, like the temperature read below.
        testsupport::storeSettings(
            {{QStringLiteral("expo"), 5000.0}, {QStringLiteral("autoexpo"), false}});
        auto w = std::make_unique<MainWindow>();
        // A temperature read in flight when the camera dies holds the GUI thread for the
        // 2.5 s of Aravis's register retries; without the watch the timing is the stream's.
        for (QTimer* t : w->findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
            if (t->interval() == 2000)
                t->stop();
        startWorker();
        QComboBox* list = w->form()->listCamComboBox;
        auto selectFake = [&] {
            list->setCurrentIndex(list->findText(kName));
            QVERIFY(w->camera()->isOpen());
            int frames = 0;
            const auto conn = connect(w->camera(), &BasCam::ImageIsAvailable, this,
                                      [&](const QImage&) { ++frames; });
            w->form()->actionStartStream->setChecked(true);
            QVERIFY(testsupport::waitUntil([&] { return frames >= 5; }, 10000));
            disconnect(conn);
            answer.clear();
            QElapsedTimer sinceKill;
            qint64 boxAfter = -1;
            answer.enqueue([&](QWidget* box) {
                boxAfter = sinceKill.elapsed();
                testsupport::ModalAnswerer::pressButton(QMessageBox::Ok)(box);
            });
            sinceKill.start();
            fake->kill();
            QVERIFY(testsupport::waitUntil([&] { return boxAfter >= 0; }, 10000));
            QVERIFY2(boxAfter < 3000 * testsupport::timeScale(),
                     qPrintable(QString::number(boxAfter)));
        };
        selectFake();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Camera lost")});
        QVERIFY(answer.seen().first().text.contains(kName));
        QCOMPARE(w->form()->statusbar->currentMessage(), QStringLiteral("Camera lost: ") + kName);
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(list->findText(kName), -1); // refreshed without it
        QCOMPARE(w->form()->divValue->text(), QStringLiteral("N/A"));
        QVERIFY(!w->form()->actionStartStream->isEnabled());

        // Back again: listed and streaming after a refresh.
        QVERIFY2(fake->start(), qPrintable(fake->output()));
        QVERIFY(testsupport::waitUntil(
            [&] {
                w->on_actionRefresh_triggered();
                return list->findText(kName) > 0;
            },
            10000));
        selectFake();

        QElapsedTimer closing;
        closing.start();
        w->close();
        w.reset();
        QVERIFY2(closing.elapsed() < 2000 * testsupport::timeScale(),
                 qPrintable(QString::number(closing.elapsed())));
        QCOMPARE(testsupport::storedSetting(QStringLiteral("expo")).toDouble(), 5000.0);
        for (const char* key : {"width", "height", "posX", "posY"})
            QVERIFY2(!testsupport::storedSetting(QLatin1String(key)).isValid(), key);
    }

#endif

    void cleanupTestCase() {
        fake.reset();
        dir.reset();
        // A killed camera's objects are let go on threads of their own; they must end.
        QVERIFY(testsupport::waitUntil(
            [] { return lumetra::aravis::waitForBackgroundReleases(100); }, 30000));
    }
};

QTEST_MAIN(TestAravisBasCam)
#include "tst_aravisbascam.moc"
