// The window's calibration side with the real window: the boxes of a calibration load in
// their order, the wavelength lists and their one connection per combo box, adding a
// wavelength, and the power-calibration dialog with its start and cancel paths.

#include "../calibration/CalibrationTestFiles.h"
#include "BasCam.h"
#include "CalibrationManagerDialog.h"
#include "Log.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"
#include "TestSupport.h"
#include "WindowTestKit.h"

#include <QApplication>
#include <QDate>
#include <QFile>
#include <QInputDialog>
#include <QLocale>
#include <QMap>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

const QString kNotCalibrated = QStringLiteral("Wavelength not calibrated");
const QString kInvalid = QStringLiteral("Invalid parameters");

QString readFile(const QString& path) {
    return testsupport::readTextFile(path);
}
using testsupport::todaysLog;

using windowtest::writeText;

void notesAlreadySeen() {
    testsupport::storeSettings({});
}

// A small head without frame-rate limit; its file name depends on this serial.
// Four frames a second: the session measures ahead of the window, so only a slow head
// lets a test stop the stream after the first shown frame, before the stabiliser is full
// and the session samples on its own.
QByteArray headFile(const QByteArray& extra = {}) {
    return "[head]\nserial=40400077\nname=Cal head\nsensorWidth=320\nsensorHeight=240\n"
           "maxFps=4\n" +
           extra;
}

const QString kHeadCalFile = QStringLiteral("_calibration_40400077.kvtcal");
const QString kNoCameraFile = QStringLiteral("_calibration_0.kvtcal");

// Factory columns for the three fixed wavelengths, so a load shows no box.
QByteArray factoryFile(const QByteArray& extra = {}) {
    QByteArray out;
    const char* sections[] = {"635", "520", "445"};
    for (const char* s : sections)
        out += QByteArray("[") + s + "]\nM0x_TL=1\nM1x_TL=0\nM2x_TL=0\n";
    // Columns that differ per channel, so the matrix is invertible.
    out.replace("[520]\nM0x_TL=1\nM1x_TL=0", "[520]\nM0x_TL=0\nM1x_TL=1");
    out.replace("[445]\nM0x_TL=1\nM1x_TL=0\nM2x_TL=0", "[445]\nM0x_TL=0\nM1x_TL=0\nM2x_TL=1");
    return out + extra;
}

QStringList items(QComboBox* c) {
    QStringList out;
    for (int i = 0; i < c->count(); ++i)
        out << c->itemText(i);
    return out;
}

// Lets the deferred part of start-up run (it connects the wavelength combos).
void started(MainWindow& w) {
    QVERIFY(testsupport::waitUntil([&] { return w.form()->graphicsView->scene() != nullptr; }));
}

// A private working directory with the given files, the notes of this version seen, and
// the window started (its deferred start-up done). Tests check QTest::currentTestFailed()
// after constructing it.
struct StartedWindow {
    testsupport::TempWorkDir dir;
    std::unique_ptr<testsupport::ModalAnswerer> answer;
    std::unique_ptr<MainWindow> w;

    explicit StartedWindow(const QMap<QString, QByteArray>& files = {}) {
        notesAlreadySeen();
        for (auto it = files.begin(); it != files.end(); ++it)
            writeText(it.key(), it.value());
        answer = std::make_unique<testsupport::ModalAnswerer>();
        w = std::make_unique<MainWindow>();
        started(*w);
        answer->clear();
    }
};

// The test head plugged in with factory columns for its wavelengths (or the given file) and
// opened, its calibration buttons unlocked as selecting it would.
struct OpenHead : StartedWindow {
    explicit OpenHead(const QByteArray& headKeys = {}, const QByteArray& calFile = factoryFile())
        : StartedWindow({{QStringLiteral("simulated-head.ini"), headFile(headKeys)},
                         {kHeadCalFile, calFile}}) {
        windowtest::openFirstCamera(*w);
        w->form()->calRPushButton->setEnabled(true);
        w->form()->calGPushButton->setEnabled(true);
        w->form()->calBPushButton->setEnabled(true);
    }
};

// Starts a power calibration of the channel and stops the stream after its first frame,
// before the stabiliser is full: the frame's signal stays for the samples taken by hand.
void startCalibrationAndPause(MainWindow& w, testsupport::ModalAnswerer& answer, int channel) {
    Ui::MainWindow* ui = w.form();
    ui->imgStabSlider->setValue(10);
    ui->valuePowerRed->clear();
    QPushButton* buttons[] = {ui->calRPushButton, ui->calGPushButton, ui->calBPushButton};
    answer.enqueue(testsupport::ModalAnswerer::acceptDouble(1.5));
    buttons[channel]->click();
    QVERIFY(testsupport::waitUntil([&] { return !ui->valuePowerRed->text().isEmpty(); }));
    ui->actionStartStream->setChecked(false);
    QVERIFY(testsupport::waitUntil([&] { return !w.camera()->isGrabbing(); }));
}

} // namespace

