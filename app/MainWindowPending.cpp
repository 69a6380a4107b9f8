// Window members whose full behaviour belongs to other work still in progress. Each one
// here is the smallest behaviour that keeps the window consistent until then.

#include "BasCam.h"
#include "MainWindow.h"

#include <QTimer>

void MainWindow::camList_IndexChanged(int index) {
    // implemented by the calibration/measurement work (camera selection flow)
    if (cam)
        cam->openCamera(index - 1);
}

void MainWindow::UpdateCalibrations(int nused) {
    // implemented by the calibration work
    Q_UNUSED(nused);
}

void MainWindow::RectSizeUpdate(QPoint pos) {
    // implemented by the measurement work
    Q_UNUSED(pos);
}

void MainWindow::RectPosUpdate(QPoint pos) {
    // implemented by the measurement work
    Q_UNUSED(pos);
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

void MainWindow::ProcessFrame(QImage image) {
    // implemented by the measurement work; until then only the next image is requested
    lastFrame = image;
    QTimer::singleShot(0, this, [this] {
        if (cam)
            cam->requestImage();
    });
}

void MainWindow::refreshWavelengthLists() {
    // implemented by the calibration work
}

void MainWindow::fitSpotView() {
    // implemented by the measurement work
}

QList<MeasurePair> MainWindow::ComputeMeasures(QImage crop) {
    // implemented by the measurement work
    Q_UNUSED(crop);
    return {};
}

void MainWindow::calibrationSampleStep(int channel) {
    // implemented by the calibration work
    Q_UNUSED(channel);
}
