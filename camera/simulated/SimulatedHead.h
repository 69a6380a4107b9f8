#pragma once
// The simulated sensor head: its configuration (one group of simulated-head.ini) and the
// renderer that turns the scene of up to three beams into camera frames.

#include <QPointF>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "sdk/Sdk.h"

class QSettings;

namespace lumetra::sim {

// Image scale of the head's optics.
constexpr double kMradPerPixel = 0.01;
// Largest sensor side a head may declare: a frame stays within what the window shows and
// what memory holds (8192 x 8192 x 3 bytes = 192 MB).
constexpr int kMaxSensorSide = 8192;
constexpr int kMaxPaddingX = 4096;
// How far the optics move the red (towards) and blue (away from) image from the green one,
// in pixels, along the diagonal of the landing corner.
constexpr double kChannelShiftPx = 5.0;

enum class LandingCorner { TL = 0, TR = 1, BL = 2, BR = 3 };

struct BeamConfig {
    std::string wavelength;   // text, e.g. "635"
    double power = 1.0;       // W, 0 = beam off
    double divergenceX = 0.8; // FWHM, mrad
    double divergenceY = 0.8;
    double offsetX = 0.0;                 // mrad, to the right on the displayed image
    double offsetY = 0.0;                 // mrad, upwards on the displayed image
    double response[3] = {0.0, 0.0, 0.0}; // camera red, green, blue
    double signal = 0.0;                  // total counts per exposure microsecond per watt
    // Slow changes while the head is open, for stability checks: a linear drift of the
    // centre (mrad per minute, x right, y up) and a sinusoidal power ripple (amplitude in
    // percent of the power, period in seconds).
    double driftX = 0.0, driftY = 0.0;
    double ripple = 0.0;
    double ripplePeriod = 1.0;
};

struct HeadConfig {
    std::string group; // the ini group that describes this head
    std::string serial = "40400001";
    std::string name = "Simulated sensor head";
    int sensorWidth = 1920;
    int sensorHeight = 1200;
    double maxFps = 60.0; // 0 = unlimited
    double temperature = 42.0;
    double temperatureRise = 0.0; // degrees per minute while open
    LandingCorner corner = LandingCorner::BR;
    BeamConfig beams[3];
    double background = 0.0;
    double noise = 0.5;
    // RGB8, Mono8 and the Bayer 8-bit patterns, under any name the SDK knows for them.
    std::vector<std::string> pixelFormats{"RGB8", "Mono8"};
    // What the link carries, in MB/s (10^6 bytes); it limits the frame rate by frame size.
    double linkBandwidth = 0.0; // 0 = unlimited
    int monoPaddingX = 0;
    int timeoutEvery = 0;
    int failEvery = 0;
    int unplugAfter = 0;
    // Keys of the group that were present but refused (not a number, out of range), as
    // "key=value refused, default used" texts; the device logs them when it is opened.
    std::vector<std::string> refused;

    HeadConfig(); // all defaults
    // Whether a beam drifts or ripples: its frames then depend on the time since opening.
    bool changesOverTime() const;
    // Reads one group; missing keys keep their defaults, and so do refused ones.
    static HeadConfig fromSettings(QSettings& settings, const QString& group);
};

// Centre of a channel's beam (0 = R, 1 = G, 2 = B) on the displayed (turned) full sensor
// image, in pixel coordinates (pixel i has its centre at i), `seconds` after the head was
// opened (the drift moves it).
QPointF beamCentreOnDisplay(const HeadConfig& head, int channel, double seconds = 0.0);
// A beam's power `seconds` after the head was opened (the ripple changes it).
double beamPower(const BeamConfig& beam, double seconds);
// Gaussian sigma in pixels of a FWHM divergence in mrad.
double sigmaPixels(double fwhmMrad);

// What one frame looks like: the sensor window and how it is read out.
struct FrameLayout {
    int offsetX = 0;
    int offsetY = 0;
    int width = 0;
    int height = 0;
    bool mono = false;
    int paddingX = 0; // bytes at the end of each line (mono only)
    double exposureUs = 0.0;
    // One byte per pixel through this colour-filter pattern (a Bayer type); Undefined for
    // RGB8 or Mono8.
    sdk::PixelType bayer = sdk::PixelType::Undefined;
    // Time since the head was opened; 0 unless the head changes over time.
    double seconds = 0.0;

    bool oneByte() const { return mono || bayer != sdk::PixelType::Undefined; }
    int bytesPerLine() const { return mono ? width + paddingX : oneByte() ? width : 3 * width; }
    size_t frameBytes() const { return size_t(bytesPerLine()) * size_t(height); }
    bool operator==(const FrameLayout& o) const;
    bool operator!=(const FrameLayout& o) const { return !(*this == o); }
};

// Renders frames in sensor orientation. The noise-free analogue image of a layout is
// computed once and kept (in 1/256 counts); every frame then only adds noise from a
// precomputed table, quantises and clamps, which keeps the per-frame cost to one pass over
// the buffer; background away from the beams is copied from a noisy-background table.
class Renderer {
public:
    explicit Renderer(HeadConfig head, uint64_t seed = 5489u);

    const HeadConfig& head() const { return m_head; }
    // Fills out (at least layout.frameBytes() bytes) with one frame.
    void render(const FrameLayout& layout, uint8_t* out);
    // The noise-free frame of a layout, quantised (for checks).
    const std::vector<uint8_t>& cleanFrame(const FrameLayout& layout);

private:
    void prepare(const FrameLayout& layout);

    HeadConfig m_head;
    FrameLayout m_cleanLayout;
    bool m_cleanValid = false;
    std::vector<uint16_t> m_clean; // analogue level, 1/256 counts
    bool m_clean8Valid = false;
    std::vector<uint8_t> m_clean8;
    // Noise (1/256 counts) split in a non-negative and a non-positive part so a frame is two
    // saturating operations per sample before the quantisation.
    std::vector<uint16_t> m_noiseUp;
    std::vector<uint16_t> m_noiseDown;
    // The background with the noise added, quantised, at every place of the table: most of
    // a frame is background, which is then a copy.
    std::vector<uint8_t> m_noisyBackground;
    // Per line of the clean frame, the byte ranges [first, end) that are not plain
    // background, in order and apart: one per beam at most, fewer where beams overlap.
    struct LineSpans {
        int count = 0;
        std::pair<size_t, size_t> span[3];
    };
    std::vector<LineSpans> m_lineSpans;
    bool m_hasNoise = false;
    std::mt19937_64 m_rng;
};

} // namespace lumetra::sim
