// The real main window with the real camera object: start-up and exit with basini.ini
// (first start, stored choices, damaged files), the version notes, the camera list, the
// stream action and the temperature watch with the simulated sensor head.

#include "BasCam.h"
#include "Log.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "Settings.h"
#include "TestSupport.h"
#include "Version.h"
#include "WindowTestKit.h"

#include <QApplication>
#include <QFile>
#include <QGraphicsScene>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString kNotesTitle = QStringLiteral("Lumetra - What's new in this version?");

using testsupport::todaysLog;

using windowtest::openFirstCamera;
using windowtest::writeText;

using testsupport::storeSettings;
QVariant stored(const QString& key) {
    return testsupport::storedSetting(key);
}

// One simulated head in the working directory, small so that streaming is cheap.
void plugHead(double temperature = 42.0, const QString& name = QStringLiteral("Bench head A")) {
    writeText(QStringLiteral("simulated-head.ini"),
              QStringLiteral("[head]\nserial=40400077\nname=%1\nsensorWidth=320\n"
                             "sensorHeight=240\nmaxFps=0\ntemperature=%2\ntemperatureRise=0\n")
                  .arg(name)
                  .arg(temperature, 0, 'f', 1)
                  .toUtf8());
}

// The 2 s temperature timer would read the sensor at moments the test does not choose.
void stopTemperatureTimer(MainWindow& w) {
    for (QTimer* t : w.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
        if (t->interval() == 2000)
            t->stop();
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
private slots:
    void firstStartWithoutSettings() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(avail.width() >= 1100 && avail.height() >= 850);
        {
            MainWindow w;
            Ui::MainWindow* ui = w.form();
            // The notes came before the window was shown, and the version is stored.
            QCOMPARE(answer.titles(), QStringList{kNotesTitle});
            QCOMPARE(stored("Last_Version/Version").toInt(), lumetra::kVersion);

            QCOMPARE(w.size(), QSize(1100, 850));
            QCOMPARE(w.pos(), QPoint(avail.width() / 2 - 550, avail.height() / 2 - 425));
            QCOMPARE(w.windowTitle(), QStringLiteral("Varnelle - Lumetra - v1.04"));
            QVERIFY(ui->autoExpoCheckBox->isChecked());
            QVERIFY(ui->autoRoiCheckBox->isChecked());
            QCOMPARE(ui->imgStabSlider->value(), 8);
            QCOMPARE(ui->redBoostCombo->currentText(), QStringLiteral("Disabled"));
            QVERIFY(ui->brSelButton->isChecked());
            QVERIFY(!ui->blSelButton->isChecked());
            // The menu bar shows once its Reports actions work, and Calibration with them.
            QVERIFY(!ui->menubar->isHidden());
            QVERIFY(ui->menuReports->menuAction()->isVisible());
            QVERIFY(ui->menuCalibration->menuAction()->isVisible());
            QVERIFY(!ui->autoRoiCheckBox->isHidden());
            QVERIFY(ui->warningRoiLabel->isHidden());
            QVERIFY(!ui->exposureSpin->isEnabled());
            QVERIFY(!ui->actionStartStream->isEnabled());
            QVERIFY(!ui->calRPushButton->isEnabled());
            QVERIFY(!ui->calBPushButton->isEnabled());
            QCOMPARE(ui->maxGValue->text(), QStringLiteral("N/A"));
            QVERIFY(ui->warningLabel->text().isEmpty());
            QVERIFY(ui->warningRoiLabel->text().isEmpty());
            QCOMPARE(ui->listCamComboBox->count(), 1);
            QCOMPARE(ui->listCamComboBox->itemText(0), QStringLiteral("Select KVT sensor"));
            QVERIFY(ui->graphicsView->scene() == nullptr); // firstLoad has not run yet

            w.show();
            QVERIFY(testsupport::waitUntil([&] { return ui->graphicsView->scene() != nullptr; }));
            QVERIFY(ui->previewGraphics->scene() != nullptr);
            QCOMPARE(ui->calRPushButton->text(), QStringLiteral("Calibrate 635"));
            QCOMPARE(ui->calGPushButton->text(), QStringLiteral("Calibrate 520"));
            QCOMPARE(ui->maxBLabel->text(), QStringLiteral("Max 445 = "));
            QVERIFY(todaysLog().contains(QStringLiteral("Init OK\n")));
            QVERIFY(todaysLog().contains(QStringLiteral(" > \n===================== Starting... ") +
                                         QSysInfo::kernelType() + QLatin1Char(' ') +
                                         QSysInfo::kernelVersion() + QLatin1Char('\n')));
            w.close();
            QCOMPARE(todaysLog().count(QStringLiteral(" > Exit Ok\n=====================\n")), 1);
        }
        QCOMPARE(stored("autoexpo").toBool(), true);
        QCOMPARE(stored("autoROI").toBool(), true);
        QCOMPARE(stored("Stab").toInt(), 8);
        QCOMPARE(stored("SelButton").toString(), QStringLiteral("BR"));
        QCOMPARE(stored("RBoost").toInt(), 0);
        QCOMPARE(stored("MaxWin").toInt(), 0);
        QCOMPARE(stored("WinWidth").toInt(), 1100);
        QCOMPARE(stored("WinHeight").toInt(), 850);
        QVERIFY(!stored("expo").isValid()); // no camera was open

        // Second start of the same version: no notes.
        answer.clear();
        { MainWindow again; }
        QCOMPARE(answer.count(), 0);
    }

    void notesAgainAfterVersionChangeOrLoss() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({{"Last_Version/Version", lumetra::kVersion - 1}}, false);
        { MainWindow w; }
        QCOMPARE(answer.titles(), QStringList{kNotesTitle});
        QCOMPARE(stored("Last_Version/Version").toInt(), lumetra::kVersion);
        lumetra::settings::File().remove(lumetra::settings::kNotesVersion);
        { MainWindow w; }
        { MainWindow w; }
        QCOMPARE(answer.titles(), (QStringList{kNotesTitle, kNotesTitle}));
    }

    void storedChoicesAreRestoredAndWrittenBack_data() {
        QTest::addColumn<QVariantMap>("values");
        QTest::addColumn<QString>("checkedCorner");
        QTest::addColumn<int>("slider");
        QTest::addColumn<int>("boost");
        QTest::addColumn<QString>("writtenCorner");
        QTest::newRow("unknown corner XY")
            << QVariantMap{{"SelButton", "XY"}} << "brSelButton" << 8 << 0 << "BR";
        QTest::newRow("TL") << QVariantMap{{"SelButton", "TL"}} << "tlSelButton" << 8 << 0 << "TL";
        QTest::newRow("TR") << QVariantMap{{"SelButton", "TR"}} << "trSelButton" << 8 << 0 << "TR";
        QTest::newRow("BL") << QVariantMap{{"SelButton", "BL"}} << "blSelButton" << 8 << 0 << "BL";
        QTest::newRow("empty corner")
            << QVariantMap{{"SelButton", ""}} << "brSelButton" << 8 << 0 << "BR";
        QTest::newRow("Stab 20") << QVariantMap{{"Stab", 20}} << "brSelButton" << 10 << 0 << "BR";
        QTest::newRow("Stab 1") << QVariantMap{{"Stab", 1}} << "brSelButton" << 2 << 0 << "BR";
        QTest::newRow("Stab 5, boost x3, no auto")
            << QVariantMap{{"Stab", 5}, {"RBoost", 2}, {"autoexpo", false}} << "brSelButton" << 5
            << 2 << "BR";
    }
    void storedChoicesAreRestoredAndWrittenBack() {
        QFETCH(QVariantMap, values);
        QFETCH(QString, checkedCorner);
        QFETCH(int, slider);
        QFETCH(int, boost);
        QFETCH(QString, writtenCorner);
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings(values);
        {
            MainWindow w;
            Ui::MainWindow* ui = w.form();
            QCOMPARE(answer.count(), 0);
            auto* corner = w.findChild<QPushButton*>(checkedCorner);
            QVERIFY(corner && corner->isChecked());
            int checked = 0;
            for (auto* b : ui->buttonGroup->buttons())
                checked += b->isChecked() ? 1 : 0;
            QCOMPARE(checked, 1);
            QCOMPARE(ui->imgStabSlider->value(), slider);
            QCOMPARE(ui->redBoostCombo->currentIndex(), boost);
            QCOMPARE(ui->autoExpoCheckBox->isChecked(), values.value("autoexpo", true).toBool());
        }
        QCOMPARE(stored("SelButton").toString(), writtenCorner);
        QCOMPARE(stored("Stab").toInt(), slider);
        QCOMPARE(stored("RBoost").toInt(), boost);
        QCOMPARE(stored("autoexpo").toBool(), values.value("autoexpo", true).toBool());
    }

    void choicesMadeDuringTheRunAreWritten() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({});
        {
            MainWindow w;
            Ui::MainWindow* ui = w.form();
            QTest::mouseClick(ui->trSelButton, Qt::LeftButton);
            ui->redBoostCombo->setCurrentIndex(3);
            ui->imgStabSlider->setValue(4);
            ui->autoExpoCheckBox->setChecked(false);
            w.show();
            w.resize(1000, 760);
        }
        QCOMPARE(stored("SelButton").toString(), QStringLiteral("TR"));
        QCOMPARE(stored("RBoost").toInt(), 3);
        QCOMPARE(stored("Stab").toInt(), 4);
        QCOMPARE(stored("autoexpo").toBool(), false);
        QCOMPARE(stored("WinWidth").toInt(), 1000);
        QCOMPARE(stored("WinHeight").toInt(), 760);
        QCOMPARE(stored("MaxWin").toInt(), 0);
    }

    void maximisedKeepsTheStoredNormalSize() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({{"WinWidth", 900}, {"WinHeight", 700}, {"MaxWin", 1}});
        {
            MainWindow w;
            w.show();
            QVERIFY(w.isMaximized());
        }
        QCOMPARE(stored("MaxWin").toInt(), 1);
        QCOMPARE(stored("WinWidth").toInt(), 900);
        QCOMPARE(stored("WinHeight").toInt(), 700);

        // Back to a normal window: its size is stored again.
        storeSettings({{"MaxWin", 0}});
        {
            MainWindow w;
            w.show();
            QVERIFY(!w.isMaximized());
            QCOMPARE(w.size(), QSize(900, 700));
        }
        QCOMPARE(stored("MaxWin").toInt(), 0);
        QCOMPARE(stored("WinWidth").toInt(), 900);
    }

    void runWithoutCameraLeavesCameraKeys() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        const QVariantMap camera{
            {"expo", 1234.5}, {"BarH", 17}, {"BarV", 23}, {"width", 640},
            {"height", 480},  {"posX", 8},  {"posY", 4},  {"rect", QRect(1, 2, 300, 400)}};
        storeSettings(camera);
        plugHead(); // a camera is attached but never selected
        {
            MainWindow w;
            QCOMPARE(w.form()->listCamComboBox->count(), 2);
            QVERIFY(!w.camera()->isOpen());
        }
        for (auto it = camera.begin(); it != camera.end(); ++it)
            QCOMPARE(stored(it.key()), it.value());
        QCOMPARE(stored("Stab").toInt(), 8); // the rest was written
    }

    void cameraKeysWrittenWhenACameraIsOpen() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({{"expo", 1234.5}});
        plugHead();
        {
            MainWindow w;
            stopTemperatureTimer(w);
            openFirstCamera(w);
            QCOMPARE(w.camera()->setExposure(5000.0f), 0);
        }
        QCOMPARE(stored("width").toInt(), 320);
        QCOMPARE(stored("height").toInt(), 240);
        QCOMPARE(stored("posX").toInt(), 0);
        QCOMPARE(stored("posY").toInt(), 0);
        QCOMPARE(stored("expo").toFloat(), 5000.0f);
        QVERIFY(stored("BarH").isValid());
        QVERIFY(stored("BarV").isValid());
    }

    void damagedValuesStillGiveAUsableWindow_data() {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QSize>("expected"); // (0, 0): within the screen, not exact
        QTest::addColumn<int>("slider");
        QTest::newRow("non-numbers")
            << QByteArray("WinWidth=abc\nWinHeight=12x\nStab=zz\nRBoost=yy\nMaxWin=no\n")
            << QSize(1100, 850) << 2;
        QTest::newRow("negative") << QByteArray("WinWidth=-500\nWinHeight=-1\nRBoost=-3\n")
                                  << QSize(1100, 850) << 8;
        QTest::newRow("zero") << QByteArray("WinWidth=0\nWinHeight=0\n") << QSize(1100, 850) << 8;
        QTest::newRow("huge") << QByteArray("WinWidth=100000\nWinHeight=99999\nRBoost=9\n")
                              << QSize(0, 0) << 8;
        QTest::newRow("beyond int")
            << QByteArray("WinWidth=99999999999999\nWinHeight=1e308\n") << QSize(0, 0) << 8;
        QTest::newRow("tiny") << QByteArray("WinWidth=3\nWinHeight=2\n") << QSize(0, 0) << 8;
        QTest::newRow("one readable")
            << QByteArray("WinWidth=900\nWinHeight=junk\n") << QSize(900, 850) << 8;
    }
    void damagedValuesStillGiveAUsableWindow() {
        QFETCH(QByteArray, ini);
        QFETCH(QSize, expected);
        QFETCH(int, slider);
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        writeText(lumetra::settings::fileName(),
                  "[General]\nexpo=2500\nSelButton=TL\n" + ini +
                      "\n[Last_Version]\nVersion=" + QByteArray::number(lumetra::kVersion) + "\n");
        const QRect avail = QGuiApplication::primaryScreen()->availableGeometry();
        {
            MainWindow w;
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QVERIFY(w.isVisible());
            QVERIFY(!w.isMaximized());
            if (expected.isEmpty()) {
                QVERIFY(w.width() <= avail.width() && w.height() <= avail.height());
                QVERIFY(w.width() >= 400 && w.height() >= 300);
            } else {
                QCOMPARE(w.size(), expected);
            }
            QVERIFY(avail.intersects(w.frameGeometry()));
            QVERIFY(w.pos().x() >= 0 && w.pos().y() >= 0);
            QCOMPARE(w.form()->imgStabSlider->value(), slider);
            QVERIFY(w.form()->redBoostCombo->currentIndex() >= 0); // a valid boost
            QVERIFY(w.form()->tlSelButton->isChecked());           // readable values kept
            QCOMPARE(answer.count(), 0);
        }
        // The next exit writes a correct file and keeps what was readable.
        QCOMPARE(stored("expo").toInt(), 2500);
        bool ok = false;
        QVERIFY(stored("WinWidth").toInt(&ok) >= 400 && ok);
        QVERIFY(stored("WinHeight").toInt(&ok) >= 300 && ok);
        QVERIFY(stored("RBoost").toInt(&ok) >= 0 && ok);
        QCOMPARE(stored("SelButton").toString(), QStringLiteral("TL"));
    }

    void unreadableOrCorruptFileNeverStopsTheProgram_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("binary garbage") << "garbage";
        QTest::newRow("a folder in its place") << "folder";
        QTest::newRow("read-only file") << "readonly";
    }
    void unreadableOrCorruptFileNeverStopsTheProgram() {
        QFETCH(QString, how);
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        if (how == "garbage") {
            QByteArray junk;
            for (int i = 0; i < 4096; ++i)
                junk.append(char((i * 7919 + 13) % 256));
            writeText(lumetra::settings::fileName(), junk);
        } else if (how == "folder") {
            QVERIFY(QDir().mkdir(lumetra::settings::fileName()));
        } else {
            storeSettings({{"Stab", 5}});
            QVERIFY(QFile::setPermissions(lumetra::settings::fileName(),
                                          QFile::ReadOwner | QFile::ReadUser));
        }
        {
            MainWindow w;
            w.show();
            QVERIFY(QTest::qWaitForWindowExposed(&w));
            QVERIFY(w.width() >= 400 && w.height() >= 300);
            if (how == "readonly")
                QCOMPARE(w.form()->imgStabSlider->value(), 5);
            w.form()->imgStabSlider->setValue(6);
        }
        if (how == "garbage") {
            const lumetra::settings::File s;
            QCOMPARE(s.status(), QSettings::NoError);
            QCOMPARE(s.value(lumetra::settings::kStab), 6);
            QCOMPARE(s.value(lumetra::settings::kNotesVersion), lumetra::kVersion);
        }
        if (how == "readonly")
            QFile::setPermissions(lumetra::settings::fileName(),
                                  QFile::ReadOwner | QFile::WriteOwner);
    }

    void cameraListWithAndWithoutTheSimulatedHead() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({});
        MainWindow w;
        stopTemperatureTimer(w);
        QComboBox* list = w.form()->listCamComboBox;
        QCOMPARE(list->count(), 1);
        QCOMPARE(list->itemText(0), QStringLiteral("Select KVT sensor"));

        plugHead(42.0, QStringLiteral("Bench head A"));
        w.form()->actionRefresh->trigger();
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->itemText(0), QStringLiteral("Select KVT sensor"));
        QVERIFY(list->itemText(1).startsWith(QStringLiteral("Bench head A")));
        QCOMPARE(list->itemText(1), w.camera()->deviceNames().value(0));
        QCOMPARE(list->currentIndex(), 0);
        QVERIFY(!w.camera()->isOpen());

        // Refreshing twice keeps one selection connection: one selection, one opening.
        w.form()->actionRefresh->trigger();
        const int before = todaysLog().count(QStringLiteral("Cam opened: "));
        list->setCurrentIndex(1);
        QVERIFY(testsupport::waitUntil([&] { return w.camera()->isOpen(); }));
        QCOMPARE(todaysLog().count(QStringLiteral("Cam opened: ")), before + 1);

        // Refreshing with a camera open closes it through the placeholder first.
        w.form()->actionRefresh->trigger();
        QVERIFY(!w.camera()->isOpen());
        QCOMPARE(list->currentIndex(), 0);
        QCOMPARE(list->count(), 2);
        QCOMPARE(todaysLog().count(QStringLiteral("Cam opened: ")), before + 1);

        // Unplugged: only the placeholder is left.
        QVERIFY(QFile::remove("simulated-head.ini"));
        w.form()->actionRefresh->trigger();
        QCOMPARE(list->count(), 1);
    }

    void streamActionTextAndCheckedState() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({});
        plugHead();
        MainWindow w;
        stopTemperatureTimer(w);
        w.show();
        QVERIFY(testsupport::waitUntil([&] { return w.form()->graphicsView->scene(); }));
        Ui::MainWindow* ui = w.form();
        BasCam* cam = w.camera();
        openFirstCamera(w);
        ui->actionStartStream->setEnabled(true);

        int frames = 0;
        QObject counter;
        connect(cam, &BasCam::ImageIsAvailable, &counter, [&frames](QImage) { ++frames; });

        ui->actionStartStream->setChecked(true);
        QCOMPARE(ui->actionStartStream->text(), QStringLiteral("Stop Streaming"));
        QVERIFY(ui->actionStartStream->isChecked());
        QVERIFY(cam->isGrabbing());
        // One image per request: more than one arrives only if each is re-armed.
        QVERIFY(testsupport::waitUntil([&] { return frames >= 5; }, 10000));

        ui->actionStartStream->setChecked(false);
        QCOMPARE(ui->actionStartStream->text(), QStringLiteral("Start Streaming"));
        QVERIFY(!ui->actionStartStream->isChecked());
        QVERIFY(!cam->isGrabbing());
        QCOMPARE(ui->statusbar->currentMessage(), QStringLiteral("Streaming stopped"));

        // A start that fails (no camera) leaves the action unchecked with its start text.
        ui->statusbar->clearMessage();
        QCOMPARE(cam->openCamera(-1), 0);
        ui->actionStartStream->setChecked(true);
        QVERIFY(!ui->actionStartStream->isChecked());
        QCOMPARE(ui->actionStartStream->text(), QStringLiteral("Start Streaming"));
        QCOMPARE(ui->statusbar->currentMessage(), QStringLiteral("Streaming stopped"));
        QVERIFY(!cam->isGrabbing());
    }

    void closingWhileStreamingStopsAndSaves() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({});
        plugHead();
        {
            MainWindow w;
            stopTemperatureTimer(w);
            w.show();
            openFirstCamera(w);
            w.form()->actionStartStream->setEnabled(true);
            w.form()->actionStartStream->setChecked(true);
            QVERIFY(w.camera()->isGrabbing());
            QTest::qWait(100);
            w.close();
        }
        QCOMPARE(stored("width").toInt(), 320);
        QCOMPARE(todaysLog().count(QStringLiteral("Exit Ok")), 1);
    }

    void temperatureColoursAndTexts_data() {
        QTest::addColumn<double>("celsius");
        QTest::addColumn<QString>("style");
        QTest::addColumn<QString>("text");
        QTest::newRow("59.9") << 59.9 << "color:#0F5;"
                              << "Sensor temperature: 59.9";
        QTest::newRow("60.0") << 60.0 << "color:#FC0;"
                              << "Sensor temperature: 60.0";
        QTest::newRow("68.9") << 68.9 << "color:#FC0;"
                              << "Sensor temperature: 68.9";
        QTest::newRow("69.0") << 69.0 << "color:#F00;"
                              << "Sensor temperature: 69.0";
        QTest::newRow("74.0") << 74.0 << "color:#F00;"
                              << "Sensor temperature: 74.0";
    }
    void temperatureColoursAndTexts() {
        QFETCH(double, celsius);
        QFETCH(QString, style);
        QFETCH(QString, text);
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({});
        plugHead(celsius);
        MainWindow w;
        stopTemperatureTimer(w);
        QLabel* label = w.form()->temperatureLabel;

        w.UpdateTemperature(); // no camera yet
        QCOMPARE(label->text(), QStringLiteral("Sensor temperature: N/A"));

        openFirstCamera(w);
        w.UpdateTemperature();
        QCOMPARE(label->text(), text);
        QCOMPARE(label->styleSheet(), style);
        QVERIFY(w.camera()->isOpen());
        QCOMPARE(answer.count(), 0);
        QVERIFY(!todaysLog().contains("Critical temp"));

        // Closed again: no reading, the colour stays.
        QCOMPARE(w.camera()->openCamera(-1), 0);
        w.UpdateTemperature();
        QCOMPARE(label->text(), QStringLiteral("Sensor temperature: N/A"));
        QCOMPARE(label->styleSheet(), style);
    }

    void criticalTemperatureClosesTheCamera() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({});
        plugHead(74.1);
        MainWindow w;
        stopTemperatureTimer(w);
        w.show();
        QLabel* label = w.form()->temperatureLabel;
        label->setText(QStringLiteral("Sensor temperature: 73.8"));
        openFirstCamera(w);

        bool openWhenBoxShown = true;
        answer.enqueue([&](QWidget* box) {
            openWhenBoxShown = w.camera()->isOpen();
            testsupport::ModalAnswerer::pressButton(QMessageBox::Ok)(box);
        });
        w.UpdateTemperature();

        QCOMPARE(answer.count(), 1);
        const testsupport::SeenModal seen = answer.seen().first();
        QCOMPARE(seen.className, QStringLiteral("QMessageBox"));
        QCOMPARE(seen.title, QStringLiteral("Critical temperature"));
        QCOMPARE(seen.text, QString::fromUtf8("The sensor has reached 75\xC2\xB0"
                                              "C, the device has been closed.\n"
                                              "- Please stop the laser emission\n"
                                              "- Unplug the USB\n- Cool your device"));
        QVERIFY(!openWhenBoxShown); // closed before the user is told
        QVERIFY(!w.camera()->isOpen());
        QCOMPARE(w.form()->listCamComboBox->currentIndex(), 0);
        QCOMPARE(todaysLog().count(QStringLiteral(" > Critical temp: 74.1\n")), 1);
        QCOMPARE(label->text(), QStringLiteral("Sensor temperature: 73.8"));
        QCOMPARE(label->styleSheet(), QStringLiteral("color:#F00;"));

        // The next reading finds no camera: no second box.
        w.UpdateTemperature();
        QCOMPARE(label->text(), QStringLiteral("Sensor temperature: N/A"));
        QCOMPARE(answer.count(), 1);
    }

    void criticalTemperatureWhileStreaming() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        storeSettings({});
        plugHead(80.0);
        MainWindow w;
        stopTemperatureTimer(w);
        w.show();
        openFirstCamera(w);
        w.form()->actionStartStream->setEnabled(true);
        w.form()->actionStartStream->setChecked(true);
        QVERIFY(w.camera()->isGrabbing());
        QTest::qWait(50);
        w.UpdateTemperature();
        QCOMPARE(answer.titles(), QStringList{QStringLiteral("Critical temperature")});
        QVERIFY(!w.camera()->isOpen());
        QVERIFY(!w.camera()->isGrabbing());
        QTest::qWait(50); // the window stays usable
        w.UpdateTemperature();
        QCOMPARE(w.form()->temperatureLabel->text(), QStringLiteral("Sensor temperature: N/A"));
    }
};

int main(int argc, char** argv) {
    // A screen large enough for the default 1100 x 850 window, like a bench PC's.
    QTemporaryDir config;
    if (!testsupport::useOffscreenScreen(config, 1600, 1200))
        return 2;
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_mainwindow.moc"
