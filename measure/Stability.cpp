#include "Stability.h"

#include <algorithm>
#include <cmath>

namespace lumetra::measure {

namespace {
constexpr double kUradPerMrad = 1000.0;
constexpr double kPi = 3.14159265358979323846;

const std::array<QPointF, StabilityStats::kDirections>& directions() {
    static const auto dirs = [] {
        std::array<QPointF, StabilityStats::kDirections> d;
        for (int k = 0; k < StabilityStats::kDirections; ++k) {
            const double a = 2.0 * kPi * k / StabilityStats::kDirections;
            d[size_t(k)] = QPointF(std::cos(a), std::sin(a));
        }
        return d;
    }();
    return dirs;
}

double dot(const QPointF& a, const QPointF& b) {
    return a.x() * b.x() + a.y() * b.y();
}
} // namespace

StabilitySample stabilitySample(const FrameResult& r, double seconds) {
    StabilitySample s;
    s.seconds = seconds;
    if (!r.measured)
        return s;
    for (size_t c = 0; c < 3; ++c) {
        if (r.analysis.analysed && r.analysis.channel[c].hasNumbers)
            s.centroid[c] =
                QPointF(r.analysis.channel[c].centroidX, r.analysis.channel[c].centroidY);
        if (r.power && std::isfinite((*r.power)[c]))
            s.power[c] = (*r.power)[c];
        if (r.analysis.analysed) {
            s.alignment[c] = r.analysis.alignment[c];
        } else {
            const MeasurePair p = r.pairs[size_t(PairRG) + c];
            if (p.x > -99 && p.y > -99)
                s.alignment[c] = p;
        }
    }
    return s;
}

void RunningStat::add(double v) {
    ++n;
    if (n == 1) {
        mean = min = max = v;
        m2 = 0;
        return;
    }
    const double d = v - mean;
    mean += d / double(n);
    m2 += d * (v - mean);
    min = std::min(min, v);
    max = std::max(max, v);
}

void RunningStat::merge(const RunningStat& o) {
    if (o.n == 0)
        return;
    if (n == 0) {
        *this = o;
        return;
    }
    const double total = double(n + o.n);
    const double d = o.mean - mean;
    mean += d * double(o.n) / total;
    m2 += o.m2 + d * d * double(n) * double(o.n) / total;
    n += o.n;
    min = std::min(min, o.min);
    max = std::max(max, o.max);
}

double RunningStat::sigma() const {
    return n > 0 ? std::sqrt(std::max(0.0, m2 / double(n))) : 0.0;
}

void StabilityStats::add(const StabilitySample& s) {
    if (m_frames == 0)
        m_first = s.seconds;
    m_last = std::max(m_last, s.seconds);
    ++m_frames;
    const auto& dirs = directions();
    for (size_t c = 0; c < 3; ++c) {
        if (const auto& p = s.centroid[c]) {
            Beam& b = m_beam[c];
            const bool first = b.x.n == 0;
            b.x.add(p->x());
            b.y.add(p->y());
            for (size_t k = 0; k < dirs.size(); ++k)
                if (first || dot(*p, dirs[k]) > dot(b.extreme[k], dirs[k]))
                    b.extreme[k] = *p;
        }
        if (s.power[c])
            m_power[c].add(*s.power[c]);
        if (const auto& a = s.alignment[c]) {
            m_alignX[c].add(a->x);
            m_alignY[c].add(a->y);
        }
    }
}

void StabilityStats::merge(const StabilityStats& o) {
    if (o.m_frames == 0)
        return;
    if (m_frames == 0) {
        *this = o;
        return;
    }
    m_first = std::min(m_first, o.m_first);
    m_last = std::max(m_last, o.m_last);
    m_frames += o.m_frames;
    const auto& dirs = directions();
    for (size_t c = 0; c < 3; ++c) {
        Beam& b = m_beam[c];
        const Beam& ob = o.m_beam[c];
        if (ob.x.n > 0) {
            for (size_t k = 0; k < dirs.size(); ++k)
                if (b.x.n == 0 || dot(ob.extreme[k], dirs[k]) > dot(b.extreme[k], dirs[k]))
                    b.extreme[k] = ob.extreme[k];
            b.x.merge(ob.x);
            b.y.merge(ob.y);
        }
        m_power[c].merge(o.m_power[c]);
        m_alignX[c].merge(o.m_alignX[c]);
        m_alignY[c].merge(o.m_alignY[c]);
    }
}

StabilityFigures StabilityStats::figures() const {
    StabilityFigures f;
    f.frames = m_frames;
    f.seconds = m_frames > 0 ? m_last - m_first : 0.0;
    for (size_t c = 0; c < 3; ++c) {
        const Beam& b = m_beam[c];
        PointingStability& p = f.pointing[c];
        p.samples = int(b.x.n);
        if (b.x.n > 0) {
            p.twoSigmaX = 2.0 * b.x.sigma() * kUradPerMrad;
            p.twoSigmaY = 2.0 * b.y.sigma() * kUradPerMrad;
            const QPointF mean(b.x.mean, b.y.mean);
            double far = 0;
            for (const QPointF& e : b.extreme)
                far = std::max(far, std::hypot(e.x() - mean.x(), e.y() - mean.y()));
            p.maxDistance = far * kUradPerMrad;
        }
        const RunningStat& w = m_power[c];
        PowerStability& ps = f.power[c];
        ps.samples = int(w.n);
        ps.mean = w.mean;
        if (w.n > 0 && w.mean > 0) {
            ps.rmsPercent = 100.0 * w.sigma() / w.mean;
            ps.peakToPeakPercent = 100.0 * (w.max - w.min) / w.mean;
        }
        AlignmentDrift& a = f.alignment[c];
        a.samples = int(m_alignX[c].n);
        if (a.samples > 0) {
            a.meanX = m_alignX[c].mean * kUradPerMrad;
            a.meanY = m_alignY[c].mean * kUradPerMrad;
            a.rangeX = (m_alignX[c].max - m_alignX[c].min) * kUradPerMrad;
            a.rangeY = (m_alignY[c].max - m_alignY[c].min) * kUradPerMrad;
            a.twoSigmaX = 2.0 * m_alignX[c].sigma() * kUradPerMrad;
            a.twoSigmaY = 2.0 * m_alignY[c].sigma() * kUradPerMrad;
        }
    }
    return f;
}

RollingStability::RollingStability(double windowSeconds, int slices)
    : m_window(windowSeconds), m_slice(windowSeconds / std::max(1, slices)),
      m_ring(size_t(std::max(1, slices))), m_index(m_ring.size(), -1) {}

void RollingStability::clear() {
    for (auto& r : m_ring)
        r.clear();
    std::fill(m_index.begin(), m_index.end(), -1);
    m_newest = -1;
}

void RollingStability::add(const StabilitySample& s) {
    const long long idx = (long long)std::floor(s.seconds / m_slice);
    const size_t pos = size_t(((idx % (long long)m_ring.size()) + (long long)m_ring.size()) %
                              (long long)m_ring.size());
    if (m_index[pos] != idx) {
        m_ring[pos].clear();
        m_index[pos] = idx;
    }
    m_ring[pos].add(s);
    m_newest = std::max(m_newest, idx);
}

StabilityFigures RollingStability::figures() const {
    StabilityStats all;
    const long long oldest = m_newest - (long long)m_ring.size();
    for (size_t i = 0; i < m_ring.size(); ++i)
        if (m_index[i] > oldest && m_index[i] <= m_newest)
            all.merge(m_ring[i]);
    return all.figures();
}

StabilityMonitor::StabilityMonitor()
    : m_windows{RollingStability(kWindows[0]), RollingStability(kWindows[1]),
                RollingStability(kWindows[2])} {}

void StabilityMonitor::add(const StabilitySample& s) {
    m_total.add(s);
    for (auto& w : m_windows)
        w.add(s);
}

void StabilityMonitor::clear() {
    m_total.clear();
    for (auto& w : m_windows)
        w.clear();
}

} // namespace lumetra::measure
