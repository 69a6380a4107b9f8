// What a new user meets first: Auto ROI in the window (the check box, the mouse taking
// over, the status-bar reason), the spot view kept on the region, the hint while no
// sensor head is selected, and the accessible names of the measuring controls and results.

#include "BasCam.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"

#include <QScrollBar>

namespace {

const QString kSelectHint = QStringLiteral("Select a sensor head to start");

} // namespace

void MainWindow::setUpAutoRoi() {
    ui->autoRoiCheckBox->show();
    connect(ui->autoRoiCheckBox, &QCheckBox::toggled, this, [this](bool on) {
        measuring->setAutoRoi(on);
        if (!on && !autoRoiReason.isEmpty()) {
            // A reason for a search that no longer runs would only mislead.
            autoRoiReason.clear();
            showStreamingStatus();
        }
    });
    measuring->setAutoRoi(ui->autoRoiCheckBox->isChecked());
    connect(
        measuring, &lumetra::session::MeasureSession::autoRoiMoved, this,
        [this](const QRect& roi) {
            // A move queued before the user drew a region or unchecked the box is stale.
            if (!ui->autoRoiCheckBox->isChecked())
                return;
            showRoiInSpotView(roi, false);
            ProcessFrame(lastFrame.copy());
        },
        Qt::QueuedConnection);
    connect(
        measuring, &lumetra::session::MeasureSession::autoRoiNoBeam, this,
        [this](const QString& reason) {
            autoRoiReason = ui->autoRoiCheckBox->isChecked() ? reason : QString();
            showStreamingStatus();
        },
        Qt::QueuedConnection);
}

void MainWindow::takeRoiFromMouse() {
    // Drawing is choosing the region: the automatic choice must not take it back.
    if (ui->autoRoiCheckBox->isChecked())
        ui->autoRoiCheckBox->setChecked(false);
}

void MainWindow::showStreamingStatus() {
    if (!measuring->isOpen()) {
        ui->statusbar->showMessage(kSelectHint, 0);
        return;
    }
    if (!measuring->isStreaming()) {
        if (!autoRoiReason.isEmpty())
            ui->statusbar->showMessage(QStringLiteral("Auto ROI: ") + autoRoiReason, 0);
        return;
    }
    QString text = QStringLiteral("Streaming - ") + QString::number(lastFrameRate, 'g', 6) +
                   QStringLiteral(" FPS");
    if (!autoRoiReason.isEmpty())
        text += QStringLiteral(" - Auto ROI: ") + autoRoiReason;
    ui->statusbar->showMessage(text, 0);
}

void MainWindow::showRoiInSpotView(const QRect& roi, bool always) {
    QScrollBar* bh = ui->scrollArea->horizontalScrollBar();
    QScrollBar* bv = ui->scrollArea->verticalScrollBar();
    const QRect seen(bh->value(), bv->value(), ui->scrollArea->viewport()->width(),
                     ui->scrollArea->viewport()->height());
    // The view's frame is one pixel wide around the image.
    const QRect shown = roi.translated(1, 1);
    if (!always && seen.contains(shown))
        return;
    bh->setValue(shown.center().x() - seen.width() / 2);
    bv->setValue(shown.center().y() - seen.height() / 2);
}

void MainWindow::nameMeasuringParts() {
    struct Name {
        QWidget* widget;
        const char* name;
    };
    const Name names[] = {
        {ui->tlSelButton, "Top-left spot"},
        {ui->trSelButton, "Top-right spot"},
        {ui->blSelButton, "Bottom-left spot"},
        {ui->brSelButton, "Bottom-right spot"},
        {ui->graphicsView, "Spot view"},
        {ui->previewGraphics, "Preview"},
        {ui->listCamComboBox, "Sensor head"},
        {ui->exposureSpin, "Exposure"},
        {ui->autoExpoCheckBox, "Auto exposure"},
        {ui->autoRoiCheckBox, "Auto ROI"},
        {ui->redDivValue, "Red divergence"},
        {ui->greenDivValue, "Green divergence"},
        {ui->blueDivValue, "Blue divergence"},
        {ui->divValue, "All divergence"},
        {ui->rgValue, "Red-green alignment"},
        {ui->bgValue, "Blue-green alignment"},
        {ui->rbValue, "Red-blue alignment"},
        {ui->valuePowerRed, "Red power"},
        {ui->valuePowerGreen, "Green power"},
        {ui->valuePowerBlue, "Blue power"},
        {ui->valuePowerTotal, "Total power"},
        {ui->maxRValue, "Red peak level"},
        {ui->maxGValue, "Green peak level"},
        {ui->maxBValue, "Blue peak level"},
        {ui->warningLabel, "Exposure warning"},
        {ui->warningRoiLabel, "Region warning"},
        {ui->temperatureLabel, "Sensor temperature"},
    };
    for (const Name& n : names)
        n.widget->setAccessibleName(QString::fromLatin1(n.name));
}
