#pragma once
// Frames of the simulated sensor head as the window measures them: the ROI of the turned
// image, stabilised over `depth` frames by the measuring pipeline.

#include "Calibration.h"
#include "FramePipeline.h"
#include "simulated/SimulatedHead.h"

#include <QImage>
#include <QRect>
#include <algorithm>
#include <cmath>
#include <vector>

namespace headframes {

namespace sim = lumetra::sim;
namespace ms = lumetra::measure;

// The head's camera responses are the factory matrix: its inverse separates the beams.
inline ms::UnmixMatrix factoryInverse() {
    double a[3][3], inv[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            a[r][c] = lumetra::calibration::defaultMatrixValue(r, c);
    lumetra::calibration::invert3x3(a, inv);
    ms::UnmixMatrix m;
    for (int e = 0; e < 9; ++e)
        m[size_t(e)] = inv[e / 3][e % 3];
    return m;
}

// The head's beams: power in W, FWHM in mrad, offset in mrad.
struct Beam {
    double power = 1.0, fwhmX = 0.8, fwhmY = 0.8, offX = 0.0, offY = 0.0;
};

inline sim::HeadConfig head(const Beam (&beams)[3], double noise, double background,
                            sim::LandingCorner corner = sim::LandingCorner::BR) {
    sim::HeadConfig h;
    h.noise = noise;
    h.background = background;
    h.corner = corner;
    for (int c = 0; c < 3; ++c) {
        h.beams[c].power = beams[c].power;
        h.beams[c].divergenceX = beams[c].fwhmX;
        h.beams[c].divergenceY = beams[c].fwhmY;
        h.beams[c].offsetX = beams[c].offX;
        h.beams[c].offsetY = beams[c].offY;
    }
    return h;
}

// The ROI of the displayed image as the sensor window that holds it (turned by 180 degrees).
inline sim::FrameLayout layoutFor(const sim::HeadConfig& h, const QRect& roi, double exposureUs) {
    return {h.sensorWidth - roi.x() - roi.width(),
            h.sensorHeight - roi.y() - roi.height(),
            roi.width(),
            roi.height(),
            false,
            0,
            exposureUs};
}

inline QImage displayed(const uint8_t* sensor, int w, int h) {
    QImage img(w, h, QImage::Format_RGB888);
    for (int y = 0; y < h; ++y) {
        const uint8_t* src = sensor + std::size_t(h - 1 - y) * std::size_t(3 * w);
        uchar* dst = img.scanLine(y);
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < 3; ++k)
                dst[3 * x + k] = src[3 * (w - 1 - x) + k];
    }
    return img;
}

// Exposure at which the brightest camera channel of the noise-free frame peaks at `peak`.
inline double exposureForPeak(const sim::HeadConfig& h, const QRect& roi, double peak) {
    sim::HeadConfig quiet = h;
    quiet.noise = 0;
    quiet.background = 0;
    sim::Renderer r(quiet);
    const double probeUs = 100000.0; // bright enough that rounding does not matter
    const std::vector<uint8_t>& f = r.cleanFrame(layoutFor(quiet, roi, probeUs));
    sim::HeadConfig dim = quiet;
    // Find the brightest value without clamping: scale down until nothing saturates.
    double scale = 1.0;
    int top = *std::max_element(f.begin(), f.end());
    while (top >= 255 && scale > 1e-6) {
        scale /= 4;
        sim::Renderer s(quiet);
        const std::vector<uint8_t>& g = s.cleanFrame(layoutFor(quiet, roi, probeUs * scale));
        top = *std::max_element(g.begin(), g.end());
    }
    return top > 0 ? probeUs * scale * peak / top : probeUs;
}

// The peak of one beam in its own unmixed channel, in counts, noise-free.
inline double beamPeak(const sim::HeadConfig& h, int channel, double exposureUs) {
    const sim::BeamConfig& b = h.beams[channel];
    const double sx = sim::sigmaPixels(b.divergenceX), sy = sim::sigmaPixels(b.divergenceY);
    auto share = [](double s) { return std::erf(0.5 / (s * std::sqrt(2.0))); };
    return b.signal * b.power * exposureUs * share(sx) * share(sy);
}

// `frames` frames of the head through a fresh pipeline of depth `depth`; the last result.
inline ms::FrameResult measure(const sim::HeadConfig& h, const QRect& roi, double exposureUs,
                               ms::FrameInput base, int frames = 8, int depth = 8,
                               uint64_t seed = 11) {
    sim::Renderer r(h, seed);
    const sim::FrameLayout layout = layoutFor(h, roi, exposureUs);
    std::vector<uint8_t> buf(layout.frameBytes());
    ms::FramePipeline pipeline;
    ms::FrameResult last;
    base.stabDepth = depth;
    base.exposureUs = float(exposureUs);
    for (int i = 0; i < frames; ++i) {
        r.render(layout, buf.data());
        ms::FrameInput in = base;
        in.crop = displayed(buf.data(), roi.width(), roi.height());
        in.stabCount = std::min(i + 1, depth);
        last = pipeline.process(std::move(in));
    }
    return last;
}

} // namespace headframes