class TestCalibrationWindow : public QObject {
    Q_OBJECT
private slots:
    void loadShowsWarningsInChannelOrderThenLogs() {
        StartedWindow bench;
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        Ui::MainWindow* ui = w.form();

        // No camera: serial 0, no file, so every selected wavelength is uncalibrated.
        ui->waveRCombo->addItem(QStringLiteral("650"));
        ui->waveRCombo->setCurrentIndex(ui->waveRCombo->count() - 1);
        const QList<testsupport::SeenModal> seen = answer.seen();
        QCOMPARE(answer.titles(), QStringList(3, kNotCalibrated));
        QVERIFY(seen[0].text.startsWith(QStringLiteral("650nm is not calibrated:\n- Please, ")));
        QVERIFY(seen[1].text.startsWith(QStringLiteral("520nm is not calibrated")));
        QVERIFY(seen[2].text.startsWith(QStringLiteral("445nm is not calibrated")));
        QCOMPARE(ui->calRPushButton->text(), QStringLiteral("Calibrate 650"));
        QCOMPARE(ui->maxRLabel->text(), QStringLiteral("Max 650 = "));
        QCOMPARE(ui->calGPushButton->text(), QStringLiteral("Calibrate 520"));

        // The default matrix's inverse went to the log, one entry per corner, TL to BR.
        const QString log = todaysLog();
        const int tl = log.lastIndexOf(QStringLiteral("Cal Loaded Top Left\n\t"));
        const int br = log.lastIndexOf(QStringLiteral("Cal Loaded Bot Right\n\t"));
        QVERIFY(tl >= 0 && br > tl);
        QVERIFY(log.indexOf(QStringLiteral("Cal Loaded Top Right\n\t"), tl) < br);
        QVERIFY(!QFile::exists(kNoCameraFile)); // loading never creates the file
    }

    void calibratedWavelengthsLoadSilently() {
        StartedWindow bench({{kNoCameraFile, factoryFile()}});
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        w.UpdateCalibrations(0);
        QCOMPARE(answer.count(), 0);
        // Identity columns in TL, defaults elsewhere: the TL inverse is the identity.
        QVERIFY(todaysLog().contains(
            QStringLiteral("Cal Loaded Top Left\n\t1\t0\t0\n\t0\t1\t0\n\t0\t0\t1\n")));

        // Two equal columns make TL singular: one critical box, nothing else.
        writeText(kNoCameraFile,
                  factoryFile().replace("[520]\nM0x_TL=0\nM1x_TL=1", "[520]\nM0x_TL=1\nM1x_TL=0"));
        w.UpdateCalibrations(0);
        QCOMPARE(answer.titles(), QStringList{kInvalid});
        QCOMPARE(answer.seen().first().className, QStringLiteral("QMessageBox"));

        // A damaged file: said once, as damaged, instead of a box per wavelength each time.
        answer.clear();
        writeText(kNoCameraFile, "[635]\nM0x_TL=1\n[Pow");
        w.UpdateCalibrations(0);
        w.UpdateCalibrations(0);
        QCOMPARE(answer.titles(), QStringList{"Calibration file damaged"});
        QVERIFY(answer.seen().first().text.contains("_calibration_0.kvtcal is not a valid ini"));
    }

    void rebuildingTheListsShowsNoBoxAndKeepsOneConnection() {
        StartedWindow bench({{kNoCameraFile, factoryFile("[R_Wavelengths]\n638=true\n650=true\n"
                                                         "[B_Wavelengths]\n462=true\n")}});
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        Ui::MainWindow* ui = w.form();
        ui->waveGCombo->setCurrentIndex(0);
        answer.clear();

        for (int round = 0; round < 3; ++round)
            w.refreshWavelengthLists();
        QCOMPARE(answer.count(), 0);
        QCOMPARE(items(ui->waveRCombo), (QStringList{"635", "638", "650"}));
        QCOMPARE(items(ui->waveGCombo), QStringList{"520"});
        QCOMPARE(items(ui->waveBCombo), (QStringList{"445", "462"}));

        // Selecting an uncalibrated entry loads once: one box, not one per refresh.
        ui->waveRCombo->setCurrentIndex(2);
        QCOMPARE(answer.titles(), QStringList{kNotCalibrated});
        QVERIFY(answer.seen().first().text.startsWith(QStringLiteral("650nm")));

        // The index survives a rebuild, without a reload.
        answer.clear();
        w.refreshWavelengthLists();
        QCOMPARE(ui->waveRCombo->currentIndex(), 2);
        QCOMPARE(answer.count(), 0);
    }

