#pragma once
// The noise floor of one camera channel after the stabiliser, and what 8-bit quantisation
// does to faint light on top of it.
//
// The stabiliser keeps the per-pixel maximum of N frames. Its floor is skewed (the maximum
// of N noisy values), and at low noise the maximum hardly dithers the quantisation: the
// expected value of a pixel then depends on where the light level lies between two counts,
// by a few hundredths of a count. Over the thousands of pixels of an integration area that
// is a bias of percents in a second moment. The floor model gives that structure: fitted
// to the band's histogram (black level and per-frame noise, Gaussian noise added before
// the converter), it tells for any light level what a pixel reads on average, so that the
// analysis subtracts the floor the light actually sits on.

#include <array>
#include <cstdint>
#include <vector>

namespace lumetra::measure {

using FloorHistogram = std::array<std::uint32_t, 256>;

class NoiseFloor {
public:
    // Fits the floor to a histogram of stabilised values, each the maximum of `frames`
    // frames. Values beyond 4.5 standard deviations of the bulk (beam tails, hot pixels)
    // are left out. The floor of the previous frame, when given, starts the search.
    static NoiseFloor fit(const FloorHistogram& histogram, int frames,
                          const NoiseFloor* previous = nullptr);

    double mean() const { return m_mean; } // mean value of the floor as read
    double rms() const { return m_rms; }
    // Black level and per-frame noise of the model (noise 0: no model, nothing to correct).
    double level() const { return m_level; }
    double noise() const { return m_sigma; }
    // True when quantisation leaves a structure worth correcting.
    bool structured() const { return m_structured; }

    // Average reading minus the light's level for a pixel whose level (black level plus
    // light) is x.
    double excess(double x) const;

    // What to subtract from every pixel of a block of width x height pixels, beyond the
    // floor's mean, so that the rest is light: the block reads `blockMean` on average and
    // rises by `slopeX`, `slopeY` counts per pixel. Zero on the bare floor; where the light
    // is steep the structure averages out over the block.
    double blockCorrection(double blockMean, double slopeX, double slopeY, int width,
                           int height) const;

private:
    double tableValue(double x) const;

    double m_mean = 0, m_rms = 0;
    double m_level = 0, m_sigma = 0, m_maxMean = 0;
    double m_floorExcess = 0;
    bool m_structured = false;
    bool m_fitted = false; // black level and noise come from the likelihood fit
    int m_frames = 1;
    // Expected reading at levels m_x0 + i / kSteps; the last whole count repeats beyond.
    double m_x0 = 0;
    std::vector<double> m_table;
};

// Mean and standard deviation of the largest of n independent standard normal values.
struct MaxOfNormals {
    double mean = 0, sd = 1;
};
MaxOfNormals maxOfNormals(int n);

} // namespace lumetra::measure
