#pragma once
// Stability of the measured beams over time: pointing stability per beam after ISO 11670
// (twice the standard deviation of the centroid angle per axis, and the largest distance
// of a centroid from the mean centroid), power stability per channel (RMS and peak-to-peak
// deviation in percent of the mean power) and the drift of the alignments RG, BG, RB.
//
// Memory stays constant however long it runs: StabilityStats keeps running moments, the
// extremes and, per beam, the centroids farthest out in kDirections directions (the point
// farthest from any mean lies on the hull of the centroids, which those extremes approach
// within 1 - cos(pi / kDirections), 0.5 %). RollingStability keeps a ring of such
// summaries, one per slice of its window, so its figures cover the last window to within
// one slice.

#include "FramePipeline.h"
#include "MeasureTypes.h"

#include <QPointF>

#include <array>
#include <optional>
#include <vector>

namespace lumetra::measure {

// What one frame contributes. Centroids in mrad from the beam analysis (x right, y up),
// powers in W as the power labels show them, alignments in mrad (RG, BG, RB).
struct StabilitySample {
    double seconds = 0; // time of the frame, any origin, increasing
    std::array<std::optional<QPointF>, 3> centroid;
    std::array<std::optional<double>, 3> power;
    std::array<std::optional<MeasurePair>, 3> alignment;
};
// The sample of a measured frame: the analysis centroids of beams with numbers, the shown
// powers (finite ones), the label alignments where both spots were found.
StabilitySample stabilitySample(const FrameResult& result, double seconds);

struct PointingStability {
    int samples = 0;
    double twoSigmaX = 0, twoSigmaY = 0; // urad
    double maxDistance = 0;              // urad, farthest centroid from the mean centroid
};
struct PowerStability {
    int samples = 0;
    double mean = 0;              // W
    double rmsPercent = 0;        // standard deviation / mean
    double peakToPeakPercent = 0; // (max - min) / mean
};
struct AlignmentDrift {
    int samples = 0;
    double meanX = 0, meanY = 0;   // urad
    double rangeX = 0, rangeY = 0; // max - min, urad
    double twoSigmaX = 0, twoSigmaY = 0;
};
struct StabilityFigures {
    int frames = 0;
    double seconds = 0; // from the first to the last frame
    std::array<PointingStability, 3> pointing;
    std::array<PowerStability, 3> power;
    std::array<AlignmentDrift, 3> alignment;
};

// Running statistics of one quantity (Welford's moments, extremes); mergeable.
struct RunningStat {
    long long n = 0;
    double mean = 0, m2 = 0;
    double min = 0, max = 0;
    void add(double v);
    void merge(const RunningStat& o);
    double sigma() const; // population standard deviation
};

class StabilityStats {
public:
    static constexpr int kDirections = 32;

    void add(const StabilitySample& s);
    void merge(const StabilityStats& o);
    void clear() { *this = StabilityStats(); }
    bool empty() const { return m_frames == 0; }
    StabilityFigures figures() const;

private:
    struct Beam {
        RunningStat x, y;
        std::array<QPointF, kDirections> extreme; // valid when x.n > 0
    };
    int m_frames = 0;
    double m_first = 0, m_last = 0;
    std::array<Beam, 3> m_beam;
    std::array<RunningStat, 3> m_power;
    std::array<RunningStat, 3> m_alignX, m_alignY;
};

// The last `windowSeconds` in `slices` summaries (constant memory).
class RollingStability {
public:
    explicit RollingStability(double windowSeconds, int slices = 60);
    void add(const StabilitySample& s);
    void clear();
    double windowSeconds() const { return m_window; }
    StabilityFigures figures() const;

private:
    double m_window;
    double m_slice;
    std::vector<StabilityStats> m_ring;
    std::vector<long long> m_index; // slice number each ring entry holds, -1 empty
    long long m_newest = -1;
};

// The whole run and the live windows (10 s, 1 min, 10 min) fed together.
class StabilityMonitor {
public:
    static constexpr std::array<double, 3> kWindows{10.0, 60.0, 600.0};
    StabilityMonitor();
    void add(const StabilitySample& s);
    void clear();
    StabilityFigures total() const { return m_total.figures(); }
    StabilityFigures window(int i) const { return m_windows[size_t(i)].figures(); }

private:
    StabilityStats m_total;
    std::array<RollingStability, 3> m_windows;
};

} // namespace lumetra::measure
