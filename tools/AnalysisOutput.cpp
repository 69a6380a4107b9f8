#include "AnalysisOutput.h"

#include <charconv>
#include <cmath>

namespace lumetra::tool {

using namespace lumetra::measure;

namespace {

const char* const kChannelKey[3] = {"r", "g", "b"};
const char* const kPairKey[3] = {"rg", "bg", "rb"};

QString number(double v, const char* none = "null") {
    return shortestNumber(v, none);
}

QString pair(double x, double y, bool present) {
    return present ? QStringLiteral("[%1, %2]").arg(number(x), number(y))
                   : QStringLiteral("[null, null]");
}

QString channelJson(const BeamChannelResult& c) {
    const bool n = c.hasNumbers;
    auto one = [n](double v) { return n ? number(v) : QStringLiteral("null"); };
    return QStringLiteral("{\"centroid\": %1, \"d4sigma\": %2, \"fwhmEquivalent\": %3, "
                          "\"principal\": %4, \"azimuth\": %5, \"ellipticity\": %6, "
                          "\"power\": %7, \"valid\": %8, \"reason\": %9}")
        .arg(pair(c.centroidX, c.centroidY, n), pair(c.d4SigmaX, c.d4SigmaY, n),
             pair(c.fwhmX, c.fwhmY, n), pair(c.major, c.minor, n), one(c.azimuthDeg),
             one(c.ellipticity), n && c.power ? number(*c.power) : QStringLiteral("null"),
             c.valid ? QStringLiteral("true") : QStringLiteral("false"), jsonString(c.reason));
}

} // namespace

QString analysisJson(const BeamAnalysisResult& r) {
    if (!r.analysed) {
        return QStringLiteral("null");
    }
    QString s = QStringLiteral("{\"background\": [%1, %2, %3]")
                    .arg(number(r.background[0]), number(r.background[1]), number(r.background[2]));
    for (int c = 0; c < 3; ++c) {
        s += QStringLiteral(", \"%1\": %2")
                 .arg(QLatin1String(kChannelKey[c]), channelJson(r.channel[std::size_t(c)]));
    }
    s += QStringLiteral(", \"alignment\": {");
    for (int i = 0; i < 3; ++i) {
        const auto& a = r.alignment[std::size_t(i)];
        s += QStringLiteral("%1\"%2\": %3")
                 .arg(i ? QStringLiteral(", ") : QString(), QLatin1String(kPairKey[i]),
                      pair(a ? a->x : 0.0, a ? a->y : 0.0, bool(a)));
    }
    return s + QStringLiteral("}}");
}

QString analysisText(const BeamAnalysisResult& r) {
    if (!r.analysed) {
        return QStringLiteral("  iso11146: N/A\n");
    }
    auto t = [](double v) { return number(v, "N/A"); };
    QString s = QStringLiteral("  iso11146:\n    background: %1 %2 %3\n")
                    .arg(t(r.background[0]), t(r.background[1]), t(r.background[2]));
    for (int c = 0; c < 3; ++c) {
        const BeamChannelResult& ch = r.channel[std::size_t(c)];
        s += QStringLiteral("    %1: ").arg(QLatin1String(kChannelKey[c]));
        if (!ch.hasNumbers) {
            s += QStringLiteral("N/A (%1)\n").arg(ch.reason);
            continue;
        }
        s += QStringLiteral("centroid %1 %2, d4sigma %3 %4, fwhmEquivalent %5 %6, principal %7 "
                            "%8, azimuth %9, ")
                 .arg(t(ch.centroidX), t(ch.centroidY), t(ch.d4SigmaX), t(ch.d4SigmaY), t(ch.fwhmX),
                      t(ch.fwhmY), t(ch.major), t(ch.minor), t(ch.azimuthDeg));
        s += QStringLiteral("ellipticity %1, power %2, %3\n")
                 .arg(t(ch.ellipticity),
                      ch.power ? t(*ch.power) + QStringLiteral(" W") : QStringLiteral("N/A"),
                      ch.valid ? QStringLiteral("valid")
                               : QStringLiteral("not valid (%1)").arg(ch.reason));
    }
    s += QStringLiteral("    alignment:");
    for (int i = 0; i < 3; ++i) {
        const auto& a = r.alignment[std::size_t(i)];
        s += QStringLiteral(" %1 %2").arg(QLatin1String(kPairKey[i]),
                                          a ? QStringLiteral("%1 %2").arg(t(a->x), t(a->y))
                                            : QStringLiteral("N/A"));
        s += i < 2 ? QStringLiteral(",") : QString();
    }
    return s + QLatin1Char('\n');
}

QString jsonString(const QString& s) {
    QString out = QStringLiteral("\"");
    for (const QChar ch : s) {
        if (ch == QLatin1Char('"') || ch == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
            out += ch;
        } else if (ch.unicode() < 0x20) {
            out += QStringLiteral("\\u%1").arg(int(ch.unicode()), 4, 16, QLatin1Char('0'));
        } else {
            out += ch;
        }
    }
    return out + QLatin1Char('"');
}

} // namespace lumetra::tool
