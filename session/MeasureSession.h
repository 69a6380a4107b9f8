#pragma once
// One measuring session: the camera object, the camera in use and its calibration, the
// region of interest, the stabiliser fill and depth, the corner, the exposure (automatic
// or not), the red boost and the measuring pipeline. It publishes one FrameReport per
// measured frame; a window, a recorder or a headless run subscribes and keeps no
// measuring state of its own.
//
// Threads. The session belongs to the thread that makes it (its owner), which needs a
// running event loop but never waits for a frame and runs no nested loop per frame.
// Frames come from the camera's thread and are measured on the session's measuring
// thread, which runs the pipeline's tasks on a pool of their own. As soon as the measuring
// thread takes an image over it asks the camera for the next one (the request
// handshake), so the camera retrieves and converts frame N + 1 while frame N is measured.
//
//   \context owner   the owner thread only
//   \context any     any thread
//
// Notices (boxes and log lines of the calibration layer) go to the notice sink, from the
// owner thread and in the order the user must meet them; without a sink they are logged.

#include "Calibration.h"
#include "FrameReport.h"
#include "MeasureTypes.h"

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QStringList>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class BasCam;

namespace lumetra::session {

class MeasureSession : public QObject {
    Q_OBJECT
public:
    // The exposure control's range and precision (milliseconds): every exposure the
    // session applies is first brought into it, as the window's exposure box does.
    static constexpr double kExposureMinMs = 0.1;
    static constexpr double kExposureMaxMs = 200.0;
    static constexpr int kExposureDecimals = 2;
    static double exposureControlValue(double ms);

    using NoticeSink = std::function<void(const calibration::Notices&)>;

    // Makes the camera object and the measuring thread; the camera takes its own thread
    // on the owner's next event-loop turn. \context owner (the calling thread becomes the
    // owner)
    explicit MeasureSession(QObject* parent = nullptr);
    // Stops a running stream, waits for the frame being measured and deletes the camera.
    // \context owner
    ~MeasureSession() override;

    // \context owner
    void setNoticeSink(NoticeSink sink);

    // The camera object, for what the session does not wrap (temperature, parameters);
    // BasCam.h says which of its calls may be made from where. \context any
    BasCam* camera() const { return m_cam; }

    // Opens the camera with this serial (empty: closes the open one). Ends a running
    // stream first and begins a new stabiliser fill. 0 on success. \context owner
    int openCamera(const QString& serial);
    // The same for the camera at this index of the camera object's last list (several
    // heads may share a serial); index < 0 closes. \context owner
    int openListedCamera(int index);
    bool isOpen() const;      // \context any
    bool isStreaming() const; // \context any
    // The open camera's calibration file as it is read (serial 0 without one). \context any
    QString calibrationFile() const;
    // The file a write goes to (a file read from the installation is copied to the user's
    // data folder first). \context any
    QString calibrationFileToWrite() const;
    // The start state of a camera just opened: turned by 180 degrees, full sensor, the
    // stored exposure (brought into the camera's and the control's range), the stored
    // region (each side at most the stabiliser's limit, moved inside the image when it is
    // not). \context owner
    void applyStartState();

    // Starts the stream and the frame loop; 0 when the camera streams. \context owner
    int startStreaming();
    // Stops the stream and returns once no frame is being measured: no report is emitted
    // afterwards (reports already queued to a receiver still arrive).
    // \context owner
    void stopStreaming();

    // The measuring set-up. Writes \context owner, reads \context any; a write takes
    // effect from the next frame the measuring thread takes over.
    QRect roi() const;
    void setRoi(const QRect& roi); // also begins a new fill
    int stabDepth() const;
    void setStabDepth(int depth); // also begins a new fill
    // Begins a new fill: results say "Processing..." until the stabiliser is full again.
    void restartFill();
    quint64 fillId() const;
    // The sequence of the newest report published: a subscriber that has handled an older
    // one has reports waiting. \context any
    quint64 measuredFrames() const { return m_measured.load(); }
    std::optional<measure::Corner> corner() const;
    void setCorner(std::optional<measure::Corner> corner);
    int redBoost() const;
    void setRedBoost(int boost); // 1..4
    // Auto ROI: while on, the region follows the beams of the selected corner. It is
    // re-evaluated on the first frame after it is switched on, the corner changes or the
    // stream starts, then once per kAutoRoiPeriodMs; a move begins a new fill. Off by
    // default (the window and the tool switch it on from their own settings).
    static constexpr int kAutoRoiPeriodMs = 1000;
    bool autoRoi() const;
    void setAutoRoi(bool on);
    // Profiles and their fits in the beam analysis (for a plot that shows them).
    void setAnalysisProfiles(bool on);

