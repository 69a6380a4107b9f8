#pragma once
// Field-by-field comparison of two frame results; returns the first difference found.

#include "FramePipeline.h"

#include <QString>
#include <cstring>

namespace testcompare {

using lumetra::measure::FrameResult;

inline bool sameImage(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.format() != b.format()) {
        return false;
    }
    for (int y = 0; y < a.height(); ++y) {
        if (std::memcmp(a.constScanLine(y), b.constScanLine(y), std::size_t(a.width()) * 3) != 0) {
            return false;
        }
    }
    return true;
}

template <typename T> bool sameBits(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

inline QString optText(const std::optional<QString>& s) {
    return s ? QStringLiteral("\"%1\"").arg(*s) : QStringLiteral("(untouched)");
}

// Empty when equal.
inline QString difference(const FrameResult& f, const FrameResult& r) {
    if (!sameImage(f.stabilisedCrop, r.stabilisedCrop)) {
        return "stabilised crop";
    }
    if (f.measured != r.measured) {
        return "measured flag";
    }
    if (!f.measured) {
        return {};
    }
    if (f.stabilised != r.stabilised) {
        return "stabilised flag";
    }
    for (int i = 0; i < 7; ++i) {
        if (!sameBits(f.pairs[i].x, r.pairs[i].x) || !sameBits(f.pairs[i].y, r.pairs[i].y)) {
            return QStringLiteral("pair %1: %2,%3 vs %4,%5")
                .arg(i)
                .arg(double(f.pairs[i].x), 0, 'g', 9)
                .arg(double(f.pairs[i].y), 0, 'g', 9)
                .arg(double(r.pairs[i].x), 0, 'g', 9)
                .arg(double(r.pairs[i].y), 0, 'g', 9);
        }
    }
    if (f.maxAll != r.maxAll || f.maxR != r.maxR || f.maxG != r.maxG || f.maxB != r.maxB) {
        return QStringLiteral("maxima %1 %2 %3 %4 vs %5 %6 %7 %8")
            .arg(f.maxAll)
            .arg(f.maxR)
            .arg(f.maxG)
            .arg(f.maxB)
            .arg(r.maxAll)
            .arg(r.maxR)
            .arg(r.maxG)
            .arg(r.maxB);
    }
    if (f.channelSums != r.channelSums) {
        return "channel sums";
    }
    if (!sameBits(f.cornerSignal, r.cornerSignal)) {
        return "cornerSignal";
    }
    if (f.power.has_value() != r.power.has_value() || (f.power && !sameBits(*f.power, *r.power)) ||
        f.totalPower.has_value() != r.totalPower.has_value() ||
        (f.totalPower && !sameBits(*f.totalPower, *r.totalPower))) {
        return "power values";
    }
    if (f.exposureFactor != r.exposureFactor) {
        return "exposure factor";
    }
    if (!sameImage(f.correctedImage, r.correctedImage)) {
        return "corrected image";
    }
    for (int i = 0; i < lumetra::measure::kResultTextCount; ++i) {
        const auto t = lumetra::measure::ResultText(i);
        if (f.texts[t] != r.texts[t]) {
            return QStringLiteral("text %1: %2 vs %3")
                .arg(i)
                .arg(optText(f.texts[t]), optText(r.texts[t]));
        }
    }
    return {};
}

} // namespace testcompare
