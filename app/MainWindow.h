#pragma once
// The main window: owns the form, the measuring session, the temperature timer and the two
// scenes. It keeps no measuring state: its slots forward the user's choices to the session
// and map the session's reports to labels, the beam-analysis panel and the scenes.
//
// Where the code lives:
//   MainWindow.cpp             life cycle, settings, the small slots
//   MainWindowCamera.cpp       camera list, streaming action, temperature watch
//   MainWindowCalibration.cpp  calibration loading, power calibration, wavelength lists
//   MainWindowMeasure.cpp      reports to labels and scenes, ROI slots, spot-view fitting
//   MainWindowFirstRun.cpp     Auto ROI, the spot view kept on the region, the start hint,
//                              accessible names
//   MainWindowUpdate.cpp       update check and installer download

#include "Calibration.h"
#include "FrameReport.h"
#include "MeasureTypes.h"
#include "Results.h"

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QSet>

#include <array>
#include <functional>
#include <memory>

class BasCam;
class ReportsController;
namespace lumetra::app {
class HelpController;
class FramePixmapItem;
} // namespace lumetra::app
class QCloseEvent;
class QDockWidget;
class QGraphicsPixmapItem;
class QGraphicsRectItem;
class QGraphicsScene;
class QLabel;
class QProgressDialog;
class QTimer;

namespace Ui {
class MainWindow;
}
namespace lumetra::session {
class MeasureSession;
}
namespace lumetra::ui {
class BeamAnalysisPanel;
}

// One result of the measurement routine: x and y (mrad). A missing divergence is
// (-1, -1), a missing alignment (-100, -100).
using MeasurePair = lumetra::measure::MeasurePair;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Access for the tests and the benchmarks, which drive the window like a user.
    Ui::MainWindow* form() const { return ui; }
    BasCam* camera() const;
    lumetra::session::MeasureSession* session() const { return measuring; }
    lumetra::ui::BeamAnalysisPanel* beamAnalysisPanel() const { return beamPanel; }
    QDockWidget* beamAnalysisDock() const { return beamDock; }
    ReportsController* reports() const { return reportsSide; }
    lumetra::app::HelpController* help() const { return helpSide; }

public slots:
    void camList_IndexChanged(int index);
    void firstLoad();
    void closeEvent(QCloseEvent* event) override;
    void updateProgressDial(qlonglong ist, qlonglong max);
    void UpdateTemperature();
    void UpdateCalibrations(int nused = 0);
    void RectSizeUpdate(QPoint pos);
    void RectPosUpdate(QPoint pos);
    void on_exposureSpin_editingFinished();
    void on_actionStartStream_toggled(bool checked);
    void on_actionRefresh_triggered();
    void on_actionAbout_triggered();
    void on_redBoostCombo_currentIndexChanged(int index);
    void on_imgStabSlider_sliderReleased();
    void on_calRPushButton_clicked();
    void on_calGPushButton_clicked();
    void on_calBPushButton_clicked();
    void on_addWL_R_clicked();
    void on_addWL_G_clicked();
    void on_addWL_B_clicked();
    // Calibration menu: a wavelength for a channel asked for first, and the manager.
    void on_actionAddWave_triggered();
    void on_actionManageCal_triggered();

    // Shows one camera image in the spot view (with the region and the last corrected
    // crop over it) and the preview. Measuring is the session's.
    void ProcessFrame(QImage image);
    // The camera said it is gone: stop, close, refresh the list, tell the user once.
    void handleCameraLoss(const QString& name);

signals:
    // A report of the current fill has been shown in the labels (the scenes follow at the
    // screen's rate).
    void reportShown(quint64 sequence);

