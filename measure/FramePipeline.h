#pragma once
// One frame of the measurement, end to end, for the main window and the offline tool.
//
// How the window uses it: the window keeps one FramePipeline for its lifetime (it owns the
// stabiliser histories, about 44 MB, allocated once). In ProcessFrame, while the camera is
// grabbing, it increments stabCount as usual, then fills a FrameInput with the frame and
// its ROI as cropRect (the band tasks cut the crop out of it), stabCount and stabDepth, the
// selected corner from the spot buttons (std::nullopt when none is checked), that corner's
// unmixCoef column (TL's when none) and powerFactor, exposureUs, the red boost and whether a power
// calibration is running, and calls process(). The result carries the seven pairs, the corrected
// image (after the red boost) to show over the ROI, cornerSignal and every result text by what it
// says; the window copies each to its label (the powers and the region warning only when
// set), and applies exposureFactor when automatic exposure is on.
// When a calibration is running it runs its calibration sample step with cornerSignal
// before applying the exposure factor: the run's completion restores automatic exposure,
// and the factor of that same frame then applies, as in the original order of the steps.
// A result with measured == false (a crop of 10 pixels or less across) changes nothing.
//
// The window passes eventLoopWaiter() so the GUI thread waits for the band and spot tasks
// processing events instead of blocking (events processed meanwhile must not start
// another frame; the camera delivers the next one only after the re-arm). The tool uses
// the default blocking wait.

#include "BeamAnalysis.h"
#include "ColorCorrection.h"
#include "FrameMemory.h"
#include "MeasureTypes.h"
#include "Results.h"
#include "SpotSearch.h"
#include "Stabilizer.h"

#include <QFuture>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QRect>
#include <QString>
#include <array>
#include <functional>
#include <optional>

namespace lumetra::measure {

// Waits until every future of the list has finished.
using Waiter = std::function<void(const QList<QFuture<void>>&)>;
// Plain blocking wait (the offline tool, tests).
Waiter blockingWaiter();
// Waits while processing events, woken by QFutureWatcher signals: no spinning, the GUI
// thread keeps handling events, and it returns only once every task has finished (also
// when the application is asked to quit meanwhile). Use only on a thread with an event
// dispatcher.
Waiter eventLoopWaiter();

struct FrameInput {
    QImage crop; // ROI crop of the frame (converted to RGB888 if needed)
    // When valid, `crop` is the whole frame and this the ROI: the pipeline cuts it out
    // itself, spread over its tasks (a copy of the crop by the caller is one more pass over
    // it on one thread).
    QRect cropRect;
    int stabCount = 0;            // after this frame's increment
    int stabDepth = 8;            // 1..10
    std::optional<Corner> corner; // none: no channel shift
    UnmixMatrix unmix{};          // the corner's coefficients (TL's when none), row-major
    std::array<double, 3> powerFactor{29.0, 59.0, 43.0}; // of that corner, R, G, B
    float exposureUs = 10000.0f;
    int redBoost = 1;                // 1..4
    bool calibrationRunning = false; // power labels untouched, caller records a sample
    // Beam analysis beside the labels: its own power factors (R, G, B of the corner), and
    // its own matrix when the caller has one (else `unmix`).
    bool analyse = true;
    std::array<double, 3> analysisFactor = kStartAnalysisFactors;
    std::optional<UnmixMatrix> analysisUnmix;
    bool analysisProfiles = false; // profiles and their fits, for a plot
};

struct FrameResult {
    bool measured = false;   // false: crop too small, nothing to show or apply
    bool stabilised = false; // stabCount has reached stabDepth
    std::array<MeasurePair, PairCount> pairs{};
    int maxAll = 0, maxR = 0, maxG = 0, maxB = 0;
    QPoint centreR{-1, -1}, centreG{-1, -1}, centreB{-1, -1};
    QPoint sizeAll{-1, -1}, sizeR{-1, -1}, sizeG{-1, -1}, sizeB{-1, -1};
    std::array<qint64, 3> channelSums{};        // raw sums of the sampled pixels
    std::array<float, 3> cornerSignal{};        // the matrix applied to channelSums
    std::optional<std::array<double, 3>> power; // W per channel; set when shown
    std::optional<double> totalPower;
    QString powerNote; // why a shown power is "N/A" (no finite value), else empty
    std::optional<double> exposureFactor; // 1.1, 1.02, 0.94 or none
    QImage correctedImage;                // after the red boost, for display
    QImage stabilisedCrop;                // the crop as the stabiliser left it
    ResultTexts texts;                    // every text is set but the powers and the region warning
    BeamAnalysisResult analysis;          // analysed == false when not asked for
};

class FramePipeline {
public:
    explicit FramePipeline(Waiter waiter = blockingWaiter());

    // Stabilises the crop in four row-band tasks on the measuring pool and measures it.
    FrameResult process(FrameInput input);

    // Measures an already stabilised crop (no stabiliser pass).
    FrameResult computeMeasures(const QImage& stabilisedCrop, const FrameInput& input);

    void setWaiter(Waiter waiter) { m_wait = std::move(waiter); }
    const Stabilizer& stabilizer() const { return m_stab; }

private:
    QImage& correctedBuffer(int w, int h);
    // The crop to stabilise and where its rows come from: `from` is empty when the crop
    // already holds them. Detached, so that the bands write into it without a copy.
    QImage& takeCrop(FrameInput* input, RowView* from);
    // Picks and sizes the corrected image and the selector planes for a crop; false (and no
    // current image) when the crop has no corrected image.
    bool startCorrection(int cropWidth, int cropHeight);
    RowView correctedRows();
    // The measures once the current corrected image and planes are filled; `sums` are the
    // raw channel sums of the correction.
    FrameResult measure(const FrameInput& in, const ChannelSums& sums);
    // Begins the beam analysis of the crop (stabilised, RGB888 within the history size, its
    // pixels the maximum of `framesInMax` frames; untouched until measure() returns), when
    // asked for and the crop has a corrected image; measure() runs it.
    void startAnalysis(const RowView& crop, const FrameInput& in, int framesInMax);
    static int depthOf(const FrameInput& in);

    Stabilizer m_stab;
    // Crops and corrected images go out with the results, which the window may hold for a
    // few frames while it catches up: their memory comes back to the pools.
    static constexpr std::size_t kPoolKeep = 8;
    ImagePool m_cropPool{kPoolKeep};
    ImagePool m_correctedPool{kPoolKeep};
    QImage m_crop;               // this frame's crop
    QImage m_corrected;          // this frame's corrected image
    QImage m_source;             // the frame the crop is cut from, during a frame
    QImage* m_current = nullptr; // m_corrected, when the crop has a corrected image
    SpotPlanes m_planes;         // selector planes of the corrected image, reused frame to frame
    BeamAnalyzer m_analyzer;
    bool m_analysing = false;   // the analyzer has begun on this frame's crop
    int m_framesStabilised = 0; // frames through the stabiliser: how many its maximum holds
    Waiter m_wait;
};

// Crops wider or taller than the history are cut to kMaxRoiSide from the top-left; the
// result is RGB888 and not shared with `image`.
QImage prepareCrop(QImage image);

} // namespace lumetra::measure
