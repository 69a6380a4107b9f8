#pragma once
// Random camera-like frames for the measuring tests: Gaussian spots per channel, noise,
// hot pixels and the odd pulse.

#include <QImage>
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace scene {

struct Spot {
    double cx, cy, sigmaX, sigmaY;
    double amp[3];
};

struct Scene {
    std::vector<Spot> spots;
    int noise = 0;        // uniform 0..noise added per channel
    double hotRate = 0.0; // share of pixels set to 255 in one channel
    int background = 0;
};

inline Scene randomScene(std::mt19937& rng, int w, int h) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    Scene s;
    const int n = int(rng() % 4);
    for (int i = 0; i < n; ++i) {
        Spot sp;
        sp.cx = u(rng) * w;
        sp.cy = u(rng) * h;
        sp.sigmaX = 1.0 + u(rng) * std::max(2.0, w / 4.0);
        sp.sigmaY = 1.0 + u(rng) * std::max(2.0, h / 4.0);
        for (double& a : sp.amp) {
            a = u(rng) < 0.3 ? 0.0 : u(rng) * 400.0;
        }
        s.spots.push_back(sp);
    }
    s.noise = int(rng() % 3) == 0 ? 0 : int(rng() % 30);
    s.hotRate = u(rng) < 0.3 ? u(rng) * 0.01 : 0.0;
    s.background = int(rng() % 4) == 0 ? int(rng() % 20) : 0;
    return s;
}

inline QImage render(const Scene& s, int w, int h, std::mt19937& rng, double jitter = 0.0) {
    QImage img(w, h, QImage::Format_RGB888);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<Spot> spots = s.spots;
    for (Spot& sp : spots) {
        sp.cx += jitter * u(rng);
        sp.cy += jitter * u(rng);
    }
    std::uniform_real_distribution<double> hot(0.0, 1.0);
    for (int y = 0; y < h; ++y) {
        uchar* p = img.scanLine(y);
        for (int x = 0; x < w; ++x) {
            for (int c = 0; c < 3; ++c) {
                double v = s.background;
                for (const Spot& sp : spots) {
                    const double dx = (x - sp.cx) / sp.sigmaX;
                    const double dy = (y - sp.cy) / sp.sigmaY;
                    v += sp.amp[c] * std::exp(-0.5 * (dx * dx + dy * dy));
                }
                if (s.noise > 0) {
                    v += double(rng() % unsigned(s.noise + 1));
                }
                p[3 * x + c] = uchar(std::clamp(int(v), 0, 255));
            }
            if (s.hotRate > 0 && hot(rng) < s.hotRate) {
                p[3 * x + int(rng() % 3)] = 255;
            }
        }
    }
    return img;
}

} // namespace scene
