// The window's camera parts: the camera list, the streaming action and the sensor
// temperature watch.

#include "BasCam.h"
#include "BeamAnalysisPanel.h"
#include "Log.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"

#include <QCoreApplication>
#include <QMessageBox>

void MainWindow::refreshCameraList() {
    // Going to the placeholder first closes an open camera through the normal selection
    // path, before the list changes under it.
    ui->listCamComboBox->setCurrentIndex(0);
    QCoreApplication::processEvents();

    disconnect(ui->listCamComboBox, &QComboBox::currentIndexChanged, this,
               &MainWindow::camList_IndexChanged);
    ui->listCamComboBox->clear();
    ui->listCamComboBox->addItem(QIcon(), QStringLiteral("Select KVT sensor"));
    ui->listCamComboBox->addItems(camera()->deviceNames());
    ui->listCamComboBox->setCurrentIndex(0);
    connect(ui->listCamComboBox, &QComboBox::currentIndexChanged, this,
            &MainWindow::camList_IndexChanged);
}

void MainWindow::on_actionStartStream_toggled(bool checked) {
    if (checked) {
        measuring->setAnalysisProfiles(beamPanel->isVisible());
        measuring->startStreaming();
        ui->actionStartStream->setText(QStringLiteral("Stop Streaming"));
    } else {
        QCoreApplication::processEvents();
        measuring->stopStreaming();
        ui->actionStartStream->setText(QStringLiteral("Start Streaming"));
        ui->statusbar->showMessage(QStringLiteral("Streaming stopped"));
    }
    QCoreApplication::processEvents();
    // A start that left the camera idle unchecks the action, which runs this slot again
    // with false and puts the text back.
    ui->actionStartStream->setChecked(measuring->isStreaming());
}

void MainWindow::UpdateTemperature() {
    const QString none = QStringLiteral("Sensor temperature: N/A");
    const float t = camera()->temperature();
    if (t == -100.0f) {
        ui->temperatureLabel->setText(none);
        return;
    }

    if (t < 60)
        ui->temperatureLabel->setStyleSheet(QStringLiteral("color:#0F5;"));
    else if (t < 69)
        ui->temperatureLabel->setStyleSheet(QStringLiteral("color:#FC0;"));
    else
        ui->temperatureLabel->setStyleSheet(QStringLiteral("color:#F00;"));

    if (t > 74) {
        // Close first, then log, then tell the user: the camera must not stay open while
        // the box waits for an answer.
        ui->listCamComboBox->setCurrentIndex(0);
        QCoreApplication::processEvents();
        // The list may already have shown the placeholder (no index change, so no
        // selection handling ran): close the camera directly then.
        if (measuring->isOpen())
            measuring->openCamera(QString());
        writeLog(QStringLiteral("Critical temp: ") + QString::number(t, 'g', 6));
        QMessageBox::critical(nullptr, QStringLiteral("Critical temperature"),
                              QStringLiteral("The sensor has reached 75\u00B0C, the device has "
                                             "been closed.\n- Please stop the laser emission\n"
                                             "- Unplug the USB\n- Cool your device"),
                              QMessageBox::Ok);
        return;
    }
    ui->temperatureLabel->setText(QStringLiteral("Sensor temperature: ") +
                                  QString::number(t, 'f', 1));
}

void MainWindow::handleCameraLoss(const QString& name) {
    // Already closed or replaced (the first-image check or the user got there first).
    BasCam* cam = camera();
    if (!cam->isLost())
        return;
    // Closed first, then the user is told: the box must not stand in front of a window
    // that still shows a stream. The list is refilled once the box is answered, so a
    // camera plugged back meanwhile is in it.
    ui->actionStartStream->setChecked(false);
    ui->listCamComboBox->setCurrentIndex(0);
    QCoreApplication::processEvents();
    if (cam->isLost()) // the list was already on the placeholder
        camList_IndexChanged(0);
    const QString what = name.isEmpty() ? QStringLiteral("The camera") : name;
    ui->statusbar->showMessage(QStringLiteral("Camera lost: ") + what, 0);
    QMessageBox::warning(nullptr, QStringLiteral("Camera lost"),
                         what + QStringLiteral(" stopped answering and has been closed.\n"
                                               "Check its cable or network, then select it "
                                               "again in the list."),
                         QMessageBox::Ok);
    refreshCameraList();
}
