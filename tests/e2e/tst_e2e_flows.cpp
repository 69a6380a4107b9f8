// The real main window through the user's flows with the simulated head: camera selection
// (missing calibration, stored and damaged regions, a head that delivers nothing), the
// region of interest under the mouse, the critical temperature, an unplugged head and the
// settings such a loss used to damage.

#include "E2eKit.h"

#include "Log.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace e2e;

namespace {

using testsupport::todaysLog;

// A small, quick head (all three demo beams, dim, no noise).
QVariantMap smallHead(int w = 640, int h = 480) {
    return quietHead(w, h);
}

// A region around the small head's spot and an exposure that keeps it below saturation.
QVariantMap streamingSettings() {
    return {{QStringLiteral("rect"), QRect(380, 260, 200, 200)}, {QStringLiteral("expo"), 3000.0}};
}

QVariant readSetting(const QString& key) {
    return testsupport::storedSetting(key);
}

void verifyNoNegativeCameraValue() {
    for (const char* key : {"expo", "width", "height", "posX", "posY"}) {
        const QVariant v = readSetting(QLatin1String(key));
        QVERIFY2(!v.isValid() || v.toDouble() >= 0, key);
    }
}

// Every result label as a start shows it.
void verifyStartTexts(MainWindow& w) {
    Ui::MainWindow* ui = w.form();
    for (QLabel* l :
         {ui->divValue, ui->redDivValue, ui->greenDivValue, ui->blueDivValue, ui->rgValue,
          ui->bgValue, ui->rbValue, ui->valuePowerRed, ui->valuePowerGreen, ui->valuePowerBlue,
          ui->valuePowerTotal, ui->maxRValue, ui->maxGValue, ui->maxBValue})
        QCOMPARE(l->text(), QStringLiteral("N/A"));
    QCOMPARE(ui->warningLabel->text(), QString());
}

void verifyLocked(MainWindow& w) {
    Ui::MainWindow* ui = w.form();
    QVERIFY(!w.camera()->isOpen());
    QVERIFY(!ui->exposureSpin->isEnabled());
    QVERIFY(!ui->actionStartStream->isEnabled());
    QVERIFY(!ui->actionStartStream->isChecked());
    QCOMPARE(ui->listCamComboBox->currentIndex(), 0);
}

} // namespace

