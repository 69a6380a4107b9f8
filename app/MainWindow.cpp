#include "MainWindow.h"

#include "AboutDialog.h"
#include "BasCam.h"
#include "BeamAnalysisPanel.h"
#include "DialogTheme.h"
#include "HelpController.h"
#include "Log.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"
#include "PaintPacer.h"
#include "ReportsController.h"
#include "Resources.h"
#include "Settings.h"
#include "Version.h"
#include "VersionDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDockWidget>
#include <QGraphicsScene>
#include <QProgressDialog>
#include <QScreen>
#include <QScrollBar>
#include <QStyleFactory>
#include <QSysInfo>
#include <QTimer>

namespace st = lumetra::settings;

namespace {

// A stored window dimension: a number within [minimum, available] is kept; a number
// beyond the screen is brought down to it, a small one up to the minimum; anything that
// is not a positive number (damage in the file) gives the default.
int usableDimension(const QVariant& stored, int fallback, int minimum, int available) {
    bool ok = false;
    const int v = stored.toInt(&ok);
    int out = (ok && v > 0) ? v : fallback;
    if (available > 0)
        out = qMin(out, available);
    return qMax(out, qMin(minimum, available > 0 ? available : minimum));
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui(new Ui::MainWindow) {
    lumetra::ui::initResources();
    // The window's style sheet gives buttons light text; Fusion's own light button face
    // would make it unreadable, so buttons and combo boxes get a dark face. Set before the
    // form is built: style-sheet widgets keep the palette they were polished with.
    QPalette palette = QApplication::palette();
    palette.setColor(QPalette::Button, QColor(0x44, 0x44, 0x44));
    palette.setColor(QPalette::ButtonText, QColor(0xDD, 0xDD, 0xDD));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x88, 0x88, 0x88));
    QApplication::setPalette(palette);
    ui->setupUi(this);
    lumetra::app::themeChildDialogs(this);

    ui->warningRoiLabel->hide();
    nameMeasuringParts();
    keepResultColumnWhole();

    // Reopened from the window's context menu (right click on the tool bar) when closed.
    beamPanel = new lumetra::ui::BeamAnalysisPanel();
    beamDock = new QDockWidget(QStringLiteral("Beam analysis"), this);
    beamDock->setObjectName(QStringLiteral("beamAnalysisDock"));
    beamDock->setAccessibleName(QStringLiteral("Beam analysis"));
    beamDock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                          QDockWidget::DockWidgetFloatable);
    beamDock->setWidget(beamPanel);
    // Below the spot view and the result column: beside them it would take the width the
    // result column needs at the default window size.
    const auto orientPanel = [this] {
        const Qt::DockWidgetArea area = dockWidgetArea(beamDock);
        beamPanel->setOrientation(!beamDock->isFloating() && (area == Qt::BottomDockWidgetArea ||
                                                              area == Qt::TopDockWidgetArea)
                                      ? Qt::Horizontal
                                      : Qt::Vertical);
    };
    connect(beamDock, &QDockWidget::dockLocationChanged, this, orientPanel);
    connect(beamDock, &QDockWidget::topLevelChanged, this, orientPanel);
    addDockWidget(Qt::BottomDockWidgetArea, beamDock);
    orientPanel();
    // Reopened, it comes back at the height it had; the column must keep its results.
    connect(beamDock->toggleViewAction(), &QAction::triggered, this, [this](bool shown) {
        if (shown)
            QTimer::singleShot(0, this, &MainWindow::fitBeamDock);
    });

    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    setWindowTitle(QStringLiteral("Varnelle - Lumetra - v") + lumetra::versionText());
    writeLog(QStringLiteral("\n===================== Starting... ") + QSysInfo::kernelType() +
             QLatin1Char(' ') + QSysInfo::kernelVersion());

    ui->exposureSpin->setEnabled(false);
    ui->actionStartStream->setEnabled(false);
    ui->warningLabel->setText(QString());
    ui->warningRoiLabel->setText(QString());
    ui->maxRValue->setText(QStringLiteral("N/A"));
    ui->maxGValue->setText(QStringLiteral("N/A"));
    ui->maxBValue->setText(QStringLiteral("N/A"));
    ui->calRPushButton->setEnabled(false);
    ui->calGPushButton->setEnabled(false);
    ui->calBPushButton->setEnabled(false);

    measuring = new lumetra::session::MeasureSession();
    measuring->setNoticeSink([this](const lumetra::calibration::Notices& n) { showNotices(n); });
    // Reports come from the measuring thread; each is handled here in turn, the scenes
    // follow at the screen's rate.
    measuring->subscribe(this, [this](const lumetra::session::ReportPtr& r) { showReport(r); });
    connect(measuring, &lumetra::session::MeasureSession::cameraLost, this,
            &MainWindow::handleCameraLoss, Qt::QueuedConnection);
    connect(measuring, &lumetra::session::MeasureSession::exposureChanged, ui->exposureSpin,
            &QDoubleSpinBox::setValue);
    connect(measuring, &lumetra::session::MeasureSession::autoExposureChanged, ui->autoExpoCheckBox,
            &QCheckBox::setChecked);
    connect(ui->autoExpoCheckBox, &QCheckBox::toggled, measuring,
            &lumetra::session::MeasureSession::setAutoExposure);
    for (QAbstractButton* b : {ui->tlSelButton, ui->trSelButton, ui->blSelButton, ui->brSelButton})
        connect(b, &QAbstractButton::toggled, this, &MainWindow::applyCorner);

    // Recording, tolerances, plots and the report; it shows the menu bar.
    reportsSide =
        new ReportsController(this, ui, measuring,
                              {[this](lumetra::measure::ResultText t) { return resultLabel(t); },
                               [this] { return selectedWavelengths(); }});
    helpSide = new lumetra::app::HelpController(
        this, ui, ui->toolBar->widgetForAction(reportsSide->recordAction()));

    new lumetra::app::PaintPacer(this);
    drawTimer = new QTimer(this);
    drawTimer->setSingleShot(true);
    connect(drawTimer, &QTimer::timeout, this, [this] { ProcessFrame(lastFrame); });

    tempTimer = new QTimer(this);
    tempTimer->setInterval(2000);
    tempTimer->setSingleShot(false);
    tempTimer->start();
    connect(tempTimer, &QTimer::timeout, this, &MainWindow::UpdateTemperature);

    restoreSettings();
    setUpAutoRoi();
    notesShown = showVersionNotesOnce();
    refreshCameraList();
    showStreamingStatus();

    QTimer::singleShot(0, this, &MainWindow::firstLoad);
}

