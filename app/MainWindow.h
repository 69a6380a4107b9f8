#pragma once
// The main window: owns the form, the camera object, the temperature timer, the two
// scenes and all measurement and calibration state. Its slots are thin: they gather the
// window's state, call the units of the lower layers and apply the outcome to widgets.
//
// Where the code lives:
//   MainWindow.cpp             life cycle, settings, the small slots
//   MainWindowCamera.cpp       camera list, streaming action, temperature watch
//   MainWindowCalibration.cpp  calibration loading, power calibration, wavelength lists
//   MainWindowMeasure.cpp      frame handling, measures, ROI slots, spot-view fitting
//   MainWindowUpdate.cpp       update check and installer download

#include "Calibration.h"
#include "MeasureTypes.h"
#include "Results.h"

#include <QColor>
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
class QCloseEvent;
class QDockWidget;
class QGraphicsScene;
class QLabel;
class QProgressDialog;
class QTimer;

namespace Ui {
class MainWindow;
}
namespace lumetra::measure {
class FramePipeline;
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
    BasCam* camera() const { return cam; }
    lumetra::ui::BeamAnalysisPanel* beamAnalysisPanel() const { return beamPanel; }
    QDockWidget* beamAnalysisDock() const { return beamDock; }

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

    // One camera image, delivered by the camera's worker thread (queued).
    void ProcessFrame(QImage image);
    // The camera said it is gone: stop, close, refresh the list, tell the user once.
    void handleCameraLoss(const QString& name);

public:
    // Refills listCamComboBox with "Select KVT sensor" and the attached cameras.
    void refreshCameraList();
    // Rebuilds the three wavelength combos from the camera's calibration file.
    void refreshWavelengthLists();
    // The start-up update check; true only when a downloaded installer was started.
    bool checkForUpdate();
    // Gives the spot view the camera image's size and the stored scroll position.
    void fitSpotView();
    // The measurement routine for one stabilised ROI crop: seven pairs (divergence of
    // all, R, G, B, then alignment RG, BG, RB).
    QList<MeasurePair> ComputeMeasures(QImage crop);
    // One sample of a running power calibration of the channel (0 R, 1 G, 2 B);
    // channelMax is the channel's peak level (0..255) of the frame, -1 when not known.
    // `analysis`: the beam analysis's reading of the channel's beam in this frame.
    void calibrationSampleStep(int channel, int channelMax = -1,
                               const lumetra::calibration::AnalysisSample& analysis = {});

private:
    // Calibration side (MainWindowCalibration.cpp).
    void showNotices(const lumetra::calibration::Notices& notices);
    // The open camera's calibration file (serial 0 without one): the one to read, and the
    // one a write goes to (in the user folders a file read from the installation is
    // copied to the data folder first).
    QString calibrationFile() const;
    QString calibrationFileToWrite() const;
    std::array<QString, 3> selectedWavelengths() const;
    // Runs a write of the calibration file; for a file that is read-only for us it asks
    // whether to save a new file and writes again if so. True when written.
    bool commitCalibration(
        const std::function<lumetra::calibration::WriteResult(bool asNewFile)>& write);
    int selectedCorner() const;
    void addWavelength(int channel);
    void setCalibrationButtonsEnabled(bool enabled);
    void startPowerCalibration(int channel);
    void endPowerCalibration(int channel);

    // Every result label back to its start text.
    void clearResults();
    // The label that shows a result text, and showing one text when it is set.
    QLabel* resultLabel(lumetra::measure::ResultText text) const;
    void showText(const lumetra::measure::ResultTexts& texts, lumetra::measure::ResultText text);
    void restoreSettings();
    void showVersionNotesOnce();
    void connectWavelengthCombos();
    void disconnectWavelengthCombos();

    Ui::MainWindow* ui = nullptr;

    // Calibration state (colorMatrix, unmixCoef, powerFactor with their start values),
    // loaded in place by the calibration layer; [corner] = TL 0, TR 1, BL 2, BR 3;
    // [channel] = R 0, G 1, B 2.
    lumetra::calibration::CalibrationData calibration;
    double calibrationPower[3] = {10.0, 10.0, 10.0};
    bool calibrationActive[3] = {false, false, false};
    // The calibration file's problems already shown since the camera was selected.
    QSet<QString> shownFileProblems;
    int redBoost = 1;

    BasCam* cam = nullptr;
    QGraphicsScene* mainScene = nullptr;
    QGraphicsScene* previewScene = nullptr;
    QImage lastFrame;
    float exposureUs = 0.0f;
    float cornerSignal[3] = {0.0f, 0.0f, 0.0f};
    QTimer* tempTimer = nullptr;
    QRect roiRect;

    // Image stabiliser: the per-pixel histories (historyR/G/B) are kept by the measure
    // layer's stabiliser, bounded to the 1200 x 1200 ROI limit; these are its fill count
    // and depth as the window sees them.
    int stabCount = 0;
    int stabDepth = 8;
    QImage correctedImage;
    // The texts of the frame being measured.
    lumetra::measure::ResultTexts frameTexts;
    // The one-frame measuring pipeline (owns the stabiliser histories), made with the
    // first streamed frame; shared_ptr so this header needs only its declaration.
    std::shared_ptr<lumetra::measure::FramePipeline> pipeline;
    // Lets the camera deliver the next image once the current handler has returned.
    void postImageRequest();

    // The beam analysis beside the described result groups (a dock, fed once per frame).
    lumetra::ui::BeamAnalysisPanel* beamPanel = nullptr;
    QDockWidget* beamDock = nullptr;

    // Installer download.
    std::unique_ptr<QProgressDialog> progressDialog;
    bool downloadCanceled = false;

    // Power calibration.
    bool autoExpoWasChecked = false;
    int calibrationSampleCount[3] = {0, 0, 0};
};