    void addingWavelengths() {
        StartedWindow bench({{kNoCameraFile, factoryFile()}});
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        Ui::MainWindow* ui = w.form();

        // The dialog proposes the channel's usual next wavelength.
        QString proposed;
        answer.enqueue([&proposed](QWidget* m) {
            auto* in = qobject_cast<QInputDialog*>(m);
            QVERIFY(in);
            proposed = in->textValue();
            in->setTextValue(QStringLiteral("635"));
            in->accept();
        });
        ui->addWL_R->click();
        QCOMPARE(proposed, QStringLiteral("650"));
        QCOMPARE(answer.seen().first().title, QStringLiteral("Enter Wavelength (R)"));
        QCOMPARE(answer.seen().first().text, QStringLiteral("Enter the wavelength you want"));
        QCOMPARE(items(ui->waveRCombo), (QStringList{"635", "635"}));
        QCOMPARE(ui->waveRCombo->currentIndex(), 0); // not selected

        answer.enqueue(testsupport::ModalAnswerer::acceptText(QStringLiteral("532")));
        ui->addWL_G->click();
        answer.enqueue(testsupport::ModalAnswerer::acceptText(QStringLiteral("532")));
        ui->addWL_G->click();
        QCOMPARE(items(ui->waveGCombo), (QStringList{"520", "532"}));

        // Cancelled: nothing written.
        const QByteArray before = readFile(kNoCameraFile).toUtf8();
        answer.enqueue(testsupport::ModalAnswerer::reject());
        ui->addWL_B->click();
        QCOMPARE(readFile(kNoCameraFile).toUtf8(), before);

        // A text the file cannot hold as one key: one warning, nothing written.
        answer.clear();
        answer.enqueue(testsupport::ModalAnswerer::acceptText(QStringLiteral("45/0")));
        ui->addWL_B->click();
        QCOMPARE(answer.count(), 2);
        QCOMPARE(answer.seen().at(1).className, QStringLiteral("QMessageBox"));
        QCOMPARE(readFile(kNoCameraFile).toUtf8(), before);
        QCOMPARE(items(ui->waveBCombo), QStringList{"445"});

        QSettings s(kNoCameraFile, QSettings::IniFormat);
        QCOMPARE(s.value(QStringLiteral("R_Wavelengths/635")).toBool(), true);
        s.beginGroup(QStringLiteral("G_Wavelengths"));
        QCOMPARE(s.childKeys(), QStringList{"532"});
    }

    // A hand-edited file loads without a box; a calibration that looks wrong or would be
    // written over such a file is stored only when the user says so, into a new file.
    void calibrationIntoAHandEditedFileAsksFirst() {
        const QByteArray edited = caltest::handEdits().last().second;
        OpenHead bench({}, edited);
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        w.UpdateCalibrations(0);
        QCOMPARE(answer.count(), 0);
        // Top left, at an exposure the camera was given (selecting it would do both).
        w.form()->tlSelButton->setChecked(true);
        w.form()->exposureSpin->setValue(2.0);
        emit w.form()->exposureSpin->editingFinished();
        const QString backup = kHeadCalFile + ".bak-" + QDate::currentDate().toString(Qt::ISODate);
        const QString doubt = QStringLiteral("Check the calibration of 635");
        const QString newFile = QStringLiteral("Save calibration to a new file");

        // All three beams shine: the signal is doubtful. Cancelled there, or at the new file:
        // nothing is written either way.
        for (int cancelAt : {0, 1}) {
            answer.clear();
            startCalibrationAndPause(w, answer, 0);
            answer.enqueue(testsupport::ModalAnswerer::pressButton(cancelAt ? QMessageBox::Save
                                                                            : QMessageBox::Cancel));
            if (cancelAt)
                answer.enqueue(testsupport::ModalAnswerer::pressButton(QMessageBox::Cancel));
            for (int i = 0; i < 5; ++i)
                w.calibrationSampleStep(0);
            QCOMPARE(answer.titles().mid(1), QStringList({doubt, newFile}).mid(0, cancelAt + 1));
            QCOMPARE(caltest::readRaw(kHeadCalFile), edited);
            QVERIFY(!QFile::exists(backup) && w.form()->calRPushButton->isEnabled());
        }
        QVERIFY(answer.seen().at(1).text.contains("the other beams carry"));
        QVERIFY(answer.seen().at(2).text.contains("continues a value on the next line at line 17"));
        QVERIFY(answer.seen().at(2).text.endsWith("The current file is kept as " + backup + "."));

        // Stored: the column and its factor are both in the new file when "done" shows.
        answer.clear();
        startCalibrationAndPause(w, answer, 0);
        bool completeAtDone = false;
        answer.enqueue(testsupport::ModalAnswerer::pressButton(QMessageBox::Save));
        answer.enqueue(testsupport::ModalAnswerer::pressButton(QMessageBox::Save));
        answer.enqueue([&](QWidget* m) {
            const QSettings s(kHeadCalFile, QSettings::IniFormat);
            const double factor = s.value(QStringLiteral("Power/635_TL")).toDouble();
            completeAtDone =
                s.contains(QStringLiteral("635/user/M0x_TL")) && factor > 0 && factor != 30.5;
            testsupport::ModalAnswerer::pressButton(QMessageBox::Ok)(m);
        });
        for (int i = 0; i < 5; ++i)
            w.calibrationSampleStep(0);
        QCOMPARE(answer.titles().mid(1), (QStringList{doubt, newFile, "Calibration of 635 done"}));
        QVERIFY(completeAtDone);
        QCOMPARE(caltest::readRaw(backup), edited);
        QCOMPARE(QSettings(kHeadCalFile, QSettings::IniFormat).value("520/M1x_TL").toDouble(),
                 0.956);
    }

