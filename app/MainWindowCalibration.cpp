// Calibration loading, the wavelength lists and the power calibration, as seen from the
// window: the calibration layer decides, the window shows what it returns, in order.

#include "BasCam.h"
#include "BeamAnalysisPanel.h"
#include "Calibration.h"
#include "CalibrationManagerDialog.h"
#include "Log.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDebug>
#include <QInputDialog>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>

namespace cal = lumetra::calibration;

namespace {

QComboBox* waveCombo(Ui::MainWindow* ui, int channel) {
    QComboBox* combos[] = {ui->waveRCombo, ui->waveGCombo, ui->waveBCombo};
    return combos[channel];
}

} // namespace

void MainWindow::showNotices(const lumetra::calibration::Notices& notices) {
    for (const cal::Notice& n : notices) {
        // A file's own problem is said once, not at every reload of the calibration.
        if (n.fileProblem) {
            const QString key = QString::number(int(n.kind)) + n.text;
            if (shownFileProblems.contains(key))
                continue;
            shownFileProblems.insert(key);
        }
        switch (n.kind) {
        case cal::Notice::Kind::Debug:
            qDebug().noquote() << n.text;
            break;
        case cal::Notice::Kind::Log:
            writeLog(n.text);
            break;
        case cal::Notice::Kind::Information:
            QMessageBox::information(this, n.title, n.text);
            break;
        case cal::Notice::Kind::Warning:
            QMessageBox::warning(this, n.title, n.text);
            break;
        case cal::Notice::Kind::Critical:
            QMessageBox::critical(this, n.title, n.text);
            break;
        }
    }
}

std::array<QString, 3> MainWindow::selectedWavelengths() const {
    return {ui->waveRCombo->currentText(), ui->waveGCombo->currentText(),
            ui->waveBCombo->currentText()};
}

bool MainWindow::commitCalibration(
    const std::function<lumetra::calibration::WriteResult(bool asNewFile)>& write) {
    cal::WriteResult r = write(false);
    if (r.needsNewFile) {
        const QString file = measuring->calibrationFileToWrite();
        const auto answer = QMessageBox::question(
            this, cal::newFileQuestionTitle(), cal::newFileQuestionText(file, r),
            QMessageBox::Save | QMessageBox::Cancel, QMessageBox::Save);
        if (answer != QMessageBox::Save) {
            writeLog(QStringLiteral("Calibration file ") + file +
                     QStringLiteral(" left as it was: nothing written"));
            return false;
        }
        r = write(true);
    }
    showNotices(r.notices);
    return r.written;
}

void MainWindow::UpdateCalibrations(int nused) {
    const std::array<QString, 3> wl = selectedWavelengths();
    QPushButton* calButtons[] = {ui->calRPushButton, ui->calGPushButton, ui->calBPushButton};
    QLabel* maxLabels[] = {ui->maxRLabel, ui->maxGLabel, ui->maxBLabel};
    for (int c = 0; c < 3; ++c) {
        calButtons[c]->setText(cal::calibrateButtonText(wl[c]));
        maxLabels[c]->setText(cal::maxLabelText(wl[c]));
    }
    // The session measures with what it loaded before its notices (boxes) are shown.
    measuring->loadCalibration(wl, nused);
}

void MainWindow::refreshWavelengthLists() {
    const std::array<QStringList, 3> lists = cal::readWavelengthLists(measuring->calibrationFile());

    int indices[3];
    for (int c = 0; c < 3; ++c)
        indices[c] = waveCombo(ui, c)->currentIndex();

    disconnectWavelengthCombos();
    for (int c = 0; c < 3; ++c) {
        QComboBox* combo = waveCombo(ui, c);
        combo->clear();
        combo->addItems(lists[c]);
        // A list that became shorter (another file) falls back to the fixed entry rather
        // than to no selection, which would load an empty wavelength.
        combo->setCurrentIndex(indices[c] < combo->count() ? indices[c] : 0);
    }
    connectWavelengthCombos();
}

void MainWindow::addWavelength(int channel) {
    bool ok = false;
    const QString text =
        QInputDialog::getText(this, cal::addWavelengthTitle(channel), cal::addWavelengthLabel(),
                              QLineEdit::Normal, cal::proposedWavelength(channel), &ok);
    if (!ok)
        return;

    const QString file = measuring->calibrationFileToWrite();
    if (commitCalibration(
            [&](bool asNewFile) { return cal::addWavelength(file, channel, text, asNewFile); }))
        refreshWavelengthLists();
}

void MainWindow::on_addWL_R_clicked() {
    addWavelength(0);
}
void MainWindow::on_addWL_G_clicked() {
    addWavelength(1);
}
void MainWindow::on_addWL_B_clicked() {
    addWavelength(2);
}

