// What a new user meets first: Auto ROI in the window (the check box, the mouse taking
// over, the status-bar reason), the spot view kept on the region, the hint while no
// sensor head is selected, the accessible names of the measuring controls and results, and
// a result column that holds its widest texts.

#include "BasCam.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"
#include "Results.h"

#include <QDockWidget>
#include <QScrollBar>
#include <QStyle>

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

void MainWindow::keepResultColumnWhole() {
    namespace ms = lumetra::measure;
    // Each result label keeps the width of the widest text it can be given, so the column
    // neither jumps as numbers change nor has to scroll sideways. Divergences stay below
    // 10 mrad: a beam that wide no longer fits three times in the largest region.
    const QStringList common{ms::kProcessingText, ms::kNotAvailableText};
    const QStringList divergence = common + QStringList{ms::divergenceText({9.99f, 9.99f})};
    const QStringList alignment = common + QStringList{ms::alignmentText({-11.99f, -11.99f})};
    const QStringList power = common + QStringList{ms::kLowPowerText, ms::powerText(999.99, 0)};
    const QStringList peak{ms::kNotAvailableText, ms::maxText(255)};
    const auto reserve = [](QLabel* label, const QStringList& texts) {
        const QString shown = label->text();
        int widest = 0;
        for (const QString& t : texts) {
            label->setText(t);
            widest = qMax(widest, label->sizeHint().width());
        }
        label->setText(shown);
        label->setMinimumWidth(widest);
    };
    for (QLabel* l : {ui->redDivValue, ui->greenDivValue, ui->blueDivValue, ui->divValue})
        reserve(l, divergence);
    for (QLabel* l : {ui->rgValue, ui->bgValue, ui->rbValue})
        reserve(l, alignment);
    for (QLabel* l :
         {ui->valuePowerRed, ui->valuePowerGreen, ui->valuePowerBlue, ui->valuePowerTotal})
        reserve(l, power);
    for (QLabel* l : {ui->maxRValue, ui->maxGValue, ui->maxBValue})
        reserve(l, peak);

    // The column is as wide as its contents with a vertical scroll bar (within the form's
    // limit); the spot view, which scrolls anyway, takes what the window gains or loses.
    QScrollArea* column = ui->scrollArea_2;
    const int need = ui->scrollAreaWidgetContents_2->minimumSizeHint().width() +
                     2 * column->frameWidth() +
                     column->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, column);
    column->setMinimumWidth(qBound(column->minimumWidth(), need, column->maximumWidth()));
    ui->splitter->setStretchFactor(0, 1);
    ui->splitter->setStretchFactor(1, 0);
}

void MainWindow::fitBeamDock() {
    if (beamDock->isHidden() || beamDock->isFloating() ||
        dockWidgetArea(beamDock) != Qt::BottomDockWidgetArea)
        return;
    // Height the result column needs to show everything down to the power results. Its
    // word-wrapped warnings make the scroll area lay it out at its preferred heights
    // whenever it scrolls (the preview below may).
    QLayout* column = ui->scrollAreaWidgetContents_2->layout();
    const int resultsAt = column->indexOf(ui->powerGroup);
    if (resultsAt < 0)
        return;
    int needed = column->contentsMargins().top();
    for (int i = 0; i <= resultsAt; ++i)
        needed += column->itemAt(i)->sizeHint().height() + column->spacing();
    // What the column and the dock share now; the dock gets what the column can spare, up
    // to a height where the profiles read comfortably.
    const int shared = ui->scrollArea_2->viewport()->height() + beamDock->height();
    constexpr int kComfortable = 260;
    const int height =
        qMax(beamDock->minimumSizeHint().height(), qMin(kComfortable, shared - needed));
    resizeDocks({beamDock}, {height}, Qt::Vertical);
}