    void calibrationButtonsNeedAnOpenCamera() {
        StartedWindow bench;
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        w.on_calGPushButton_clicked();
        QTest::qWait(50);
        QCOMPARE(answer.count(), 0);
    }

    void cancelledDialogResumesOnlyWhatRan() {
        OpenHead bench;
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        Ui::MainWindow* ui = w.form();
        BasCam* cam = w.camera();

        // The dialog as the user meets it: limits, decimals, point as separator.
        QInputDialog* dialog = nullptr;
        bool grabbingWhileAsked = true;
        answer.enqueue([&](QWidget* m) {
            dialog = qobject_cast<QInputDialog*>(m);
            QVERIFY(dialog);
            grabbingWhileAsked = cam->isGrabbing();
            QCOMPARE(dialog->inputMode(), QInputDialog::DoubleInput);
            QCOMPARE(dialog->doubleValue(), 10.0);
            QCOMPARE(dialog->doubleMinimum(), 0.1);
            QCOMPARE(dialog->doubleMaximum(), 300.0);
            QCOMPARE(dialog->doubleDecimals(), 3);
            QCOMPARE(dialog->locale().decimalPoint(), QStringLiteral("."));
            QCOMPARE(dialog->parentWidget(), &w);
            dialog->reject();
        });
        cam->startGrabbing();
        QVERIFY(cam->isGrabbing());
        ui->calRPushButton->click();
        QVERIFY(dialog);
        QVERIFY(!grabbingWhileAsked);
        QVERIFY(cam->isGrabbing());
        const QList<testsupport::SeenModal> seen = answer.seen();
        QCOMPARE(seen.first().title, QStringLiteral("Calibration of 635"));
        QVERIFY(seen.first().text.startsWith(
            QStringLiteral("Calibration of 635nm is about to begin.\n")));
        QVERIFY(seen.first().text.contains(QStringLiteral("- \"Max 635\" should be around")));

        // Not grabbing before: stays stopped. Nothing of a run has begun either way.
        cam->stopGrabbing();
        answer.enqueue(testsupport::ModalAnswerer::reject());
        ui->calBPushButton->click();
        QVERIFY(!cam->isGrabbing());
        QVERIFY(ui->autoExpoCheckBox->isChecked());
        QVERIFY(!QSettings(kHeadCalFile, QSettings::IniFormat)
                     .childGroups()
                     .contains(QStringLiteral("Power")));
    }

