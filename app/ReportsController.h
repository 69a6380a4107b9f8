#pragma once
// The window's Reports side: the Record action (tool bar and Reports menu) with the
// recording's file, rows and time in the status bar; the "Unit" box; the tolerances
// (dialog, red frames on labels out of their limits, a pass/fail summary in the status
// bar); the plots panel; Save Report. It subscribes to the session's reports itself and
// keeps no measuring state.

#include "FrameRateWatch.h"
#include "FrameReport.h"
#include "Recorder.h"
#include "Results.h"
#include "Stability.h"
#include "Tolerances.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <array>
#include <functional>

class FrameExporter;
class QAction;
class QSpinBox;
class QDockWidget;
class QLabel;
class QLineEdit;
class QMainWindow;
namespace Ui {
class MainWindow;
}
namespace lumetra::session {
class MeasureSession;
}
namespace lumetra::ui {
class PlotsPanel;
}

class ReportsController : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        // The label that shows a result text.
        std::function<QLabel*(lumetra::measure::ResultText)> label;
        // The wavelengths selected for R, G, B.
        std::function<std::array<QString, 3>()> wavelengths;
    };
    ReportsController(QMainWindow* window, Ui::MainWindow* ui,
                      lumetra::session::MeasureSession* session, Hooks hooks);
    ~ReportsController() override;

    QAction* recordAction() const { return m_record; }
    QAction* tolerancesAction() const { return m_tolerancesAction; }
    QLineEdit* unitBox() const { return m_unit; }
    lumetra::ui::PlotsPanel* plots() const { return m_plots; }
    QDockWidget* plotsDock() const { return m_plotsDock; }
    lumetra::session::Recorder& recorder() { return m_recorder; }
    QLabel* recordingStatus() const { return m_recordingStatus; }
    QLabel* verdictStatus() const { return m_verdict; }
    // Whether a label carries the red frame of a quantity out of its limits.
    bool isMarked(QLabel* label) const;

    const lumetra::tolerances::Tolerances& limits() const { return m_limits; }
    void setLimits(const lumetra::tolerances::Tolerances& limits); // stored in basini.ini

    // Writes the report of the last measured frame; no dialog. False with the reason.
    bool saveReport(const QString& pdfPath, QString* error);
    // The recording's file in the recordings folder (asked for the first time).
    bool startRecording();
    void stopRecording();
    // Save frames: the next frames (the count box, the stabiliser depth by default) into a
    // new folder under the recordings folder; false with the reason when it cannot begin.
    bool saveFrames(QString* error);
    QAction* saveFramesAction() const { return m_saveFrames; }
    QSpinBox* saveFramesCount() const { return m_saveCount; }
    QLabel* saveFramesStatus() const { return m_saveStatus; }
    // The window measures fewer frames than the camera delivers (the rate shown is red).
    bool frameRateBehind() const { return m_rateWatch.behind(); }

signals:
    void framesSaved(const QString& folder);

private:
    void onReport(const lumetra::session::ReportPtr& report);
    void evaluate();
    void updateRecordingStatus();
    void onRecordingFailed(const QString& message);
    QString recordingsFolder(bool ask);
    void askSaveReport();
    void editTolerances();
    void mark(QLabel* label, bool on);
    void addSaveFrames(Ui::MainWindow* ui);
    void showFrameRate(const lumetra::session::FrameReport& r);
    void markFrameRate();
    lumetra::measure::ResultTexts shownTexts() const;

    QMainWindow* m_window;
    Ui::MainWindow* m_ui;
    lumetra::session::MeasureSession* m_session;
    Hooks m_hooks;
    lumetra::session::Recorder m_recorder;
    QAction* m_record = nullptr;
    QAction* m_tolerancesAction = nullptr;
    QLineEdit* m_unit = nullptr;
    QLabel* m_recordingStatus = nullptr;
    QLabel* m_verdict = nullptr;
    lumetra::ui::PlotsPanel* m_plots = nullptr;
    QDockWidget* m_plotsDock = nullptr;
    QTimer m_statusTimer;
    lumetra::tolerances::Tolerances m_limits;
    lumetra::session::ReportPtr m_last;         // the last stabilised report
    lumetra::session::ReportPtr m_lastProfiles; // the last one whose analysis has profiles
    bool m_cameraLost = false;
    QString m_serial;      // of the camera the last report came from
    QElapsedTimer m_clock; // the plots' time axis
    lumetra::measure::StabilityMonitor m_live;
    QElapsedTimer m_sinceStability;
    QHash<QLabel*, QWidget*> m_frames;
    FrameExporter* m_exporter = nullptr;
    QAction* m_saveFrames = nullptr;
    QSpinBox* m_saveCount = nullptr;
    QLabel* m_saveStatus = nullptr;
    FrameRateWatch m_rateWatch;
};