void MainWindow::restoreSettings() {
    const st::File s;

    ui->autoExpoCheckBox->setChecked(s.value(st::kAutoExpo));
    ui->autoRoiCheckBox->setChecked(s.value(st::kAutoRoi));
    ui->imgStabSlider->setValue(s.value(st::kStab));
    measuring->setStabDepth(ui->imgStabSlider->value());
    measuring->setAutoExposure(ui->autoExpoCheckBox->isChecked());

    const QString sel = s.value(st::kSelButton);
    if (sel == QLatin1String("TL"))
        ui->tlSelButton->setChecked(true);
    else if (sel == QLatin1String("TR"))
        ui->trSelButton->setChecked(true);
    else if (sel == QLatin1String("BL"))
        ui->blSelButton->setChecked(true);
    else
        ui->brSelButton->setChecked(true);
    applyCorner();

    // An index the combo does not have would leave it without selection and the red
    // channel multiplied by zero; such a value is damage and gives the default.
    beamDock->setVisible(s.value(st::kBeamAnalysis));

    int boost = s.value(st::kRBoost);
    if (boost < 0 || boost >= ui->redBoostCombo->count())
        boost = st::kRBoost.fallback;
    ui->redBoostCombo->setCurrentIndex(boost);
    measuring->setRedBoost(ui->redBoostCombo->currentIndex() + 1);

    QSize available;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        available = screen->availableGeometry().size();
    const int w = usableDimension(s.stored(st::kWinWidth), st::kWinWidth.fallback, st::kMinWinWidth,
                                  available.width());
    const int h = usableDimension(s.stored(st::kWinHeight), st::kWinHeight.fallback,
                                  st::kMinWinHeight, available.height());
    setGeometry(0, 0, w, h);
    move(available.width() / 2 - width() / 2, available.height() / 2 - height() / 2);
    if (s.value(st::kMaxWin) == 1)
        showMaximized();
}

void MainWindow::applyCorner() {
    namespace ms = lumetra::measure;
    // None checked means no channel shift and the top-left coefficients.
    std::optional<ms::Corner> corner;
    if (ui->blSelButton->isChecked() || ui->brSelButton->isChecked() ||
        ui->tlSelButton->isChecked() || ui->trSelButton->isChecked())
        corner = ms::Corner(lumetra::calibration::selectedCorner(
            ui->blSelButton->isChecked(), ui->brSelButton->isChecked(),
            ui->tlSelButton->isChecked(), ui->trSelButton->isChecked()));
    measuring->setCorner(corner);
}

BasCam* MainWindow::camera() const {
    return measuring ? measuring->camera() : nullptr;
}

bool MainWindow::showVersionNotesOnce() {
    st::File s;
    if (s.value(st::kNotesVersion) != lumetra::kVersion) {
        s.setValue(st::kNotesVersion, lumetra::kVersion);
        // Stored before the notes are shown, so they are shown once even if this run
        // does not end normally.
        s.sync();
        VersionDialog notes;
        notes.exec();
        return true;
    }
    return false;
}