    // The exposure as the control shows it (ms) and as the camera took it (us).
    double exposureMs() const;
    float exposureUs() const;
    // Applies an exposure (brought into the control's range) and reads back what the
    // camera took. \context any
    void setExposureMs(double ms);
    bool autoExposure() const;
    void setAutoExposure(bool on);

    // Loads the matrices and power factors of the wavelengths (R, G, B) from the camera's
    // file, or from `file` when one is given (nused -1: raw). Its notices go to the sink.
    // \context owner
    calibration::LoadResult loadCalibration(const std::array<QString, 3>& wavelengths, int nused,
                                            const QString& file = QString());
    calibration::CalibrationData calibrationData() const; // \context any

    // The power-calibration run of one channel (0 R, 1 G, 2 B) with the beam's power.
    // Beginning it turns automatic exposure off, loads the raw matrices (nused -1) and
    // begins a new fill; every stabilised frame is then a sample, and the report of the
    // fifth carries the completion. No sample is taken after that until the run ends.
    // \context owner
    void beginPowerCalibration(int channel, double power,
                               const std::array<QString, 3>& wavelengths);
    int calibrationChannel() const; // -1: no run. \context any
    // Takes one sample of the run's channel from the last measured frame's corner signal,
    // as a frame does; the completion when it was the fifth. \context any
    std::optional<CalibrationCompletion>
    takeCalibrationSample(int channel, int channelMax = -1,
                          const calibration::AnalysisSample& analysis = {});
    // What completing the run would store (the calibration layer's plan). \context any
    calibration::CompletionPlan
    planCalibrationCompletion(const CalibrationCompletion& done,
                              const std::array<QString, 3>& wavelengths) const;
    // Ends the run: automatic exposure back as it was before. \context owner
    void endPowerCalibration();

    // Calls fn with every report, in the thread of `context` and in order, until context is
    // deleted. The way to receive reports in another thread: each is handed over with a
    // mark the thread sanitizer sees (it cannot see Qt's queue). \context the thread
    // `context` lives in
    void subscribe(QObject* context, std::function<void(const ReportPtr&)> fn);

signals:
    // One measured frame. Emitted on the measuring thread, for receivers there (connect
    // directly); other threads use subscribe().
    void frameMeasured(lumetra::session::ReportPtr report);
    // The exposure as the control shows it changed (automatic exposure or a write).
    // Emitted on the measuring or the owner thread.
    void exposureChanged(double ms);
    // Automatic exposure was switched by the power-calibration run. Owner thread.
    void autoExposureChanged(bool on);
    // The open camera is gone and the frame loop has ended. Emitted on the owner thread,
    // after every report queued to a receiver in that thread.
    void cameraLost(QString name);
    // Auto ROI moved the region (the frame measured next uses it). Emitted on the owner
    // thread.
    void autoRoiMoved(QRect roi);
    // Why Auto ROI found no beam, for a status bar; emitted when the reason changes, with
    // an empty text once beams are found again. Emitted on the owner thread.
    void autoRoiNoBeam(QString reason);

private:
    struct Shared;
    struct Loop;

public:
    struct Subscribers;

private:
    void applyExposure(double ms);
    void endLoop();
    // With the shared lock held.
    std::optional<CalibrationCompletion> sampleLocked(int channel, int channelMax,
                                                      const calibration::AnalysisSample& analysis);
    // Measuring thread.
    void onImage(const QImage& image);
    void measure(const QImage& image, float exposureUs);
    void followBeams(const QImage& image);

    BasCam* m_cam = nullptr;
    std::unique_ptr<Shared> m_shared;
    std::unique_ptr<Loop> m_loop;
    std::shared_ptr<Subscribers> m_subscribers;
    std::atomic<quint64> m_measured{0};
    QObject* m_ownerRelay = nullptr; // the measuring thread's signals to the owner thread
    NoticeSink m_sink;               // owner thread
};

} // namespace lumetra::session
