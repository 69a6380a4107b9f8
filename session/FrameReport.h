#pragma once
// What the measuring session publishes once per measured frame: everything a subscriber
// needs to show, record or export that frame without asking the session again.

#include "Calibration.h"
#include "FramePipeline.h"
#include "MeasureTypes.h"

#include <QDateTime>
#include <QImage>
#include <QMetaType>
#include <QRect>
#include <QString>

#include <array>
#include <memory>
#include <optional>

namespace lumetra::session {

// The fifth sample of a power-calibration run: what its completion needs.
struct CalibrationCompletion {
    int channel = -1;           // 0 R, 1 G, 2 B
    std::array<float, 3> raw{}; // the sample's corner signal
    int channelMax = -1;        // the channel's peak level (0..255), -1 when not known
    calibration::AnalysisSample analysis;
    int corner = 0; // TL 0, TR 1, BL 2, BR 3
    float exposureUs = 0;
    double power = 0; // the beam's power the user entered
};

struct FrameReport {
    // Frames measured since the session was made, from 1.
    quint64 sequence = 0;
    // When the image reached the session (local time, milliseconds).
    QDateTime time;
    // The camera that delivered it; empty when none is open any more.
    QString cameraSerial;
    // The set-up the frame was measured with.
    std::optional<measure::Corner> corner; // none: no channel shift, top-left coefficients
    QRect roi;                             // in image pixels; null: the whole image
    float exposureUs = 0;                  // the exposure the image was taken with
    int stabDepth = 0;
    int stabCount = 0; // frames in the stabiliser after this one (up to stabDepth)
    // The stabiliser fill this frame belongs to. A change of region, depth, camera or the
    // start of a power calibration begins a new fill; subscribers that show results drop
    // reports of a fill the user has already left (MeasureSession::fillId()).
    quint64 fillId = 0;
    // The channel of the power-calibration run this frame was measured in (-1: none); a
    // stabilised frame of a run is a sample, not a power reading.
    int calibrationChannel = -1;
    // Set on the frame whose sample completed the run: the subscriber that owns the run
    // completes it (MeasureSession::planCalibrationCompletion, endPowerCalibration).
    std::optional<CalibrationCompletion> calibrationDone;
    // The camera's own frame-rate estimate when the image arrived.
    float frameRate = 0;
    // Results, texts by meaning, maxima, powers, the beam analysis, the corrected region
    // and the stabilised crop.
    measure::FrameResult result;
    // The full image the measurement cropped (display orientation).
    QImage frame;
};

// Reports are shared, never copied: one per frame for every subscriber.
using ReportPtr = std::shared_ptr<const FrameReport>;

} // namespace lumetra::session

Q_DECLARE_METATYPE(lumetra::session::ReportPtr)
