#include "AutoRoi.h"

#include <QImage>

#include <algorithm>
#include <cmath>
#include <vector>

namespace lumetra::measure {

namespace {

// The search runs on means of kBlock x kBlock pixels: they smooth the noise enough that a
// single hot pixel is no beam, and their median is a background finer than one count.
constexpr int kBlock = 4;
// A beam's smoothed peak must stand this far above the background (counts), and above
// kNoiseFactor times the blocks' noise: the labels' spot search needs more than 10 counts.
constexpr double kMinPeak = 8.0;
constexpr double kNoiseFactor = 8.0;
// The integration area as the beam analysis takes it: 3 x D4sigma around the centroid.
constexpr double kAreaPerD4Sigma = 3.0;
constexpr int kMaxRounds = 10;
// Hysteresis: a region that still holds the beams may be up to this much larger than the
// one proposed before it is replaced, and edges this close to the proposal count as equal.
constexpr double kKeepLarger = 1.5;
constexpr int kKeepSlack = 16;

// The median of the values whose mask entry is 0 (all of them without a mask, or when
// fewer than a quarter are left).
double medianOutside(const std::vector<float>& values, const std::vector<uint8_t>& mask) {
    std::vector<float> v;
    v.reserve(values.size());
    for (size_t i = 0; i < values.size(); ++i)
        if (mask.empty() || !mask[i])
            v.push_back(values[i]);
    if (v.size() < values.size() / 4)
        v = values;
    const auto mid = v.begin() + std::ptrdiff_t(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

struct Window {
    double x0, y0, x1, y1; // inclusive pixel range, clipped to the image
};

Window clipWindow(double cx, double cy, double halfW, double halfH, const QSize& size) {
    return {std::max(0.0, std::floor(cx - halfW)), std::max(0.0, std::floor(cy - halfH)),
            std::min(double(size.width() - 1), std::ceil(cx + halfW)),
            std::min(double(size.height() - 1), std::ceil(cy + halfH))};
}

// Second moments of one beam (the weighted camera channels less their backgrounds, not
// clipped) over a window. Large
// windows are sampled on a coarser grid: the widths of a beam that large do not need every
// pixel, and the search stays cheap at any size.
std::optional<AutoRoiBeam> moments(const QImage& img, const std::array<double, 3>& weight,
                                   double offset, const Window& w) {
    const int x0 = int(w.x0), x1 = int(w.x1), y0 = int(w.y0), y1 = int(w.y1);
    if (x1 <= x0 || y1 <= y0)
        return std::nullopt;
    const int step = std::max(1, std::max(x1 - x0, y1 - y0) / 512);
    double s = 0, sx = 0, sy = 0, sxx = 0, syy = 0;
    for (int y = y0; y <= y1; y += step) {
        const uchar* row = img.constScanLine(y);
        double rs = 0, rsx = 0, rsxx = 0;
        for (int x = x0; x <= x1; x += step) {
            const uchar* p = row + 3 * x;
            const double v = weight[0] * p[0] + weight[1] * p[1] + weight[2] * p[2] - offset;
            rs += v;
            rsx += v * x;
            rsxx += v * double(x) * x;
        }
        s += rs;
        sx += rsx;
        sxx += rsxx;
        sy += rs * y;
        syy += rs * double(y) * y;
    }
    if (!(s > 0))
        return std::nullopt;
    AutoRoiBeam b;
    b.centreX = sx / s;
    b.centreY = sy / s;
    const double vx = sxx / s - b.centreX * b.centreX;
    const double vy = syy / s - b.centreY * b.centreY;
    if (!(vx > 0) || !(vy > 0))
        return std::nullopt;
    b.d4SigmaX = 4.0 * std::sqrt(vx);
    b.d4SigmaY = 4.0 * std::sqrt(vy);
    return b;
}

QString areaName(std::optional<Corner> corner) {
    if (!corner)
        return QStringLiteral("the image");
    switch (*corner) {
    case Corner::TL:
        return QStringLiteral("the top-left quarter of the image");
    case Corner::TR:
        return QStringLiteral("the top-right quarter of the image");
    case Corner::BL:
        return QStringLiteral("the bottom-left quarter of the image");
    case Corner::BR:
        break;
    }
    return QStringLiteral("the bottom-right quarter of the image");
}

} // namespace

QRect cornerArea(const QSize& size, std::optional<Corner> corner) {
    if (!corner)
        return QRect(QPoint(0, 0), size);
    const int hw = size.width() / 2, hh = size.height() / 2;
    const bool right = *corner == Corner::TR || *corner == Corner::BR;
    const bool bottom = *corner == Corner::BL || *corner == Corner::BR;
    return QRect(right ? hw : 0, bottom ? hh : 0, right ? size.width() - hw : hw,
                 bottom ? size.height() - hh : hh);
}

AutoRoiResult findAutoRoi(const QImage& input, std::optional<Corner> corner, const QRect& current,
                          const std::optional<UnmixMatrix>& unmix) {
    AutoRoiResult res;
    const QImage img = input.format() == QImage::Format_RGB888
                           ? input
                           : input.convertToFormat(QImage::Format_RGB888);
    const QRect area = cornerArea(img.size(), corner);
    const int bw = area.width() / kBlock, bh = area.height() / kBlock;
    if (bw < 4 || bh < 4) {
        res.reason = QStringLiteral("Auto ROI: the image is too small to search");
        return res;
    }

    // Block means per channel.
    std::array<std::vector<float>, 3> blocks;
    for (auto& b : blocks)
        b.assign(size_t(bw) * size_t(bh), 0.0f);
    std::vector<int> sums(size_t(3 * bw));
    for (int by = 0; by < bh; ++by) {
        std::fill(sums.begin(), sums.end(), 0);
        for (int r = 0; r < kBlock; ++r) {
            const uchar* row = img.constScanLine(area.y() + by * kBlock + r) + 3 * area.x();
            for (int bx = 0; bx < bw; ++bx)
                for (int i = 0; i < kBlock; ++i)
                    for (int k = 0; k < 3; ++k)
                        sums[size_t(3 * bx + k)] += row[3 * (bx * kBlock + i) + k];
        }
        for (int bx = 0; bx < bw; ++bx)
            for (int k = 0; k < 3; ++k)
                blocks[size_t(k)][size_t(by * bw + bx)] =
                    float(sums[size_t(3 * bx + k)]) / float(kBlock * kBlock);
    }

    // A matrix that cannot separate anything (a corner without calibration is all zeros)
    // would hide every beam: the camera channels stand in for it.
    bool usable = unmix.has_value();
    for (int b = 0; usable && b < 3; ++b) {
        double row = 0;
        for (int k = 0; k < 3; ++k) {
            const double v = (*unmix)[size_t(3 * b + k)];
            usable = usable && std::isfinite(v);
            row += std::abs(v);
        }
        usable = usable && row > 1e-9;
    }
    std::array<std::array<double, 3>, 3> weights{};
    for (int b = 0; b < 3; ++b)
        for (int k = 0; k < 3; ++k)
            weights[size_t(b)][size_t(k)] = usable ? (*unmix)[size_t(3 * b + k)] : double(b == k);

    // The background is the median block away from the beams. The first pass cannot know
    // where they are and takes every block: the tails of large beams raise it a little,
    // enough to shrink their second moments, so a second pass leaves their areas out.
    std::vector<uint8_t> lit;
    std::vector<uint8_t> seen;
    std::vector<int> queue;
    std::vector<float> b(size_t(bw) * size_t(bh));
    for (int pass = 0; pass < 2; ++pass) {
        std::array<std::optional<AutoRoiBeam>, 3> found;
        std::array<double, 3> bgCam{};
        for (int k = 0; k < 3; ++k)
            bgCam[size_t(k)] = medianOutside(blocks[size_t(k)], lit);
        for (int k = 0; k < 3; ++k) {
            const std::array<double, 3>& wk = weights[size_t(k)];
            const double offset = wk[0] * bgCam[0] + wk[1] * bgCam[1] + wk[2] * bgCam[2];
            for (size_t i = 0; i < b.size(); ++i)
                b[i] = float(wk[0] * blocks[0][i] + wk[1] * blocks[1][i] + wk[2] * blocks[2][i] -
                             offset);
            const double bg = medianOutside(b, lit);
            std::vector<float> dev(b.size());
            for (size_t i = 0; i < b.size(); ++i)
                dev[i] = std::abs(b[i] - float(bg));
            const double noise = 1.4826 * medianOutside(dev, lit);
            const auto top = std::max_element(b.begin(), b.end());
            const double peak = *top - bg;
            if (peak < std::max(kMinPeak, kNoiseFactor * noise))
                continue;

            // The blocks above half the peak that touch it: this beam's half-maximum box.
            const float half = float(bg + peak / 2);
            seen.assign(b.size(), 0);
            queue.assign(1, int(top - b.begin()));
            seen[size_t(queue[0])] = 1;
            int bx0 = bw, bx1 = -1, by0 = bh, by1 = -1;
            for (size_t q = 0; q < queue.size(); ++q) {
                const int i = queue[q], x = i % bw, y = i / bw;
                bx0 = std::min(bx0, x), bx1 = std::max(bx1, x);
                by0 = std::min(by0, y), by1 = std::max(by1, y);
                const int nb[4][2] = {{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}};
                for (const auto& n : nb) {
                    if (n[0] < 0 || n[1] < 0 || n[0] >= bw || n[1] >= bh)
                        continue;
                    const int j = n[1] * bw + n[0];
                    if (!seen[size_t(j)] && b[size_t(j)] > half) {
                        seen[size_t(j)] = 1;
                        queue.push_back(j);
                    }
                }
            }
            // A Gaussian's D4sigma is 1.7 times its FWHM.
            const double fwhmX = (bx1 - bx0 + 1) * kBlock, fwhmY = (by1 - by0 + 1) * kBlock;
            double cx = area.x() + (bx0 + bx1 + 1) * kBlock / 2.0;
            double cy = area.y() + (by0 + by1 + 1) * kBlock / 2.0;
            double dx = std::max(1.7 * fwhmX, 8.0), dy = std::max(1.7 * fwhmY, 8.0);
            if (pass == 0) {
                // Only where the beam lies matters here: its half-maximum box will do.
                found[size_t(k)] = AutoRoiBeam{cx, cy, dx, dy, peak};
                continue;
            }
            std::optional<AutoRoiBeam> beam;
            for (int round = 0; round < kMaxRounds; ++round) {
                const Window w = clipWindow(cx, cy, kAreaPerD4Sigma * dx / 2,
                                            kAreaPerD4Sigma * dy / 2, img.size());
                const std::optional<AutoRoiBeam> m = moments(img, wk, offset + bg, w);
                if (!m)
                    break;
                beam = m;
                const bool settled = std::abs(m->d4SigmaX - dx) < 0.01 * dx &&
                                     std::abs(m->d4SigmaY - dy) < 0.01 * dy;
                cx = m->centreX, cy = m->centreY;
                dx = std::max(m->d4SigmaX, 2.0), dy = std::max(m->d4SigmaY, 2.0);
                if (settled)
                    break;
            }
            if (beam) {
                beam->peak = peak;
                found[size_t(k)] = beam;
            }
        }
        res.beams = found;
        bool any = false;
        lit.assign(b.size(), 0);
        for (const auto& f : found) {
            if (!f)
                continue;
            any = true;
            const double hx = kAreaPerD4Sigma * f->d4SigmaX / 2,
                         hy = kAreaPerD4Sigma * f->d4SigmaY / 2;
            const int x0 = std::max(0, int(std::floor((f->centreX - hx - area.x()) / kBlock)));
            const int x1 = std::min(bw - 1, int(std::floor((f->centreX + hx - area.x()) / kBlock)));
            const int y0 = std::max(0, int(std::floor((f->centreY - hy - area.y()) / kBlock)));
            const int y1 = std::min(bh - 1, int(std::floor((f->centreY + hy - area.y()) / kBlock)));
            for (int y = y0; y <= y1; ++y)
                for (int x = x0; x <= x1; ++x)
                    lit[size_t(y * bw + x)] = 1;
        }
        if (!any)
            break;
    }

    // Every beam's integration area, then the correction's margin for the channel shifts.
    double x0 = img.width(), y0 = img.height(), x1 = 0, y1 = 0;
    bool any = false;
    for (const auto& b : res.beams) {
        if (!b)
            continue;
        any = true;
        x0 = std::min(x0, b->centreX - kAreaPerD4Sigma * b->d4SigmaX / 2);
        x1 = std::max(x1, b->centreX + kAreaPerD4Sigma * b->d4SigmaX / 2);
        y0 = std::min(y0, b->centreY - kAreaPerD4Sigma * b->d4SigmaY / 2);
        y1 = std::max(y1, b->centreY + kAreaPerD4Sigma * b->d4SigmaY / 2);
    }
    if (!any) {
        res.reason = QStringLiteral("Auto ROI: no beam found in %1").arg(areaName(corner));
        return res;
    }
    x0 = std::max(0.0, x0 - kCorrectionMargin), y0 = std::max(0.0, y0 - kCorrectionMargin);
    x1 = std::min(double(img.width()), x1 + kCorrectionMargin);
    y1 = std::min(double(img.height()), y1 + kCorrectionMargin);
    // A new region gets some room beyond what it must hold, so that the next frame's noise
    // does not push a beam's area out of it at once.
    const double slackX = std::max(kKeepSlack / 4.0, 0.03 * (x1 - x0));
    const double slackY = std::max(kKeepSlack / 4.0, 0.03 * (y1 - y0));
    const double tx0 = std::max(0.0, x0 - slackX), ty0 = std::max(0.0, y0 - slackY);
    const double tx1 = std::min(double(img.width()), x1 + slackX);
    const double ty1 = std::min(double(img.height()), y1 + slackY);

    const int maxW = std::min(kMaxRoiSide, img.width());
    const int maxH = std::min(kMaxRoiSide, img.height());
    const int w = std::clamp(int(std::ceil(tx1 - tx0)), std::min(kAutoRoiMinSide, maxW), maxW);
    const int h = std::clamp(int(std::ceil(ty1 - ty0)), std::min(kAutoRoiMinSide, maxH), maxH);
    const int x = std::clamp(int(std::lround((tx0 + tx1 - w) / 2)), 0, img.width() - w);
    const int y = std::clamp(int(std::lround((ty0 + ty1 - h) / 2)), 0, img.height() - h);
    const QRect target(x, y, w, h);

    // Keep the current region while it holds every beam's area and is not much larger than
    // needed. Beams too large for any region are held by the proposal give or take a few
    // pixels.
    const QRect image(QPoint(0, 0), img.size());
    const QRect needed(QPoint(int(std::floor(x0)), int(std::floor(y0))),
                       QPoint(int(std::ceil(x1)) - 1, int(std::ceil(y1)) - 1));
    bool keep = false;
    if (!current.isNull() && image.contains(current) && current.width() <= maxW &&
        current.height() <= maxH && current.width() >= std::min(kAutoRoiMinSide, maxW) &&
        current.height() >= std::min(kAutoRoiMinSide, maxH)) {
        const bool holds = current.contains(needed) &&
                           current.width() <= kKeepLarger * w + kKeepSlack &&
                           current.height() <= kKeepLarger * h + kKeepSlack;
        const int slackX = std::max(4, w / 16), slackY = std::max(4, h / 16);
        const bool near = std::abs(current.left() - target.left()) <= slackX &&
                          std::abs(current.right() - target.right()) <= slackX &&
                          std::abs(current.top() - target.top()) <= slackY &&
                          std::abs(current.bottom() - target.bottom()) <= slackY;
        const bool capped = needed.width() > maxW || needed.height() > maxH;
        keep = holds || (capped && near);
    }
    res.roi = keep ? current : target;
    res.moved = *res.roi != current;
    return res;
}

} // namespace lumetra::measure