    void zeroSignalRunEndsWithInvalidMatrixAndNoFactor() {
        // A dark head: whatever frames are measured, the signal stays zero.
        OpenHead bench("R_power=0\nG_power=0\nB_power=0\nnoise=0\nbackground=0\n");
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        Ui::MainWindow* ui = w.form();
        BasCam* cam = w.camera();
        ui->trSelButton->setChecked(true);
        ui->imgStabSlider->setValue(10);

        answer.enqueue(testsupport::ModalAnswerer::acceptDouble(2.5));
        ui->calGPushButton->click();
        // The run has begun: raw mode, buttons locked, automatic exposure off, streaming.
        QVERIFY(!ui->autoExpoCheckBox->isChecked());
        QVERIFY(!ui->calRPushButton->isEnabled() && !ui->calBPushButton->isEnabled());
        QVERIFY(ui->actionStartStream->isChecked());
        QCOMPARE(ui->actionStartStream->text(), QStringLiteral("Stop Streaming"));
        QVERIFY(cam->isGrabbing());
        QVERIFY(todaysLog().contains(
            QStringLiteral("Cal Loaded Bot Right\n\t1\t0\t0\n\t0\t1\t0\n\t0\t0\t1\n")));
        ui->actionStartStream->setChecked(false);
        QVERIFY(testsupport::waitUntil([&] { return !cam->isGrabbing(); }));

        // The signal is zero: five samples of 0, 0, 0.
        for (int i = 0; i < 4; ++i)
            w.calibrationSampleStep(1);
        QCOMPARE(answer.count(), 1);
        QVERIFY(!ui->calRPushButton->isEnabled());
        w.calibrationSampleStep(1);

        QCOMPARE(answer.titles(),
                 (QStringList{QStringLiteral("Calibration of 520"),
                              QStringLiteral("Calibration of 520 done"), kInvalid}));
        QCOMPARE(answer.seen().at(1).text, QStringLiteral("Calibration of 520 done!"));
        QVERIFY(ui->calRPushButton->isEnabled() && ui->calGPushButton->isEnabled());
        QVERIFY(ui->autoExpoCheckBox->isChecked());

        QSettings s(kHeadCalFile, QSettings::IniFormat);
        QCOMPARE(s.value(QStringLiteral("520/user/M0x_TR")).toDouble(), 0.0);
        QCOMPARE(s.value(QStringLiteral("520/user/M2x_TR")).toDouble(), 0.0);
        QVERIFY(!s.contains(QStringLiteral("520/user/M0x_BR")));
        QVERIFY(!s.contains(QStringLiteral("Power/520_TR"))); // an infinite factor is not kept

        // The run is over: a further sample does nothing.
        w.calibrationSampleStep(1);
        QCOMPARE(answer.count(), 3);
    }

    // The Calibration menu: Add wavelength asks for the channel first; Manage Calibrations
    // imports a file, and the session measures with it at once.
    void calibrationMenu() {
        OpenHead bench({}, factoryFile("[Power]\n520_TL=40\n"));
        if (QTest::currentTestFailed())
            return;
        MainWindow& w = *bench.w;
        testsupport::ModalAnswerer& answer = *bench.answer;
        Ui::MainWindow* ui = w.form();
        QVERIFY(ui->menuCalibration->menuAction()->isVisible());

        answer.enqueue(testsupport::ModalAnswerer::acceptText(QStringLiteral("G")));
        answer.enqueue(testsupport::ModalAnswerer::acceptText(QStringLiteral("532")));
        ui->actionAddWave->trigger();
        QCOMPARE(answer.titles(), QStringList({"Add wavelength", "Enter Wavelength (G)"}));
        QCOMPARE(items(ui->waveGCombo), (QStringList{"520", "532"}));
        ui->waveGCombo->setCurrentIndex(1); // not calibrated: its box is answered
        const QByteArray before = readFile(kHeadCalFile).toUtf8();

        // The chosen file does not list 532: green falls back to its fixed entry.
        writeText(QStringLiteral("chosen.kvtcal"), factoryFile("[Power]\n520_TL=80\n"));
        answer.clear();
        int rows = 0;
        answer.enqueue([&rows](QWidget* m) {
            auto* d = qobject_cast<CalibrationManagerDialog*>(m);
            if (!d) {
                m->close();
                return;
            }
            rows = d->table()->rowCount();
            // After this handler: the answerer takes no box while it runs one.
            QTimer::singleShot(0, d, [d] {
                d->importFile(QStringLiteral("chosen.kvtcal"));
                d->reject();
            });
        });
        answer.enqueue(testsupport::ModalAnswerer::pressButton(QMessageBox::Yes));
        ui->actionManageCal->trigger();
        QCOMPARE(answer.titles(), QStringList({"Manage Calibrations", "Import calibration"}));
        QCOMPARE(rows, 4 * 4); // 445, 520, 532 (listed only), 635
        QCOMPARE(items(ui->waveGCombo), QStringList{"520"});
        QCOMPARE(w.session()->calibrationData().powerFactor[1][0], 80.0);
        QCOMPARE(readFile(kHeadCalFile + QStringLiteral(".bak-") +
                          QDate::currentDate().toString(Qt::ISODate))
                     .toUtf8(),
                 before);
    }
};

QTEST_MAIN(TestCalibrationWindow)
#include "tst_calibrationwindow.moc"