class TestE2eFlows : public QObject {
    Q_OBJECT
private slots:
    void missingCalibrationStillMeasures() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles(false));
        setHeadKeys(smallHead());
        storeSettings({});
        auto w = openWindow();
        selectCamera(*w);
        QVERIFY(!answer.seen().isEmpty());
        QCOMPARE(answer.seen().first().title, QStringLiteral("Calibration file not found"));
        QCOMPARE(answer.seen().first().text,
                 QStringLiteral("Calibration file has not been found for serial number "
                                "40400001\nThe measure values may be incorrect"));
        // No "expo": 10 ms; no "rect": 500 x 500 at a quarter of the image, which does not
        // fit a 640 x 480 sensor and becomes the centred half-size region.
        QCOMPARE(w->form()->exposureSpin->value(), 10.0);
        QVERIFY(testsupport::waitUntil([&] { return overlayPos(*w).has_value(); }));
        QCOMPARE(*overlayPos(*w), QPoint(160 + 5, 120 + 5));
        QVERIFY(streamUntilMeasured(*w));
        w->form()->actionStartStream->setChecked(false);
    }

    void textSerialFindsItsCalibration() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles(true));
        QVERIFY(QFile::rename("_calibration_40400001.kvtcal", "kept.kvtcal"));
        QVariantMap keys = smallHead();
        keys.insert(QStringLiteral("serial"), QStringLiteral("KVT:42"));
        setHeadKeys(keys);
        storeSettings(streamingSettings());
        auto w = openWindow();
        // No file yet: the box names the serial as the file name does.
        selectCamera(*w);
        QCOMPARE(answer.seen().value(0).text,
                 QStringLiteral("Calibration file has not been found for serial number "
                                "KVT_42\nThe measure values may be incorrect"));
        // With its file: selected again without any box, and it measures calibrated powers.
        QVERIFY(QFile::rename("kept.kvtcal", "_calibration_KVT_42.kvtcal"));
        answer.clear();
        w->form()->listCamComboBox->setCurrentIndex(0);
        selectCamera(*w);
        QCOMPARE(answer.count(), 0);
        QVERIFY(streamUntilMeasured(*w));
        QVERIFY(testsupport::waitUntil(
            [&] { return wattsOf(w->form()->valuePowerTotal->text()).has_value(); }));
        w->form()->actionStartStream->setChecked(false);
    }

    void storedRegion_data() {
        QTest::addColumn<QRect>("stored");
        QTest::addColumn<QRect>("expected");
        // 1920 x 1200 sensor: centred half-size region (480, 300, 960, 600).
        const QRect centred(480, 300, 960, 600);
        QTest::newRow("fits") << QRect(100, 200, 300, 250) << QRect(100, 200, 300, 250);
        QTest::newRow("too wide, capped") << QRect(10, 20, 2000, 300) << QRect(10, 20, 1200, 300);
        QTest::newRow("reaches the last column") << QRect(1520, 20, 400, 300) << centred;
        QTest::newRow("outside") << QRect(1800, 1100, 400, 400) << centred;
        QTest::newRow("negative corner") << QRect(-100, -50, 300, 300) << centred;
        QTest::newRow("empty") << QRect(100, 100, 0, 0) << centred;
        QTest::newRow("negative size") << QRect(400, 400, -50, -50) << centred;
    }

    void storedRegion() {
        QFETCH(QRect, stored);
        QFETCH(QRect, expected);
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        setHeadKeys(smallHead(1920, 1200));
        storeSettings({{QStringLiteral("rect"), stored}, {QStringLiteral("expo"), 3000.0}});
        auto w = openWindow();
        selectCamera(*w);
        QVERIFY(testsupport::waitUntil([&] { return greenOutline(*w).has_value(); }));
        QCOMPARE(*overlayPos(*w), expected.topLeft() + QPoint(5, 5));
        const QRect g = *greenOutline(*w);
        QVERIFY2(std::abs(g.width() - expected.width()) <= 5 &&
                     std::abs(g.height() - expected.height()) <= 5,
                 qPrintable(QStringLiteral("%1 x %2").arg(g.width()).arg(g.height())));
        QCOMPARE(answer.count(), 0);
    }

    void regionFollowsTheMouse() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        setHeadKeys(smallHead(1920, 1300));
        storeSettings({{QStringLiteral("rect"), QRect(800, 600, 300, 200)},
                       {QStringLiteral("expo"), 3000.0}});
        auto w = openWindow();
        Ui::MainWindow* ui = w->form();
        selectCamera(*w);
        QVERIFY(testsupport::waitUntil([&] { return greenOutline(*w).has_value(); }));
        QCOMPARE(*overlayPos(*w), QPoint(805, 605));

        // Stopped: a click centres the region (same size) and the still frame is redrawn.
        clickSpotView(*w, QPoint(960, 650));
        QCOMPARE(*overlayPos(*w), QPoint(960 - 150 + 5, 650 - 100 + 5));
        QVERIFY(std::abs(greenOutline(*w)->left() - 810) <= 3);

        // A drag resizes around the centre, capped at 1200.
        dragSpotView(*w, QPoint(960 + 700, 650 + 650));
        QCOMPARE(*overlayPos(*w), QPoint(960 - 600 + 5, 650 - 600 + 5));
        QVERIFY(std::abs(greenOutline(*w)->width() - 1200) <= 5);
        QVERIFY(std::abs(greenOutline(*w)->height() - 1200) <= 5);
        // A region of 10 pixels or less across is refused.
        dragSpotView(*w, QPoint(960 + 5, 650 + 100));
        QCOMPARE(*overlayPos(*w), QPoint(365, 55));
        dragSpotView(*w, QPoint(960 + 100, 650 + 60));
        QCOMPARE(*overlayPos(*w), QPoint(960 - 100 + 5, 650 - 60 + 5));

        // Near the edge: ignored.
        for (const QPoint p :
             {QPoint(19, 300), QPoint(300, 19), QPoint(1901, 300), QPoint(300, 1281)}) {
            clickSpotView(*w, p);
            QCOMPARE(*overlayPos(*w), QPoint(865, 595));
        }
        // Where the current size does not fit: a 15 x 15 region at the click.
        clickSpotView(*w, QPoint(40, 40));
        QCOMPARE(*overlayPos(*w), QPoint(45, 45));
        QVERIFY(std::abs(greenOutline(*w)->width() - 15) <= 5);

        // Streaming: a click moves the region and the stabiliser fills again.
        dragSpotView(*w, QPoint(47 + 10, 47 + 10)); // too small: refused
        clickSpotView(*w, QPoint(1440, 975));
        dragSpotView(*w, QPoint(1440 + 200, 975 + 200));
        QCOMPARE(*overlayPos(*w), QPoint(1440 - 200 + 5, 975 - 200 + 5));
        QVERIFY(streamUntilMeasured(*w));
        FrameCounter frames(*w);
        clickSpotView(*w, QPoint(1400, 950));
        QVERIFY(frames.waitFrames(1));
        QCOMPARE(frames.firstDivergence(), QStringLiteral("Processing..."));
        QCOMPARE(frames.firstRedPower(), QStringLiteral("Processing..."));
        QVERIFY(testsupport::waitUntil([&] { return pairOf(ui->divValue->text()).has_value(); }));
        QCOMPARE(*overlayPos(*w), QPoint(1400 - 200 + 5, 950 - 200 + 5));
        // A drag does the same.
        dragSpotView(*w, QPoint(1400 + 150, 950 + 150));
        QVERIFY(frames.waitFrames(1));
        QCOMPARE(frames.firstDivergence(), QStringLiteral("Processing..."));
        ui->actionStartStream->setChecked(false);
        QCOMPARE(answer.count(), 0);
    }

    void selectingACameraRestartsTheFill() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        setHeadKeys(smallHead());
        storeSettings(streamingSettings());
        auto w = openWindow();
        Ui::MainWindow* ui = w->form();
        selectCamera(*w);
        QVERIFY(streamUntilMeasured(*w));
        // Stop Streaming and Refresh: no camera selected, no result of it left on screen.
        ui->actionStartStream->setChecked(false);
        w->on_actionRefresh_triggered();
        verifyLocked(*w);
        verifyStartTexts(*w);
        selectCamera(*w);
        FrameCounter frames(*w);
        ui->actionStartStream->setChecked(true);
        QVERIFY(frames.waitFrames(1));
        QCOMPARE(frames.firstDivergence(), QStringLiteral("Processing..."));
        ui->actionStartStream->setChecked(false);
    }

    void headWithoutImagesGivesUp() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        QVariantMap k = smallHead();
        k.insert(QStringLiteral("failEvery"), 1); // every transfer fails
        setHeadKeys(k);
        storeSettings({});
        auto w = openWindow();
        selectCamera(*w);
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("No image")});
        QVERIFY(answer.seen().first().text.contains(QStringLiteral("after 5 attempts")));
        verifyLocked(*w);
        QVERIFY(!w->form()->calRPushButton->isEnabled());
        QVERIFY(todaysLog().contains(QStringLiteral("No image from the camera after 5 attempts")));
        // The window stays usable: the mouse and the list do nothing harmful.
        clickSpotView(*w, QPoint(100, 100));
        w->on_actionRefresh_triggered();
        QCOMPARE(w->form()->listCamComboBox->count(), 2);
    }

    void criticalTemperatureClosesMidStream() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        QVariantMap k = smallHead();
        k.insert(QStringLiteral("temperature"), 66.0);
        k.insert(QStringLiteral("temperatureRise"), 300.0); // 5 degrees a second
        setHeadKeys(k);
        storeSettings(streamingSettings());
        auto w = openWindow(); // the 2 s watch is stopped until the sensor is hot
        Ui::MainWindow* ui = w->form();
        selectCamera(*w);
        QVERIFY(streamUntilMeasured(*w));
        QVERIFY(testsupport::waitUntil([&] { return w->camera()->temperature() > 75.0f; }, 10000));
        QTimer* watch = nullptr;
        for (QTimer* t : w->findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
            if (t->interval() == 2000)
                watch = t;
        QVERIFY(watch);
        QVERIFY(w->camera()->isGrabbing());
        watch->start();
        QVERIFY(testsupport::waitUntil([&] { return !w->camera()->isOpen(); }, 5000));
        QVERIFY(testsupport::waitUntil([&] { return answer.count() > 0; }));
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Critical temperature")});
        watch->stop();
        verifyLocked(*w);
        QCOMPARE(ui->actionStartStream->text(), QStringLiteral("Start Streaming"));
        FrameCounter frames(*w);
        QTest::qWait(200);
        QCOMPARE(frames.count(), 0);
    }

    void unpluggedHeadIsReportedAndComesBack() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        QVariantMap k = smallHead();
        k.insert(QStringLiteral("unplugAfter"), 40);
        setHeadKeys(k);
        storeSettings(streamingSettings());
        const QString name = QStringLiteral("Simulated sensor head (40400001)");
        auto w = openWindow();
        Ui::MainWindow* ui = w->form();
        for (int plug = 0; plug < 2; ++plug) {
            selectCamera(*w);
            QVERIFY(streamUntilMeasured(*w));
            QElapsedTimer sinceFrame;
            sinceFrame.start();
            QObject::connect(w->camera(), &BasCam::ImageIsAvailable, w.get(),
                             [&] { sinceFrame.restart(); });
            QVERIFY(testsupport::waitUntil([&] { return answer.count() > 0; }, 10000));
            QVERIFY2(sinceFrame.elapsed() < 3000 * testsupport::timeScale(),
                     qPrintable(QString::number(sinceFrame.elapsed())));
            QCOMPARE(answer.titles(), QStringList{QStringLiteral("Camera lost")});
            QVERIFY(answer.seen().first().text.contains(name));
            QCOMPARE(ui->statusbar->currentMessage(), QStringLiteral("Camera lost: ") + name);
            verifyLocked(*w);
            QCOMPARE(ui->listCamComboBox->count(), 1); // refreshed: the head is gone
            verifyStartTexts(*w);
            QTest::qWait(300);
            QCOMPARE(answer.count(), 1);
            QCOMPARE(todaysLog().count(QStringLiteral("Camera lost: ") + name), plug + 1);
            answer.clear();
            // Plugged again: the file is written anew and the head is back in the list.
            k.insert(QStringLiteral("temperature"), 43.0 + plug);
            setHeadKeys(k);
            w->on_actionRefresh_triggered();
            QCOMPARE(ui->listCamComboBox->count(), 2);
        }
        // Closing after a loss waits on nothing and keeps the stored camera values.
        QElapsedTimer closing;
        closing.start();
        w->close();
        w.reset();
        QVERIFY2(closing.elapsed() < 2000 * testsupport::timeScale(),
                 qPrintable(QString::number(closing.elapsed())));
        verifyNoNegativeCameraValue();
        QCOMPARE(readSetting(QStringLiteral("expo")).toDouble(), 3000.0);
    }

    // The program's own event loop (a child process) closed while streaming as fast as the
    // head can: it ends, and saves, every time. A quit that arrived while a frame was being
    // measured used to be lost (the program never ended) or to end the wait for the
    // frame's tasks (which then wrote into freed memory).
    void closingWhileStreamingFastEndsAndSaves_data() {
        QTest::addColumn<QString>("maxFps");
        QTest::newRow("unlimited") << "0";
        QTest::newRow("negative, refused") << "-1";
    }
    void closingWhileStreamingFastEndsAndSaves() {
        QFETCH(QString, maxFps);
        const QString probe =
            qEnvironmentVariable("LUMETRA_BINARY_DIR") + QStringLiteral("/lumetra_close_probe");
        QVERIFY(QFile::exists(probe));
        for (int run = 0; run < 4; ++run) {
            testsupport::TempWorkDir dir;
            QVERIFY(placeDemoFiles());
            setHeadKeys({{QStringLiteral("maxFps"), maxFps}});
            storeSettings({});
            QProcess p;
            p.setProcessChannelMode(QProcess::MergedChannels);
            p.start(probe, {QStringLiteral("1500")});
            const bool ended = p.waitForFinished(20000 * testsupport::timeScale());
            if (!ended)
                p.kill();
            QVERIFY2(ended, "the program did not end after its window was closed");
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 0);
            QCOMPARE(readSetting(QStringLiteral("autoexpo")).toBool(), true);
            QVERIFY(readSetting(QStringLiteral("expo")).toDouble() > 0);
            const QString log = todaysLog();
            QCOMPARE(log.count(QStringLiteral("Exit Ok")), 1);
            if (maxFps == QLatin1String("-1"))
                QVERIFY(log.contains(QStringLiteral("maxFps=-1 refused, default 60 used")));
        }
    }

    // A file damaged by an earlier run (the values of a camera that was gone) heals: the
    // head is selected and measures, with automatic exposure free to move the exposure.
    void damagedCameraValuesHeal() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        setHeadKeys(smallHead());
        QVariantMap damaged = streamingSettings();
        for (const char* key : {"expo", "width", "height", "posX", "posY"})
            damaged.insert(QLatin1String(key), -1);
        damaged.insert(QStringLiteral("autoexpo"), true);
        storeSettings(damaged);
        {
            auto w = openWindow();
            selectCamera(*w);
            QCOMPARE(answer.count(), 0);
            QCOMPARE(w->form()->exposureSpin->value(), 10.0); // taken as missing
            QVERIFY(streamUntilMeasured(*w));
            QVERIFY(wattsOf(w->form()->valuePowerTotal->text()).has_value());
            QVERIFY(largestPercent(w->form()) > 15);
        }
        verifyNoNegativeCameraValue();
        QVERIFY(readSetting(QStringLiteral("expo")).toDouble() > 100.0);
        QVERIFY(readSetting(QStringLiteral("width")).toInt() > 0);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestE2eFlows test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_flows.moc"
