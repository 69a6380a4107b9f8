#include "NoiseFloor.h"

#include <algorithm>
#include <cmath>

namespace lumetra::measure {

namespace {

constexpr int kSteps = 32;           // table points per count
constexpr double kClipSigma = 4.5;   // bulk of the floor
constexpr double kMinDither = 0.12;  // below this spread of the maximum nothing dithers
constexpr double kModelDither = 0.6; // above it, the structure is below a thousandth
constexpr double kMinStructure = 0.002;

double normalCdf(double z) {
    return 0.5 * std::erfc(-z * 0.70710678118654752);
}

// The reading of a pixel at level x: round(x + M), clamped to 0..255, with M the largest of
// n Gaussian values of spread sigma.
struct Reading {
    double sigma = 1;
    int n = 1;
    double meanM = 0, sdM = 1;

    double cdfMax(double t) const {
        const double p = normalCdf(t / sigma);
        return n == 1 ? p : std::pow(p, n);
    }
    void moments(double x, double* m1, double* m2) const {
        const int jlo = std::clamp(int(std::floor(x + meanM - 9 * sdM - 1)), 0, 255);
        const int jhi = std::clamp(int(std::ceil(x + meanM + 9 * sdM + 1)), 0, 255);
        double before = 0, s1 = 0, s2 = 0;
        for (int j = jlo; j <= jhi; ++j) {
            // Everything below jlo reads jlo and everything above jhi reads jhi: both far
            // in the tails.
            const double upTo = j == jhi ? 1.0 : cdfMax(j + 0.5 - x);
            const double p = upTo - before;
            s1 += j * p;
            s2 += double(j) * j * p;
            before = upTo;
        }
        *m1 = s1;
        *m2 = s2;
    }
    double mean(double x) const {
        double a, b;
        moments(x, &a, &b);
        return a;
    }
    double variance(double x) const {
        double a, b;
        moments(x, &a, &b);
        return std::max(0.0, b - a * a);
    }
};

// Where f is largest on [a, b], f taken as having one peak there.
template <typename F> double goldenMax(F f, double a, double b, int rounds = 24) {
    const double g = 0.6180339887498949;
    double c = b - g * (b - a), d = a + g * (b - a);
    double fc = f(c), fd = f(d);
    for (int i = 0; i < rounds; ++i) {
        if (fc < fd) {
            a = c;
            c = d;
            fc = fd;
            d = a + g * (b - a);
            fd = f(d);
        } else {
            b = d;
            d = c;
            fd = fc;
            c = b - g * (b - a);
            fc = f(c);
        }
    }
    return 0.5 * (a + b);
}

} // namespace

MaxOfNormals maxOfNormals(int n) {
    n = std::max(n, 1);
    const double step = 0.01;
    double s0 = 0, s1 = 0, s2 = 0;
    for (double z = -8; z <= 8; z += step) {
        const double pdf =
            n * std::exp(-0.5 * z * z) * 0.3989422804014327 * std::pow(normalCdf(z), n - 1);
        s0 += pdf;
        s1 += pdf * z;
        s2 += pdf * z * z;
    }
    const double mean = s1 / s0;
    return {mean, std::sqrt(std::max(0.0, s2 / s0 - mean * mean))};
}

NoiseFloor NoiseFloor::fit(const FloorHistogram& hist, int frames, const NoiseFloor* previous) {
    NoiseFloor f;
    int lo = 0, hi = 255;
    double mean = 0, var = 0;
    for (int iter = 0; iter < 50; ++iter) {
        double n = 0, s = 0, ss = 0;
        for (int v = lo; v <= hi; ++v) {
            const double c = hist[std::size_t(v)];
            n += c;
            s += c * v;
            ss += c * double(v) * v;
        }
        if (n <= 0) {
            break;
        }
        mean = s / n;
        var = std::max(0.0, ss / n - mean * mean);
        const double rms = std::sqrt(var);
        const int nlo = std::max(0, int(std::ceil(mean - kClipSigma * rms)));
        const int nhi = std::min(255, int(std::floor(mean + kClipSigma * rms)));
        if ((nlo == lo && nhi == hi) || nlo > nhi) {
            break;
        }
        lo = nlo;
        hi = nhi;
    }
    f.m_mean = mean;
    f.m_rms = std::sqrt(var);
    f.m_level = mean;
    f.m_frames = std::max(frames, 1);

    static const std::array<MaxOfNormals, 17> kMax = [] {
        std::array<MaxOfNormals, 17> t{};
        for (int n = 1; n <= 16; ++n) {
            t[std::size_t(n)] = maxOfNormals(n);
        }
        return t;
    }();
    frames = std::max(frames, 1);
    const MaxOfNormals mx = frames <= 16 ? kMax[std::size_t(frames)] : maxOfNormals(frames);

    // Spread of the maximum, Sheppard-corrected for the quantisation step: good when it is
    // large; when it is small quantisation rules the histogram, and the model is fitted.
    const double spread = std::sqrt(std::max(var - 1.0 / 12.0, 0.0));
    Reading r;
    r.n = frames;
    auto setSigma = [&](double s) {
        r.sigma = s;
        r.meanM = mx.mean * s;
        r.sdM = mx.sd * s;
    };
    setSigma(std::max(spread, 1e-3) / mx.sd);
    f.m_sigma = r.sigma;
    f.m_maxMean = r.meanM;
    f.m_level = mean - r.meanM;
    if (spread >= kModelDither) {
        return f; // the structure is negligible
    }
    // Two free parameters need three values read often enough (the rare ones carry the
    // noise); with two, black level and noise trade off freely and the model would be a
    // guess.
    int populated = 0;
    for (int j = lo; j <= hi; ++j) {
        populated += hist[std::size_t(j)] >= 20 ? 1 : 0;
    }
    if (populated < 3) {
        return f;
    }
    // Black level and noise of the largest likelihood of the floor's histogram; mean and
    // spread alone do not pin them down once quantisation matters.
    auto logLikelihood = [&](double x, double sg) {
        Reading t = r;
        t.sigma = sg;
        t.meanM = mx.mean * sg;
        t.sdM = mx.sd * sg;
        double before = lo == 0 ? 0.0 : t.cdfMax(lo - 0.5 - x), ll = 0;
        for (int j = lo; j <= hi; ++j) {
            const double upTo = j == 255 ? 1.0 : t.cdfMax(j + 0.5 - x);
            ll += hist[std::size_t(j)] * std::log(std::max(upTo - before, 1e-300));
            before = upTo;
        }
        return ll;
    };
    // The likelihood is a narrow ridge along which black level and noise trade off: search
    // the noise, with the best level for each. The floor of the frame before is a close
    // start; a result at the edge of that narrow search means the floor changed.
    auto search = [&](double sLo, double sHi, double reach, int rounds, double* levelOut) {
        auto bestLevel = [&](double sg) {
            const double m = mean - mx.mean * sg;
            return goldenMax([&](double x) { return logLikelihood(x, sg); }, m - reach, m + reach,
                             rounds);
        };
        const double sg =
            goldenMax([&](double v) { return logLikelihood(bestLevel(v), v); }, sLo, sHi, rounds);
        *levelOut = bestLevel(sg);
        return sg;
    };
    double level = 0, sg = 0;
    bool done = false;
    if (previous && previous->m_sigma > 0 && previous->m_frames == frames && previous->m_fitted) {
        const double p = previous->m_sigma;
        sg = search(0.9 * p, 1.1 * p, 0.1, 11, &level);
        const double m = mean - mx.mean * sg;
        done = sg > 0.91 * p && sg < 1.09 * p && std::abs(level - m) < 0.09;
    }
    if (!done) {
        sg = search(0.02 / mx.sd, 1.5 * kModelDither / mx.sd, 1.0, 18, &level);
    }
    f.m_fitted = true;
    setSigma(sg);
    f.m_level = level;
    f.m_sigma = r.sigma;
    f.m_maxMean = r.meanM;
    if (r.sdM < kMinDither) {
        return f; // hardly any dither: the structure is a staircase beyond this model
    }

    // Expected readings from just below the floor to one whole count beyond the levels at
    // which the clamp at zero still matters.
    const double periodic = std::max(level, 0.5 + 6 * r.sdM - r.meanM) + 1;
    f.m_x0 = level - 1;
    const int points = int(std::ceil((periodic + 1 - f.m_x0) * kSteps)) + 1;
    f.m_table.resize(std::size_t(points));
    for (int i = 0; i < points; ++i) {
        f.m_table[std::size_t(i)] = r.mean(f.m_x0 + double(i) / kSteps);
    }
    f.m_floorExcess = f.excess(level);
    double amplitude = 0;
    for (int i = 0; i < points; ++i) {
        const double x = f.m_x0 + double(i) / kSteps;
        if (x >= level) {
            amplitude = std::max(amplitude, std::abs(f.excess(x) - f.m_floorExcess));
        }
    }
    f.m_structured = amplitude > kMinStructure;
    return f;
}

double NoiseFloor::tableValue(double x) const {
    const double last = m_x0 + double(m_table.size() - 1) / kSteps;
    double shift = 0;
    if (x > last) {
        // Beyond the table the excess repeats with the period of one count.
        shift = std::ceil(x - last);
        x -= shift;
    }
    double pos = (x - m_x0) * kSteps;
    if (pos <= 0) {
        return m_table.front() + (x - m_x0) + shift;
    }
    const std::size_t i = std::min(std::size_t(pos), m_table.size() - 2);
    const double t = pos - double(i);
    return m_table[i] + t * (m_table[i + 1] - m_table[i]) + shift;
}

double NoiseFloor::excess(double x) const {
    if (m_table.empty()) {
        return m_mean - m_level;
    }
    return tableValue(x) - x;
}

double NoiseFloor::blockCorrection(double blockMean, double slopeX, double slopeY, int width,
                                   int height) const {
    if (!m_structured) {
        return 0;
    }
    // Reading = light + floor level + mean of the maximum + structure; the structure s(x) =
    // excess(x) - mean of the maximum is what depends on where the level lies in a count.
    const double rise = std::max(width * std::abs(slopeX), height * std::abs(slopeY));
    if (rise > 3) {
        // Steep light: the structure averages out within the block.
        return m_maxMean - m_floorExcess;
    }
    // A ramp over the block's pixels averages the structure's first harmonic by this much.
    auto damping = [](double s, int side) {
        const double a = 3.14159265358979323846 * s;
        if (std::abs(side * a) < 0.1) {
            return 1 - (double(side) * side - 1) * a * a / 6; // to within 1e-5
        }
        return std::sin(side * a) / (side * std::sin(a));
    };
    const double damp = damping(slopeX, width) * damping(slopeY, height);
    double e = m_floorExcess;
    for (int i = 0; i < 3; ++i) {
        e = m_maxMean + (excess(blockMean - e) - m_maxMean) * damp;
    }
    return e - m_floorExcess;
}

} // namespace lumetra::measure