void MainWindow::firstLoad() {
    mainScene = new QGraphicsScene(ui->graphicsView);
    ui->graphicsView->setScene(mainScene);
    previewScene = new QGraphicsScene(ui->previewGraphics);
    ui->previewGraphics->setScene(previewScene);

    connect(ui->graphicsView, &CustomGV::gvClickedLeft, this, &MainWindow::RectPosUpdate);
    connect(ui->graphicsView, &CustomGV::gvMove, this, &MainWindow::RectSizeUpdate);

    writeLog(QStringLiteral("Init OK"));

    if (checkForUpdate())
        close(); // the installer takes over; the rest still runs, the loop then ends

    ui->calRPushButton->setText(QStringLiteral("Calibrate ") + ui->waveRCombo->currentText());
    ui->calGPushButton->setText(QStringLiteral("Calibrate ") + ui->waveGCombo->currentText());
    ui->calBPushButton->setText(QStringLiteral("Calibrate ") + ui->waveBCombo->currentText());
    ui->maxRLabel->setText(QStringLiteral("Max ") + ui->waveRCombo->currentText() +
                           QStringLiteral(" = "));
    ui->maxGLabel->setText(QStringLiteral("Max ") + ui->waveGCombo->currentText() +
                           QStringLiteral(" = "));
    ui->maxBLabel->setText(QStringLiteral("Max ") + ui->waveBCombo->currentText() +
                           QStringLiteral(" = "));

    connectWavelengthCombos();
    keepResultColumnWhole(); // the buttons and labels above carry their texts now
    fitBeamDock();

    // The tour is worth offering once the notes of a first start are read.
    if (notesShown)
        helpSide->offerTourOnce();
}

void MainWindow::connectWavelengthCombos() {
    connect(ui->waveRCombo, &QComboBox::currentIndexChanged, this, &MainWindow::UpdateCalibrations);
    connect(ui->waveGCombo, &QComboBox::currentIndexChanged, this, &MainWindow::UpdateCalibrations);
    connect(ui->waveBCombo, &QComboBox::currentIndexChanged, this, &MainWindow::UpdateCalibrations);
}

void MainWindow::disconnectWavelengthCombos() {
    disconnect(ui->waveRCombo, &QComboBox::currentIndexChanged, this,
               &MainWindow::UpdateCalibrations);
    disconnect(ui->waveGCombo, &QComboBox::currentIndexChanged, this,
               &MainWindow::UpdateCalibrations);
    disconnect(ui->waveBCombo, &QComboBox::currentIndexChanged, this,
               &MainWindow::UpdateCalibrations);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    disconnectWavelengthCombos();
    // No new frame once the window is closing, at any frame rate: the frame in flight
    // finishes with its tasks, and the event loop can end.
    if (measuring)
        measuring->stopStreaming();
    writeLog(QStringLiteral("Exit Ok\n====================="));
    event->accept();
}

MainWindow::~MainWindow() {
    if (measuring)
        measuring->stopStreaming();

    st::File s;
    if (BasCam* cam = camera()) {
        if (cam->isOpen()) {
            // Only values really read: a camera that went away meanwhile answers -1,
            // which must not replace what the file holds.
            const int w = cam->width();
            const int h = cam->height();
            const int x = cam->offsetX();
            const int y = cam->offsetY();
            const float expo = cam->exposure();
            if (w > 0)
                s.setValue(st::kWidth, w);
            if (h > 0)
                s.setValue(st::kHeight, h);
            if (x >= 0)
                s.setValue(st::kPosX, x);
            if (y >= 0)
                s.setValue(st::kPosY, y);
            if (expo > 0)
                s.setValue(st::kExpo, expo);
            s.setValue(st::kBarH, ui->scrollArea->horizontalScrollBar()->value());
            s.setValue(st::kBarV, ui->scrollArea->verticalScrollBar()->value());
        }
    }
    delete measuring;
    measuring = nullptr;

    s.setValue(st::kAutoExpo, ui->autoExpoCheckBox->isChecked());
    s.setValue(st::kAutoRoi, ui->autoRoiCheckBox->isChecked());
    s.setValue(st::kStab, ui->imgStabSlider->value());
    QString sel = QStringLiteral("BR");
    if (ui->tlSelButton->isChecked())
        sel = QStringLiteral("TL");
    else if (ui->trSelButton->isChecked())
        sel = QStringLiteral("TR");
    else if (ui->blSelButton->isChecked())
        sel = QStringLiteral("BL");
    s.setValue(st::kSelButton, sel);
    s.setValue(st::kRBoost, ui->redBoostCombo->currentIndex());
    // Hidden only when the user closed it; the closed window hides everything else.
    s.setValue(st::kBeamAnalysis, !beamDock->isHidden());

    if (isMaximized()) {
        s.setValue(st::kMaxWin, 1);
    } else {
        s.setValue(st::kMaxWin, 0);
        s.setValue(st::kWinWidth, width());
        s.setValue(st::kWinHeight, height());
    }

    delete ui;
    ui = nullptr;
}

void MainWindow::on_exposureSpin_editingFinished() {
    // The session shows what the camera took through exposureChanged.
    measuring->setExposureMs(ui->exposureSpin->value());
}

void MainWindow::on_redBoostCombo_currentIndexChanged(int index) {
    measuring->setRedBoost(index + 1);
}

void MainWindow::on_imgStabSlider_sliderReleased() {
    measuring->setStabDepth(ui->imgStabSlider->value());
}

void MainWindow::on_actionRefresh_triggered() {
    refreshCameraList();
}

void MainWindow::on_actionAbout_triggered() {
    AboutDialog about;
    about.exec();
}
