#include "ToleranceValues.h"

#include <cmath>

namespace lumetra::session {

namespace ms = lumetra::measure;
using Q = tolerances::Quantity;
using T = ms::ResultText;

namespace {
bool shows(const ms::ResultTexts& texts, T t) {
    const auto& s = texts[t];
    return s && !s->isEmpty() && *s != ms::kProcessingText && *s != ms::kNotAvailableText;
}
} // namespace

std::optional<ms::ResultText> labelOf(Q q) {
    const int i = int(q);
    if (i <= int(Q::AlignmentRBY))
        return ms::pairText(ms::PairIndex(i / 2));
    if (i <= int(Q::PowerTotal))
        return T(int(T::PowerRed) + i - int(Q::PowerRed));
    return std::nullopt;
}

tolerances::Values toleranceValues(const ms::FrameResult& r) {
    tolerances::Values v;
    if (!r.measured)
        return v;
    for (int p = ms::PairAll; p < ms::PairCount; ++p) {
        if (!shows(r.texts, ms::pairText(ms::PairIndex(p))))
            continue;
        v[size_t(2 * p)] = r.pairs[size_t(p)].x;
        v[size_t(2 * p + 1)] = r.pairs[size_t(p)].y;
    }
    for (int c = 0; c < 4; ++c) {
        const std::optional<double> w =
            c < 3 ? (r.power ? std::optional<double>((*r.power)[size_t(c)]) : std::nullopt)
                  : r.totalPower;
        if (w && std::isfinite(*w) && shows(r.texts, T(int(T::PowerRed) + c)))
            v[size_t(int(Q::PowerRed) + c)] = *w;
    }
    if (r.analysis.analysed)
        for (int c = 0; c < 3; ++c)
            if (r.analysis.channel[size_t(c)].hasNumbers)
                v[size_t(int(Q::EllipticityRed) + c)] = r.analysis.channel[size_t(c)].ellipticity;
    return v;
}

} // namespace lumetra::session
