#pragma once
// Beam analysis by second moments (ISO 11146-1/-3) on the stabilised ROI crop, beside the
// FWHM labels: the camera channels' baselines are taken from the crop's outer band and
// subtracted, the beams are unmixed in floating point without clamping, and each beam's
// centroid, second moments and widths come from the standard's iterative integration area
// (3 x the D4sigma widths around the centroid, until the widths change by less than 1 %).
//
// GUI-free and stateless between frames: a function of the crop, the unmixing matrix, the
// corner's channel shift, the exposure and the power factors. BeamAnalyzer only keeps its
// buffers from one frame to the next.

#include "MeasureTypes.h"
#include "NoiseFloor.h"

#include <QRect>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

class QImage;

namespace lumetra::measure {

// Image scale of the head, as the FWHM divergence uses it.
constexpr double kMradPerPixel = 2.0 / 200.0;
// Gaussian FWHM per D4sigma width: sqrt(2 ln 2) / 2.
constexpr double kFwhmPerD4Sigma = 0.58870501125773734;
// Power factors (counts per exposure microsecond per watt) without a calibration.
constexpr std::array<double, 3> kStartAnalysisFactors{29.0, 59.0, 43.0};

// Reasons given instead of (or beside) a channel's numbers.
inline constexpr const char* kReasonTooWeak = "too weak";
inline constexpr const char* kReasonSaturated = "saturated";
inline constexpr const char* kReasonNoConvergence = "did not converge";
inline constexpr const char* kReasonRoiTooSmall = "ROI too small for the beam";
inline constexpr const char* kReasonAtEdge = "beam at the ROI edge";
inline constexpr const char* kReasonNoUnmixing = "no usable unmixing coefficients";
inline constexpr const char* kReasonNoPowerFactor = "no usable power factor or exposure";

// A profile through the centroid and the Gaussian fitted to it. Positions are in mrad from
// the centroid; values in background-corrected, unmixed counts.
struct BeamProfile {
    std::vector<float> position;
    std::vector<float> value;
    // a * exp(-(p - centre)^2 / (2 sigma^2)); absent when no fit was possible.
    struct Fit {
        double amplitude = 0, centre = 0, sigma = 0;
    };
    std::optional<Fit> fit;
};

struct BeamChannelResult {
    // Numbers are meaningful (they may still be biased: valid == false with a reason).
    bool hasNumbers = false;
    bool valid = false;
    QString reason; // empty when valid

    // mrad; centroid from the ROI centre, x to the right, y upwards, channel shift removed.
    double centroidX = 0, centroidY = 0;
    double d4SigmaX = 0, d4SigmaY = 0;
    double fwhmX = 0, fwhmY = 0; // Gaussian equivalent: D4sigma x kFwhmPerD4Sigma
    double major = 0, minor = 0; // D4sigma along the principal axes
    double azimuthDeg = 0;       // major axis from x, counter-clockwise, (-90, 90]
    double ellipticity = 0;      // minor / major
    std::optional<double> power; // W

    double signal = 0; // background-corrected unmixed counts in the integration area
    double peak = 0;   // Gaussian-equivalent peak in counts
    int rounds = 0;    // integration rounds used
    QRect area;        // final integration area in crop pixels
    // Background-corrected sums of the camera's R, G, B over the integration area: what a
    // power calibration needs to measure a factor with a reloaded matrix.
    std::array<double, 3> cameraSums{};

    BeamProfile profileX, profileY;
};

struct BeamAnalysisResult {
    bool analysed = false;              // false: no crop to analyse
    bool profiles = false;              // the channels carry their profiles
    std::array<double, 3> background{}; // baseline per camera channel, counts
    std::array<double, 3> backgroundRms{};
    std::array<BeamChannelResult, 3> channel; // R, G, B beams
    // Alignment RG, BG, RB (mrad, x right, y up); set when both channels have numbers.
    std::array<std::optional<MeasurePair>, 3> alignment;
};

struct BeamAnalysisInput {
    Shift shift;                                           // the corner's red shift (sx, sy)
    UnmixMatrix unmix{};                                   // row-major, camera RGB to beams
    double exposureUs = 10000.0;                           //
    std::array<double, 3> factors = kStartAnalysisFactors; // per beam
    bool profiles = true;                                  // fill profileX/profileY
    int frames = 1; // frames in the stabiliser's maximum (shapes the noise floor)
};

// Keeps its tables from frame to frame (no allocation once sized). One frame is either
// analyse() on the calling thread, or its phases in this order, spread over threads:
// begin(); floors() and tablePart(0 .. kTableParts - 1) concurrently; corrections();
// channel(0 .. 2) concurrently; finish(). The crop must stay untouched from begin() to
// finish().
class BeamAnalyzer {
public:
    static constexpr int kTableParts = 2;