void MainWindow::on_actionAddWave_triggered() {
    const QStringList channels = {QStringLiteral("R"), QStringLiteral("G"), QStringLiteral("B")};
    bool ok = false;
    const QString channel = QInputDialog::getItem(this, QStringLiteral("Add wavelength"),
                                                  QStringLiteral("Channel of the new wavelength:"),
                                                  channels, 0, false, &ok);
    if (ok && channels.contains(channel))
        addWavelength(int(channels.indexOf(channel)));
}

void MainWindow::on_actionManageCal_triggered() {
    CalibrationManagerDialog::Hooks hooks;
    hooks.file = [this] { return measuring->calibrationFile(); };
    hooks.fileToWrite = [this] { return measuring->calibrationFileToWrite(); };
    hooks.commit = [this](const CalibrationManagerDialog::Write& write) {
        return commitCalibration(write);
    };
    hooks.show = [this](const cal::Notices& notices) { showNotices(notices); };
    hooks.reload = [this] {
        // Another file: its problems are news again. The lists first, so the load uses
        // the selection they leave.
        shownFileProblems.clear();
        refreshWavelengthLists();
        UpdateCalibrations(0);
    };
    hooks.busy = [this] { return measuring->calibrationChannel() >= 0; };
    CalibrationManagerDialog dialog(std::move(hooks), this);
    dialog.exec();
}

void MainWindow::setCalibrationButtonsEnabled(bool enabled) {
    ui->calRPushButton->setEnabled(enabled);
    ui->calGPushButton->setEnabled(enabled);
    ui->calBPushButton->setEnabled(enabled);
}

void MainWindow::startPowerCalibration(int channel) {
    if (!measuring->isOpen())
        return;

    const bool wasGrabbing = measuring->isStreaming();
    measuring->stopStreaming();
    QCoreApplication::processEvents();

    const QString wl = waveCombo(ui, channel)->currentText();
    // A fresh dialog per run, released once answered (the window would otherwise collect
    // one hidden dialog per calibration).
    auto* dialog = new QInputDialog(this);
    dialog->setInputMode(QInputDialog::DoubleInput);
    dialog->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    dialog->setDoubleValue(10);
    dialog->setDoubleMinimum(0.1);
    dialog->setDoubleMaximum(300);
    dialog->setDoubleDecimals(3);
    dialog->setWindowTitle(cal::calibrationDialogTitle(wl));
    dialog->setLabelText(cal::calibrationDialogLabel(wl));
    const int answer = dialog->exec();
    const double power = dialog->doubleValue();
    dialog->deleteLater();

    if (answer != QDialog::Accepted) {
        if (wasGrabbing)
            measuring->startStreaming();
        return;
    }

    // Automatic exposure off (the box follows), raw matrices, a new fill.
    measuring->beginPowerCalibration(channel, power, selectedWavelengths());
    QCoreApplication::processEvents();
    setCalibrationButtonsEnabled(false);
    measuring->setAnalysisProfiles(beamPanel->isVisible());
    measuring->startStreaming();
    ui->actionStartStream->setText(QStringLiteral("Stop Streaming"));
    ui->actionStartStream->setChecked(true);
}

void MainWindow::on_calRPushButton_clicked() {
    startPowerCalibration(0);
}
void MainWindow::on_calGPushButton_clicked() {
    startPowerCalibration(1);
}
void MainWindow::on_calBPushButton_clicked() {
    startPowerCalibration(2);
}

void MainWindow::calibrationSampleStep(int channel, int channelMax,
                                       const cal::AnalysisSample& analysis) {
    if (const auto done = measuring->takeCalibrationSample(channel, channelMax, analysis))
        completePowerCalibration(*done);
}

void MainWindow::completePowerCalibration(const lumetra::session::CalibrationCompletion& done) {
    const int channel = done.channel;
    const std::array<QString, 3> wl = selectedWavelengths();
    const cal::CompletionPlan plan = measuring->planCalibrationCompletion(done, wl);
    showNotices(plan.notices);
    bool store = !plan.refused;
    if (store && !plan.doubts.isEmpty()) {
        store = QMessageBox::warning(this, cal::calibrationDoubtTitle(wl[channel]),
                                     cal::calibrationDoubtText(wl[channel], plan.doubts),
                                     QMessageBox::Save | QMessageBox::Cancel,
                                     QMessageBox::Cancel) == QMessageBox::Save;
    }
    // The column and its power factor in one write, before the box: a program ended
    // while the box is open keeps a complete calibration.
    if (store)
        store = commitCalibration([&](bool asNewFile) {
            return cal::writeCalibration(measuring->calibrationFileToWrite(), plan.changes,
                                         asNewFile);
        });
    if (store)
        QMessageBox::information(this, cal::calibrationDoneTitle(wl[channel]),
                                 cal::calibrationDoneText(wl[channel]));
    else
        writeLog(cal::calibrationDialogTitle(wl[channel]) + QStringLiteral(" not stored"));
    setCalibrationButtonsEnabled(true);
    UpdateCalibrations(0); // the run is still on, so no "not calibrated" boxes here
    measuring->endPowerCalibration();
}
