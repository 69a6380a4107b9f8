// Window members whose full behaviour belongs to other work still in progress. Each one
// here is the smallest behaviour that keeps the window consistent until then.

#include "BasCam.h"
#include "MainWindow.h"

#include <QTimer>

void MainWindow::UpdateCalibrations(int nused) {
    // implemented by the calibration work
    Q_UNUSED(nused);
}

void MainWindow::on_calRPushButton_clicked() {
    // implemented by the calibration work
}

void MainWindow::on_calGPushButton_clicked() {
    // implemented by the calibration work
}

void MainWindow::on_calBPushButton_clicked() {
    // implemented by the calibration work
}

void MainWindow::on_addWL_R_clicked() {
    // implemented by the calibration work
}

void MainWindow::on_addWL_G_clicked() {
    // implemented by the calibration work
}

void MainWindow::on_addWL_B_clicked() {
    // implemented by the calibration work
}

void MainWindow::refreshWavelengthLists() {
    // implemented by the calibration work
}

void MainWindow::calibrationSampleStep(int channel) {
    // implemented by the calibration work
    Q_UNUSED(channel);
}