    BeamAnalyzer() = default;
    BeamAnalyzer(const BeamAnalyzer&) = delete;
    BeamAnalyzer& operator=(const BeamAnalyzer&) = delete;

    // The crop as RGB888 rows (only read).
    BeamAnalysisResult analyse(const RowView& crop, const BeamAnalysisInput& in);
    BeamAnalysisResult analyse(const QImage& crop, const BeamAnalysisInput& in);

    void begin(const RowView& crop, const BeamAnalysisInput& in);
    void floors();
    void tablePart(int part);
    void corrections();
    void channel(int c);
    BeamAnalysisResult finish();

    // Moments of the camera channels over a rectangle (crop coordinates, 1, x, y, x^2, y^2,
    // x y), less the quantisation structure under the light.
    struct Moments {
        double m[6] = {0, 0, 0, 0, 0, 0};
    };

private:
    // The tables work on blocks of kBlockH rows by kBlockW columns.
    static constexpr int kBlockW = 32;
    static constexpr int kBlockH = 8;
    // A rectangle as its rows inside whole block rows [by0, by1) and the rows above and
    // below them (ya0..yb0, ya1..yb1; empty when a > b); within the block rows, whole
    // blocks [bx0, bx1) and the columns left and right of them (xa0..xb0, xa1..xb1).
    struct Split {
        int x0 = 0, x1 = -1;
        int by0 = 0, by1 = 0, bx0 = 0, bx1 = 0;
        int ya0 = 0, yb0 = -1, ya1 = 0, yb1 = -1;
        int xa0 = 0, xb0 = -1, xa1 = 0, xb1 = -1;
    };
    Split split(const QRect& r) const;
    void buildCorrections(int k);
    // Quantisation structure to subtract from channel k at a pixel, beyond the floor's mean.
    double correctionAt(int k, int x, int y) const;
    Moments rectMoments(int k, const QRect& r) const;
    bool saturatedIn(const QRect& r, const std::array<bool, 3>& used) const;
    // Where the iteration starts for one beam (unmixing row `m`); none without a beam.
    std::optional<QRect> startArea(const double (&m)[3], double pixelNoise) const;

    RowView m_crop;
    BeamAnalysisInput m_in;
    BeamAnalysisResult m_res;
    std::array<NoiseFloor, 3> m_floors;
    int m_width = 0, m_height = 0;
    int m_bw = 0, m_bh = 0; // whole blocks across and down
    // Per channel and block row, its column sums over the block row's rows: of the values,
    // of the values times the row's offset from the block row's middle, and times its
    // square (3 arrays of m_width per block row).
    std::array<std::vector<std::int16_t>, 3> m_columnSums;
    // Per channel and block row: running sums along the row of the blocks' moments (1, x, y,
    // x^2, y^2, x y of the values, crop coordinates), m_bw + 1 entries of 6 per block row.
    std::array<std::vector<std::int64_t>, 3> m_rowSums;
    // Per channel and block: largest value, sum, and the sums of the values times the
    // column and the row within the block (for the block's slopes).
    std::array<std::vector<std::uint8_t>, 3> m_blockMax;
    std::array<std::vector<std::int32_t>, 3> m_blockSum, m_blockSx, m_blockSy;
    // Largest value per table part and channel.
    std::array<std::array<std::uint8_t, 3>, kTableParts> m_partMax{};
    // Per channel (only where its floor is structured) and block: the quantisation
    // structure under the light (see NoiseFloor), and its running sums along each block
    // row weighted with the block's pixel moments.
    std::array<bool, 3> m_corrected{};
    std::array<std::vector<double>, 3> m_delta;
    std::array<std::vector<double>, 3> m_deltaSums;
    // Largest value of each column of the block row at hand, per table part and channel.
    std::array<std::vector<std::uint8_t>, kTableParts> m_columnMax;
    // The rows of the block row at hand split by channel, per table part.
    std::array<std::vector<std::uint8_t>, kTableParts> m_splitRows;
};

// A Gaussian least-squares fit of a profile (positions, values); none when the profile has
// fewer than three positive points.
std::optional<BeamProfile::Fit> fitGaussian(const std::vector<float>& position,
                                            const std::vector<float>& value);

} // namespace lumetra::measure