public:
    // Refills listCamComboBox with "Select KVT sensor" and the attached cameras.
    void refreshCameraList();
    // Rebuilds the three wavelength combos from the camera's calibration file.
    void refreshWavelengthLists();
    // The start-up update check; true only when a downloaded installer was started.
    bool checkForUpdate();
    // Gives the spot view the camera image's size and the stored scroll position.
    void fitSpotView();
    // One sample of a running power calibration of the channel (0 R, 1 G, 2 B), taken
    // from the last measured frame; channelMax is the channel's peak level (0..255), -1
    // when not known. Completes the run with its boxes when it was the fifth.
    void calibrationSampleStep(int channel, int channelMax = -1,
                               const lumetra::calibration::AnalysisSample& analysis = {});

private:
    // One measured frame from the session (queued to this thread).
    void showReport(const lumetra::session::ReportPtr& report);
    // Redraws the scenes with the newest frame, at most once per screen refresh.
    void scheduleDraw();

    // Calibration side (MainWindowCalibration.cpp).
    void showNotices(const lumetra::calibration::Notices& notices);
    std::array<QString, 3> selectedWavelengths() const;
    // Runs a write of the calibration file; for a file that is read-only for us it asks
    // whether to save a new file and writes again if so. True when written.
    bool commitCalibration(
        const std::function<lumetra::calibration::WriteResult(bool asNewFile)>& write);
    void addWavelength(int channel);
    void setCalibrationButtonsEnabled(bool enabled);
    void startPowerCalibration(int channel);
    void completePowerCalibration(const lumetra::session::CalibrationCompletion& done);

    // First-run parts (MainWindowFirstRun.cpp).
    void setUpAutoRoi();
    // A region drawn with the mouse: Auto ROI off.
    void takeRoiFromMouse();
    // The status bar's standing text: the start hint, the frame rate, why Auto ROI found no
    // beam.
    void showStreamingStatus();
    // Scrolls the spot view to centre the region; unless `always`, only when it is not
    // wholly in sight.
    void showRoiInSpotView(const QRect& roi, bool always);
    void nameMeasuringParts();
    void keepResultColumnWhole();
    void fitBeamDock();

    // Every result label back to its start text.
    void clearResults();
    // The label that shows a result text, and showing one text when it is set.
    QLabel* resultLabel(lumetra::measure::ResultText text) const;
    void showText(const lumetra::measure::ResultTexts& texts, lumetra::measure::ResultText text);
    void restoreSettings();
    void applyCorner();
    // True when the notes were shown (a first start, or the first of this version).
    bool showVersionNotesOnce();
    void connectWavelengthCombos();
    void disconnectWavelengthCombos();

    Ui::MainWindow* ui = nullptr;
    lumetra::session::MeasureSession* measuring = nullptr;

    // The calibration file's problems already shown since the camera was selected.
    QSet<QString> shownFileProblems;

    QGraphicsScene* mainScene = nullptr;
    QGraphicsScene* previewScene = nullptr;
    // What the scenes show: the newest frame and its corrected crop.
    QImage lastFrame;
    QImage correctedImage;
    // The scenes' items, made with the first frame and given each new one.
    lumetra::app::FramePixmapItem* frameItem = nullptr;
    QGraphicsRectItem* roiItem = nullptr;
    QGraphicsPixmapItem* overlayItem = nullptr;
    QGraphicsPixmapItem* previewItem = nullptr;
    QTimer* drawTimer = nullptr;
    QElapsedTimer lastDraw;
    QTimer* tempTimer = nullptr;
    // What the status bar's standing text is made of.
    double lastFrameRate = 0.0;
    QElapsedTimer lastRateShown; // the frame rate in the status bar
    QString autoRoiReason;

    // The beam analysis beside the described result groups (a dock, fed once per frame).
    lumetra::ui::BeamAnalysisPanel* beamPanel = nullptr;
    QDockWidget* beamDock = nullptr;
    // The Reports side: recording, tolerances, plots, Save Report.
    ReportsController* reportsSide = nullptr;
    // The manual and the Step by Step tour.
    lumetra::app::HelpController* helpSide = nullptr;
    bool notesShown = false;

    // Installer download.
    std::unique_ptr<QProgressDialog> progressDialog;
    bool downloadCanceled = false;
};
