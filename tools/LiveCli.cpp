#include "LiveCli.h"

#include "AnalysisOutput.h"
#include "BasCam.h"
#include "Calibration.h"
#include "CliArgs.h"
#include "MeasureCli.h"
#include "MeasureSession.h"
#include "Paths.h"
#include "Recorder.h"
#include "Results.h"
#include "Stability.h"
#include "ToleranceValues.h"
#include "Tolerances.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <unistd.h>

namespace lumetra::tool {

using namespace lumetra::measure;
namespace cal = lumetra::calibration;
using lumetra::session::MeasureSession;
using lumetra::session::ReportPtr;

namespace {

// Automatic exposure gets this long to settle; Auto ROI with a fixed exposure gets a few
// of its evaluations to find a beam.
constexpr int kSettleLimitMs = 10000;
constexpr int kFindLimitMs = 3 * MeasureSession::kAutoRoiPeriodMs - 500;
// Frames that must show a settled exposure in a row.
constexpr int kSettledFrames = 2;
// A camera that delivers nothing for this long counts as lost.
constexpr int kSilenceLimitMs = 10000;

enum class Format { Text, Json, Csv };

struct LiveOptions {
    bool list = false;
    QString camera;
    QString simulated;
    std::optional<int> frames;
    std::optional<double> seconds;
    std::optional<QRect> roi;
    std::optional<Corner> corner = Corner::BR;
    int depth = 8;
    QString calibration;
    std::optional<std::array<QString, 3>> wavelengths;
    std::optional<double> exposureUs; // none: automatic
    bool every = false;
    QString record;
    QString limits;
    Format format = Format::Text;
};

int parseInt(const QString& option, const QString& text, int low, int high) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok || v < low || v > high) {
        fail(QStringLiteral("%1 must be an integer from %2 to %3, got \"%4\"")
                 .arg(option)
                 .arg(low)
                 .arg(high)
                 .arg(text));
    }
    return v;
}

double parseNumber(const QString& option, const QString& text, double low, double high) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < low || v > high) {
        fail(QStringLiteral("%1 must be a number from %2 to %3, got \"%4\"")
                 .arg(option)
                 .arg(low)
                 .arg(high)
                 .arg(text));
    }
    return v;
}

LiveOptions parseLive(const QStringList& args) {
    LiveOptions o;
    bool live = false, autoRoi = false, autoExposure = false;
    static const QStringList flags = {"--live", "--list-cameras", "--auto-roi", "--every",
                                      "--auto-exposure"};
    static const QStringList withValue = {
        "--camera", "--simulated", "--frames",      "--seconds",     "--roi",
        "--corner", "--depth",     "--calibration", "--wavelengths", "--exposure-us",
        "--record", "--limits",    "--format"};
    for (int i = 0; i < args.size(); ++i) {
        QString a = args[i];
        if (!a.startsWith(QLatin1String("--"))) {
            fail(QStringLiteral("unexpected argument \"%1\" (the live mode takes no frame files)")
                     .arg(a));
        }
        CliOption option = splitOption(a);
        a = option.name;
        if (flags.contains(a)) {
            refuseValue(option);
            if (a == QLatin1String("--live"))
                live = true;
            else if (a == QLatin1String("--list-cameras"))
                o.list = true;
            else if (a == QLatin1String("--auto-roi"))
                autoRoi = true;
            else if (a == QLatin1String("--every"))
                o.every = true;
            else
                autoExposure = true;
            continue;
        }
        if (!withValue.contains(a))
            fail(QStringLiteral("unknown option %1").arg(a));
        takeValue(option, args, i);
        const QString value = option.value;
        if (a == QLatin1String("--camera")) {
            if (value.trimmed().isEmpty())
                fail(QStringLiteral("--camera needs a serial number"));
            o.camera = value.trimmed();
        } else if (a == QLatin1String("--simulated")) {
            if (value.isEmpty())
                fail(QStringLiteral("--simulated needs a file name"));
            o.simulated = value;
        } else if (a == QLatin1String("--frames")) {
            o.frames = parseInt(a, value, 1, 10000000);
        } else if (a == QLatin1String("--seconds")) {
            o.seconds = parseNumber(a, value, 0.001, 1e7);
        } else if (a == QLatin1String("--roi")) {
            const QStringList p = value.split(QLatin1Char(','));
            if (p.size() != 4)
                fail(QStringLiteral("--roi expects X,Y,W,H, got \"%1\"").arg(value));
            const int x = parseInt(a, p[0], 0, 100000), y = parseInt(a, p[1], 0, 100000);
            const int w = parseInt(a, p[2], 11, kMaxRoiSide),
                      h = parseInt(a, p[3], 11, kMaxRoiSide);
            o.roi = QRect(x, y, w, h);
        } else if (a == QLatin1String("--corner")) {
            const QString c = value.trimmed().toUpper();
            const QStringList names = {"TL", "TR", "BL", "BR"};
            if (c == QLatin1String("NONE"))
                o.corner = std::nullopt;
            else if (names.contains(c))
                o.corner = Corner(names.indexOf(c));
            else
                fail(QStringLiteral("--corner must be TL, TR, BL, BR or none, got \"%1\"")
                         .arg(value));
        } else if (a == QLatin1String("--depth")) {
            o.depth = parseInt(a, value, 1, kMaxStabDepth);
        } else if (a == QLatin1String("--calibration")) {
            if (value.isEmpty())
                fail(QStringLiteral("--calibration needs a file name"));
            o.calibration = value;
        } else if (a == QLatin1String("--wavelengths")) {
            const QStringList p = value.split(QLatin1Char(','));
            if (p.size() != 3 || p.contains(QString()))
                fail(QStringLiteral("--wavelengths expects R,G,B, got \"%1\"").arg(value));
            o.wavelengths = std::array<QString, 3>{p[0].trimmed(), p[1].trimmed(), p[2].trimmed()};
        } else if (a == QLatin1String("--exposure-us")) {
            o.exposureUs = parseNumber(a, value, MeasureSession::kExposureMinMs * 1000.0,
                                       MeasureSession::kExposureMaxMs * 1000.0);
        } else if (a == QLatin1String("--record")) {
            if (value.isEmpty())
                fail(QStringLiteral("--record needs a file name"));
            o.record = value;
        } else if (a == QLatin1String("--limits")) {
            if (value.isEmpty())
                fail(QStringLiteral("--limits needs a file name"));
            o.limits = value;
        } else if (a == QLatin1String("--format")) {
            if (value == QLatin1String("json"))
                o.format = Format::Json;
            else if (value == QLatin1String("text"))
                o.format = Format::Text;
            else if (value == QLatin1String("csv"))
                o.format = Format::Csv;
            else
                fail(QStringLiteral("--format must be json, text or csv, got \"%1\"").arg(value));
        }
    }
    if (live == o.list)
        fail(QStringLiteral("give either --live or --list-cameras"));
    if (o.list)
        return o;
    if (o.frames && o.seconds)
        fail(QStringLiteral("--frames and --seconds exclude each other"));
    if (o.roi && autoRoi)
        fail(QStringLiteral("--roi and --auto-roi exclude each other"));
    if (o.exposureUs && autoExposure)
        fail(QStringLiteral("--exposure-us and --auto-exposure exclude each other"));
    if (!o.seconds && !o.frames)
        o.frames = 1;
    return o;
}

// ------------------------------------------------------------------------ the summary

// Running mean, spread and range of one quantity (Welford).
struct Stat {
    long long n = 0;
    double mean = 0, m2 = 0, min = 0, max = 0;
    void add(double v) {
        if (n == 0)
            min = max = v;
        min = std::min(min, v), max = std::max(max, v);
        ++n;
        const double d = v - mean;
        mean += d / double(n);
        m2 += d * (v - mean);
    }
    double sigma() const { return n > 1 ? std::sqrt(m2 / double(n - 1)) : 0.0; }
};

// A number the labels show: a text that starts like one ("0.78 x 0.68", "-0.02 x 0.01",
// "1.01 W"), not "N/A" or "Processing...".
bool shown(const ResultTexts& t, ResultText which) {
    const QString s = t.text(which).trimmed();
    return !s.isEmpty() && (s[0].isDigit() || s[0] == QLatin1Char('-'));
}

struct Quantity {
    const char* group;
    const char* member;
    const char* axis; // null for a plain number
    const char* unit;
    std::function<std::optional<double>(const FrameResult&)> value;
};

std::optional<double> pairPart(const FrameResult& r, PairIndex p, bool y) {
    if (!shown(r.texts, pairText(p)))
        return std::nullopt;
    // The decimal the saved-image mode prints, so that means read as the labels do.
    const float v = y ? r.pairs[size_t(p)].y : r.pairs[size_t(p)].x;
    return shortestNumber(v).toDouble();
}

// The numbers of the saved-image output, under its field names.
const std::vector<Quantity>& quantities() {
    static const std::vector<Quantity> q = [] {
        std::vector<Quantity> v;
        const char* pairGroups[2] = {"divergence", "alignment"};
        const char* members[2][4] = {{"all", "r", "g", "b"}, {"rg", "bg", "rb", nullptr}};
        for (int g = 0; g < 2; ++g) {
            for (int m = 0; m < 4 && members[g][m]; ++m) {
                const PairIndex p = PairIndex(g == 0 ? m : PairRG + m);
                for (int y = 0; y < 2; ++y) {
                    v.push_back({pairGroups[g], members[g][m], y ? "y" : "x", "mrad",
                                 [p, y](const FrameResult& r) { return pairPart(r, p, y); }});
                }
            }
        }
        v.push_back({"maxima", "r", nullptr, "counts",
                     [](const FrameResult& r) { return std::optional<double>(r.maxR); }});
        v.push_back({"maxima", "g", nullptr, "counts",
                     [](const FrameResult& r) { return std::optional<double>(r.maxG); }});
        v.push_back({"maxima", "b", nullptr, "counts",
                     [](const FrameResult& r) { return std::optional<double>(r.maxB); }});
        const char* powers[3] = {"r", "g", "b"};
        for (int c = 0; c < 3; ++c) {
            v.push_back({"power", powers[c], nullptr, "W", [c](const FrameResult& r) {
                             return r.power && std::isfinite((*r.power)[size_t(c)])
                                        ? std::optional<double>((*r.power)[size_t(c)])
                                        : std::nullopt;
                         }});
        }
        v.push_back({"power", "total", nullptr, "W", [](const FrameResult& r) {
                         return r.totalPower && std::isfinite(*r.totalPower) ? r.totalPower
                                                                             : std::nullopt;
                     }});
        return v;
    }();
    return q;
}

QString quantityName(const Quantity& q) {
    QString s = QStringLiteral("%1.%2").arg(QLatin1String(q.group), QLatin1String(q.member));
    if (q.axis)
        s += QLatin1Char('.') + QLatin1String(q.axis);
    return s;
}

QString statJson(const Stat& s) {
    if (s.n == 0)
        return QStringLiteral("null");
    return QStringLiteral("{\"mean\": %1, \"std\": %2, \"min\": %3, \"max\": %4}")
        .arg(shortestNumber(s.mean), shortestNumber(s.sigma()), shortestNumber(s.min),
             shortestNumber(s.max));
}

// The stability figures of the measured frames as flat entries "pointing.r.twoSigmaX":
// the same names in every format, nested by their dots in JSON.
struct Figure {
    QString name;
    const char* unit;
    int samples;
    double value;
};

std::vector<Figure> stabilityEntries(const measure::StabilityFigures& f) {
    std::vector<Figure> v;
    const char* beams[3] = {"r", "g", "b"};
    const char* pairs[3] = {"rg", "bg", "rb"};
    for (size_t c = 0; c < 3; ++c) {
        const auto& p = f.pointing[c];
        const QString b = QStringLiteral("pointing.%1.").arg(QLatin1String(beams[c]));
        v.push_back({b + QStringLiteral("twoSigmaX"), "urad", p.samples, p.twoSigmaX});
        v.push_back({b + QStringLiteral("twoSigmaY"), "urad", p.samples, p.twoSigmaY});
        v.push_back({b + QStringLiteral("maxDistance"), "urad", p.samples, p.maxDistance});
    }
    for (size_t c = 0; c < 3; ++c) {
        const auto& p = f.power[c];
        const QString b = QStringLiteral("power.%1.").arg(QLatin1String(beams[c]));
        v.push_back({b + QStringLiteral("rmsPercent"), "%", p.samples, p.rmsPercent});
        v.push_back({b + QStringLiteral("peakToPeakPercent"), "%", p.samples, p.peakToPeakPercent});
    }
    for (size_t c = 0; c < 3; ++c) {
        const auto& a = f.alignment[c];
        const QString b = QStringLiteral("alignment.%1.").arg(QLatin1String(pairs[c]));
        v.push_back({b + QStringLiteral("rangeX"), "urad", a.samples, a.rangeX});
        v.push_back({b + QStringLiteral("rangeY"), "urad", a.samples, a.rangeY});
        v.push_back({b + QStringLiteral("twoSigmaX"), "urad", a.samples, a.twoSigmaX});
        v.push_back({b + QStringLiteral("twoSigmaY"), "urad", a.samples, a.twoSigmaY});
    }
    return v;
}

// {"pointing": {"r": {"twoSigmaX": 1.2, ...}, ...}, ...}; a figure without samples is null.
QString stabilityJson(const std::vector<Figure>& figures) {
    QString out = QStringLiteral("{");
    QStringList open;                // the path of the object being written
    std::vector<bool> filled{false}; // per open object: it holds an entry already
    const auto comma = [&] {
        if (filled.back())
            out += QStringLiteral(", ");
        filled.back() = true;
    };
    for (const Figure& f : figures) {
        const QStringList parts = f.name.split(QLatin1Char('.'));
        const QStringList path = parts.mid(0, parts.size() - 1);
        int same = 0;
        while (same < open.size() && same < path.size() && open[same] == path[same])
            ++same;
        while (open.size() > same) {
            out += QLatin1Char('}');
            open.removeLast();
            filled.pop_back();
        }
        while (open.size() < path.size()) {
            comma();
            out += QLatin1Char('"') + path[open.size()] + QStringLiteral("\": {");
            open << path[open.size()];
            filled.push_back(false);
        }
        comma();
        out += QStringLiteral("\"%1\": %2")
                   .arg(parts.last(),
                        f.samples > 0 ? shortestNumber(f.value) : QStringLiteral("null"));
    }
    for (int i = 0; i <= open.size(); ++i)
        out += QLatin1Char('}');
    return out;
}

// ------------------------------------------------------------------------ the run

std::atomic<int> g_signal{0};

void onSignal(int sig) {
    g_signal.store(sig);
}

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    // The session's debug lines are the window's log chatter; stderr is for the caller.
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "lumetra-measure: %s\n", qPrintable(msg.simplified()));
}

void writeOut(const QString& text) {
    const QByteArray b = text.toUtf8();
    std::fwrite(b.constData(), 1, size_t(b.size()), stdout);
    std::fflush(stdout);
}

void writeErr(const QString& line) {
    std::fprintf(stderr, "lumetra-measure: %s\n", qPrintable(line.simplified()));
}

class LiveRun {
public:
    explicit LiveRun(LiveOptions o) : m_o(std::move(o)) {}
    int exec();

private:
    enum class Phase { Settling, Measuring, Done };

    void onReport(const ReportPtr& r);
    void tick();
    void finish(int code, const QString& reason = QString());
    void progress();
    QString frameLine(int n, const FrameResult& r) const;
    QString summaryText() const;
    QString cameraJson() const;

    LiveOptions m_o;
    MeasureSession* m_s = nullptr;
    QEventLoop m_loop;
    Phase m_phase = Phase::Settling;
    int m_code = kLiveDone;
    QElapsedTimer m_sinceStart, m_sinceReport;
    QString m_noBeam;
    int m_settledInRow = 0;
    quint64 m_measureFill = 0;
    std::optional<QDateTime> m_firstMeasured, m_lastMeasured;
    int m_frames = 0;
    bool m_beamSeen = false;
    std::vector<Stat> m_stats;
    std::optional<FrameResult> m_last;
    QString m_serial, m_name;
    QRect m_roi;
    float m_exposureUs = 0;
    bool m_progress = false;
    measure::StabilityStats m_stability;
    std::array<Stat, tolerances::kQuantityCount> m_limitStats;
    std::optional<tolerances::Tolerances> m_limits;
    std::optional<tolerances::Evaluation> m_verdict;
    session::Recorder* m_recorder = nullptr;
    QString m_recordError;
};

void LiveRun::finish(int code, const QString& reason) {
    if (m_phase == Phase::Done)
        return;
    const bool measuring = m_phase == Phase::Measuring;
    m_phase = Phase::Done;
    m_code = code;
    if (m_recorder) {
        m_recorder->stop();
        if (m_recordError.isEmpty() && !m_recorder->errorString().isEmpty())
            m_recordError = m_recorder->errorString();
    }
    // The limits judge the means over the measured frames; a limited quantity that no
    // frame measured fails.
    if (m_limits && m_frames > 0) {
        tolerances::Values means;
        for (size_t i = 0; i < means.size(); ++i)
            if (m_limitStats[i].n > 0)
                means[i] = m_limitStats[i].mean;
        m_verdict = m_limits->evaluate(means);
    }
    if (m_progress)
        std::fprintf(stderr, "\r\033[K");
    // What was measured is printed whatever ended the run, a signal even before anything was
    // (not a run that never settled or found its camera).
    if (measuring || code == kLiveDone || code == kLiveInterrupted || code == kLiveTerminated) {
        QString out;
        if (m_o.format == Format::Json) {
            // Without --every one object: the last frame's fields as the saved-image mode
            // prints them, the camera and the summary added; with it a closing object.
            QString head = QStringLiteral("{");
            if (!m_o.every && m_last) {
                head = frameLine(m_frames, *m_last);
                head.chop(2); // "}\n"
                head += QStringLiteral(", ");
            }
            out = head + summaryText() + QStringLiteral("}\n");
        } else if (m_o.format == Format::Csv) {
            out = (m_o.every ? QStringLiteral("\n") : QString()) + summaryText();
        } else {
            if (!m_o.every && m_last)
                out = frameLine(m_frames, *m_last);
            out += summaryText();
        }
        writeOut(out);
    }
    if (m_verdict && !m_verdict->pass() && m_code == kLiveDone) {
        m_code = kLiveOutOfLimits;
        writeErr(m_verdict->summary());
    }
    if (!m_recordError.isEmpty()) {
        // The measurement stands, but the recording asked for is incomplete.
        writeErr(QStringLiteral("recording %1 stopped: %2").arg(m_o.record, m_recordError));
        if (m_code == kLiveDone || m_code == kLiveOutOfLimits)
            m_code = kLiveBadArguments;
    }
    if (code == kLiveDone && !m_beamSeen) {
        m_code = kLiveNoBeam;
        writeErr(QStringLiteral("no beam found in the ROI %1,%2,%3,%4")
                     .arg(m_roi.x())
                     .arg(m_roi.y())
                     .arg(m_roi.width())
                     .arg(m_roi.height()));
    }
    if (!reason.isEmpty())
        writeErr(reason);
    m_loop.quit();
}

QString LiveRun::frameLine(int n, const FrameResult& r) const {
    if (m_o.format == Format::Json)
        return frameJson(n, r);
    if (m_o.format == Format::Text)
        return frameText(n, r);
    QString line = QString::number(n);
    for (const Quantity& q : quantities()) {
        const std::optional<double> v = q.value(r);
        line += QLatin1Char(',') + (v ? shortestNumber(*v) : QString());
    }
    return line + QLatin1Char('\n');
}

QString LiveRun::cameraJson() const {
    return QStringLiteral("{\"serial\": %1, \"name\": %2, \"roi\": [%3, %4, %5, %6], "
                          "\"exposureUs\": %7}")
        .arg(jsonString(m_serial), jsonString(m_name))
        .arg(m_roi.x())
        .arg(m_roi.y())
        .arg(m_roi.width())
        .arg(m_roi.height())
        .arg(shortestNumber(double(m_exposureUs)));
}

QString LiveRun::summaryText() const {
    const auto& qs = quantities();
    const double seconds =
        m_firstMeasured && m_lastMeasured ? m_firstMeasured->msecsTo(*m_lastMeasured) / 1000.0 : 0;
    if (m_o.format == Format::Json) {
        QString s = QStringLiteral("\"frames\": %1, \"seconds\": %2")
                        .arg(m_frames)
                        .arg(shortestNumber(seconds));
        for (size_t i = 0; i < qs.size();) {
            const char* group = qs[i].group;
            QString members;
            while (i < qs.size() && qstrcmp(qs[i].group, group) == 0) {
                const char* member = qs[i].member;
                QString value;
                if (!qs[i].axis) {
                    value = statJson(m_stats[i++]);
                } else {
                    QString axes;
                    while (i < qs.size() && qstrcmp(qs[i].group, group) == 0 &&
                           qstrcmp(qs[i].member, member) == 0) {
                        axes += QStringLiteral("%1\"%2\": %3")
                                    .arg(axes.isEmpty() ? QString() : QStringLiteral(", "),
                                         QLatin1String(qs[i].axis), statJson(m_stats[i]));
                        ++i;
                    }
                    value = QLatin1Char('{') + axes + QLatin1Char('}');
                }
                members += QStringLiteral("%1\"%2\": %3")
                               .arg(members.isEmpty() ? QString() : QStringLiteral(", "),
                                    QLatin1String(member), value);
            }
            s += QStringLiteral(", \"%1\": {%2}").arg(QLatin1String(group), members);
        }
        s += QStringLiteral(", \"stability\": %1")
                 .arg(stabilityJson(stabilityEntries(m_stability.figures())));
        if (m_verdict)
            s += QStringLiteral(", \"limits\": {\"pass\": %1, \"verdict\": %2}")
                     .arg(m_verdict->pass() ? QStringLiteral("true") : QStringLiteral("false"),
                          jsonString(m_verdict->summary()));
        return QStringLiteral("\"camera\": %1, \"summary\": {%2}").arg(cameraJson(), s);
    }
    if (m_o.format == Format::Csv) {
        QString s = QStringLiteral("quantity,unit,frames,mean,std,min,max\n");
        for (size_t i = 0; i < qs.size(); ++i) {
            const Stat& st = m_stats[i];
            s += QStringLiteral("%1,%2,%3")
                     .arg(quantityName(qs[i]), QLatin1String(qs[i].unit))
                     .arg(st.n);
            if (st.n > 0)
                s += QStringLiteral(",%1,%2,%3,%4")
                         .arg(shortestNumber(st.mean), shortestNumber(st.sigma()),
                              shortestNumber(st.min), shortestNumber(st.max));
            else
                s += QStringLiteral(",,,,");
            s += QLatin1Char('\n');
        }
        for (const Figure& f : stabilityEntries(m_stability.figures()))
            s += QStringLiteral("stability.%1,%2,%3,%4,,,\n")
                     .arg(f.name, QLatin1String(f.unit))
                     .arg(f.samples)
                     .arg(f.samples > 0 ? shortestNumber(f.value) : QString());
        return s;
    }
    QString s = QStringLiteral("summary: %1 frames over %2 s, camera %3 (%4), ROI %5,%6,%7,%8, "
                               "exposure %9 us\n")
                    .arg(m_frames)
                    .arg(shortestNumber(seconds))
                    .arg(m_serial, m_name)
                    .arg(m_roi.x())
                    .arg(m_roi.y())
                    .arg(m_roi.width())
                    .arg(m_roi.height())
                    .arg(shortestNumber(double(m_exposureUs)));
    for (size_t i = 0; i < qs.size(); ++i) {
        const Stat& st = m_stats[i];
        if (st.n == 0) {
            s += QStringLiteral("  %1: none\n").arg(quantityName(qs[i]));
            continue;
        }
        s += QStringLiteral("  %1: mean %2 std %3 min %4 max %5 %6\n")
                 .arg(quantityName(qs[i]), shortestNumber(st.mean), shortestNumber(st.sigma()),
                      shortestNumber(st.min), shortestNumber(st.max), QLatin1String(qs[i].unit));
    }
    for (const Figure& f : stabilityEntries(m_stability.figures()))
        s += QStringLiteral("  stability.%1: %2 %3\n")
                 .arg(f.name, f.samples > 0 ? shortestNumber(f.value) : QStringLiteral("none"),
                      QLatin1String(f.unit));
    if (m_verdict)
        s += QStringLiteral("  limits: %1\n").arg(m_verdict->summary());
    return s;
}

void LiveRun::onReport(const ReportPtr& r) {
    if (m_phase == Phase::Done || !r->result.measured)
        return;
    m_sinceReport.restart();
    m_roi = r->roi;
    m_exposureUs = r->exposureUs;
    if (m_phase == Phase::Settling) {
        const bool beams = !m_s->autoRoi() || m_noBeam.isEmpty();
        const FrameResult& f = r->result;
        const int peak = std::max({f.maxR, f.maxG, f.maxB});
        // The window's automatic exposure is content when a full stabiliser asks no change.
        const bool quiet = f.stabilised && peak > 15 && !f.exposureFactor;
        m_settledInRow = quiet ? m_settledInRow + 1 : 0;
        const bool exposed = !m_s->autoExposure() || m_settledInRow >= kSettledFrames;
        if (!beams || !exposed)
            return;
        // From here the set-up stays as found: every measured frame is comparable.
        m_s->setAutoExposure(false);
        m_s->setAutoRoi(false);
        m_s->restartFill();
        m_measureFill = m_s->fillId();
        m_phase = Phase::Measuring;
        return;
    }
    if (r->fillId < m_measureFill || !r->result.stabilised)
        return;
    if (m_firstMeasured && m_o.seconds &&
        m_firstMeasured->msecsTo(r->time) > qint64(*m_o.seconds * 1000.0)) {
        finish(kLiveDone);
        return;
    }
    if (!m_firstMeasured)
        m_firstMeasured = r->time;
    m_lastMeasured = r->time;
    ++m_frames;
    const auto& qs = quantities();
    for (size_t i = 0; i < qs.size(); ++i)
        if (const std::optional<double> v = qs[i].value(r->result))
            m_stats[i].add(*v);
    for (ResultText t :
         {ResultText::DivergenceRed, ResultText::DivergenceGreen, ResultText::DivergenceBlue})
        m_beamSeen = m_beamSeen || shown(r->result.texts, t);
    m_last = r->result;
    m_stability.add(
        measure::stabilitySample(r->result, m_firstMeasured->msecsTo(r->time) / 1000.0));
    const tolerances::Values values = session::toleranceValues(r->result);
    for (size_t i = 0; i < values.size(); ++i)
        if (values[i])
            m_limitStats[i].add(*values[i]);
    if (m_recorder)
        m_recorder->addReport(r);
    if (m_o.every) {
        QString line = frameLine(m_frames, r->result);
        if (m_o.format == Format::Csv && m_frames == 1) {
            QString header = QStringLiteral("frame");
            for (const Quantity& q : qs)
                header += QLatin1Char(',') + quantityName(q);
            line = header + QLatin1Char('\n') + line;
        }
        writeOut(line);
    }
    if (m_o.frames && m_frames >= *m_o.frames)
        finish(kLiveDone);
}

void LiveRun::tick() {
    if (m_phase == Phase::Done)
        return;
    if (const int sig = g_signal.load()) {
        finish(sig == SIGINT ? kLiveInterrupted : kLiveTerminated,
               sig == SIGINT ? QStringLiteral("interrupted") : QStringLiteral("terminated"));
        return;
    }
    if (m_sinceReport.elapsed() > kSilenceLimitMs) {
        finish(kLiveNoCamera, QStringLiteral("no frame from camera %1 for %2 s")
                                  .arg(m_serial)
                                  .arg(kSilenceLimitMs / 1000));
        return;
    }
    if (m_phase == Phase::Settling) {
        const bool autoExposure = m_s->autoExposure();
        const qint64 limit = autoExposure ? kSettleLimitMs : m_s->autoRoi() ? kFindLimitMs : -1;
        if (limit >= 0 && m_sinceStart.elapsed() > limit) {
            if (m_s->autoRoi() && !m_noBeam.isEmpty())
                finish(kLiveNoBeam, m_noBeam);
            else
                finish(kLiveNoBeam,
                       QStringLiteral("the exposure did not settle within %1 s (now %2 us)")
                           .arg(kSettleLimitMs / 1000)
                           .arg(shortestNumber(double(m_s->exposureUs()))));
            return;
        }
    }
    // A run by seconds ends on time even when frames come slowly.
    if (m_phase == Phase::Measuring && m_o.seconds && m_firstMeasured &&
        m_firstMeasured->msecsTo(QDateTime::currentDateTime()) >
            qint64(*m_o.seconds * 1000.0) + 1000) {
        finish(kLiveDone);
        return;
    }
    if (m_progress)
        progress();
}

void LiveRun::progress() {
    QString text;
    if (m_phase == Phase::Settling) {
        text = QStringLiteral("settling: exposure %1 us%2")
                   .arg(shortestNumber(double(m_s->exposureUs())),
                        m_noBeam.isEmpty() ? QString() : QStringLiteral(", ") + m_noBeam);
    } else {
        const double secs =
            m_firstMeasured ? m_firstMeasured->msecsTo(QDateTime::currentDateTime()) / 1000.0 : 0;
        text = QStringLiteral("measuring: %1%2 frames, %3 s, exposure %4 us")
                   .arg(m_frames)
                   .arg(m_o.frames ? QStringLiteral("/%1").arg(*m_o.frames) : QString())
                   .arg(QString::number(secs, 'f', 1))
                   .arg(shortestNumber(double(m_s->exposureUs())));
    }
    std::fprintf(stderr, "\r\033[K%s", qPrintable(text));
    std::fflush(stderr);
}

int LiveRun::exec() {
    qInstallMessageHandler(quietMessages);
    if (!m_o.simulated.isEmpty()) {
        const QFileInfo fi(m_o.simulated);
        if (!fi.isFile()) {
            writeErr(QStringLiteral("simulated head file %1 does not exist").arg(m_o.simulated));
            return kLiveBadArguments;
        }
        paths::Folders f = paths::active();
        f.headFile = fi.absoluteFilePath();
        paths::setActive(f);
    }
    // Limits first: a file that cannot be used ends the run before any camera is touched.
    if (!m_o.limits.isEmpty()) {
        QStringList problems;
        QString error;
        m_limits = tolerances::Tolerances::fromFile(m_o.limits, &problems, &error);
        if (!m_limits) {
            writeErr(QStringLiteral("cannot use the limits: %1").arg(error));
            return kLiveBadArguments;
        }
        if (!m_limits->any()) {
            writeErr(QStringLiteral("limits file %1 sets no limit").arg(m_o.limits));
            return kLiveBadArguments;
        }
        for (const QString& p : problems)
            writeErr(QStringLiteral("warning: ") + p);
    }
    MeasureSession s;
    m_s = &s;
    QCoreApplication::processEvents(); // the camera object takes its own thread
    // GigE discovery may miss a camera that answers late: look again before giving up.
    QList<CameraEntry> cameras;
    for (int attempt = 0; attempt < 3; ++attempt) {
        cameras = s.camera()->cameraList();
        const bool found = std::any_of(cameras.begin(), cameras.end(), [&](const CameraEntry& c) {
            return m_o.camera.isEmpty() || c.serial == m_o.camera;
        });
        if (found || m_o.list)
            break;
        QThread::msleep(500);
    }

    if (m_o.list) {
        QString out;
        for (const CameraEntry& c : cameras) {
            if (m_o.format == Format::Json)
                out += QStringLiteral("%1{\"serial\": %2, \"name\": %3, \"transport\": %4}")
                           .arg(out.isEmpty() ? QString() : QStringLiteral(",\n "),
                                jsonString(c.serial), jsonString(c.name), jsonString(c.transport));
            else if (m_o.format == Format::Csv)
                out += QStringLiteral("%1,%2,%3\n").arg(c.serial, c.name, c.transport);
            else
                out += QStringLiteral("%1\t%2\t%3\n").arg(c.serial, c.name, c.transport);
        }
        if (m_o.format == Format::Json)
            out = QLatin1Char('[') + out + QStringLiteral("]\n");
        writeOut(out);
        return kLiveDone;
    }

    // The camera: the one asked for, or the only one there is.
    QStringList serials;
    for (const CameraEntry& c : cameras)
        serials << c.serial;
    if (cameras.isEmpty()) {
        writeErr(QStringLiteral("no camera found"));
        return kLiveNoCamera;
    }
    if (m_o.camera.isEmpty() && cameras.size() > 1) {
        writeErr(QStringLiteral("%1 cameras found (%2): choose one with --camera")
                     .arg(cameras.size())
                     .arg(serials.join(QStringLiteral(", "))));
        return kLiveBadArguments;
    }
    m_serial = m_o.camera.isEmpty() ? cameras.first().serial : m_o.camera;
    if (!serials.contains(m_serial)) {
        writeErr(QStringLiteral("no camera with serial %1 (found: %2)")
                     .arg(m_serial, serials.join(QStringLiteral(", "))));
        return kLiveNoCamera;
    }
    m_name = cameras[serials.indexOf(m_serial)].name;
    if (s.openCamera(m_serial) != 0 || !s.isOpen()) {
        writeErr(QStringLiteral("camera %1 cannot be opened").arg(m_serial));
        return kLiveNoCamera;
    }
    s.applyStartState();

    // The calibration: the camera's own file unless another is named.
    const QString file = m_o.calibration.isEmpty() ? s.calibrationFile() : m_o.calibration;
    std::array<QString, 3> wavelengths;
    if (m_o.wavelengths) {
        wavelengths = *m_o.wavelengths;
    } else {
        const auto lists = cal::readWavelengthLists(file);
        for (int c = 0; c < 3; ++c)
            wavelengths[size_t(c)] = lists[size_t(c)].value(0);
    }
    // Loaded even without a file: that gives every corner the factory matrix and factors.
    const cal::LoadResult loaded = s.loadCalibration(wavelengths, 0, file);
    const bool named = !m_o.calibration.isEmpty();
    if (!cal::isReadable(loaded.condition)) {
        const QString why = loaded.condition == cal::FileCondition::Missing
                                ? QStringLiteral("does not exist")
                                : loaded.conditionDetail;
        if (named) {
            writeErr(QStringLiteral("calibration file %1 cannot be used: it %2").arg(file, why));
            return kLiveBadArguments;
        }
        writeErr(QStringLiteral("warning: calibration file %1 %2: factory matrix and power "
                                "factors")
                     .arg(file, why));
    } else {
        if (!loaded.uncalibratedChannels.isEmpty()) {
            writeErr(QStringLiteral("wavelength %1 nm is not calibrated in %2")
                         .arg(wavelengths[size_t(loaded.uncalibratedChannels.first())], file));
            return kLiveBadArguments;
        }
        if (loaded.singularCorner >= 0) {
            writeErr(QStringLiteral("invalid color matrix for corner %1 in %2")
                         .arg(cal::cornerName(loaded.singularCorner), file));
            return kLiveBadArguments;
        }
        for (const QString& p : loaded.problems)
            writeErr(QStringLiteral("warning: ") + p);
    }

    s.setCorner(m_o.corner);
    s.setStabDepth(m_o.depth);
    if (m_o.roi) {
        const QRect image(0, 0, s.camera()->width(), s.camera()->height());
        if (!image.contains(*m_o.roi)) {
            writeErr(QStringLiteral("ROI %1,%2,%3,%4 lies outside the %5 x %6 image")
                         .arg(m_o.roi->x())
                         .arg(m_o.roi->y())
                         .arg(m_o.roi->width())
                         .arg(m_o.roi->height())
                         .arg(image.width())
                         .arg(image.height()));
            return kLiveBadArguments;
        }
        s.setRoi(*m_o.roi);
    }
    s.setAutoRoi(!m_o.roi);
    if (m_o.exposureUs) {
        s.setAutoExposure(false);
        s.setExposureMs(*m_o.exposureUs / 1000.0);
    } else {
        s.setAutoExposure(true);
    }
    session::Recorder recorder;
    if (!m_o.record.isEmpty()) {
        if (!recorder.start(m_o.record)) {
            writeErr(
                QStringLiteral("cannot record to %1: %2").arg(m_o.record, recorder.errorString()));
            return kLiveBadArguments;
        }
        m_recorder = &recorder;
    }
    m_stats.assign(quantities().size(), Stat());
    m_progress = isatty(STDERR_FILENO) == 1;

    QObject context;
    s.subscribe(&context, [this](const ReportPtr& r) { onReport(r); });
    QObject::connect(&s, &MeasureSession::autoRoiNoBeam, &context,
                     [this](const QString& reason) { m_noBeam = reason; });
    QObject::connect(&s, &MeasureSession::cameraLost, &context, [this](const QString& name) {
        finish(kLiveNoCamera, QStringLiteral("camera lost: %1").arg(name));
    });
    QObject::connect(&recorder, &session::Recorder::failed, &context,
                     [this](const QString& message) { m_recordError = message; });
    QTimer timer;
    timer.setInterval(50);
    QObject::connect(&timer, &QTimer::timeout, &context, [this] { tick(); });

    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESETHAND; // a second signal ends the process at once
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt {
    }, oldTerm{};
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);

    m_sinceStart.start();
    m_sinceReport.start();
    if (s.startStreaming() != 0) {
        writeErr(QStringLiteral("camera %1 does not stream").arg(m_serial));
        return kLiveNoCamera;
    }
    timer.start();
    m_loop.exec();
    timer.stop();
    s.stopStreaming();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    return m_code;
}

} // namespace

bool isLiveMode(const QStringList& args) {
    for (const QString& a : args) {
        if (a == QLatin1String("--"))
            break;
        if (a == QLatin1String("--live") || a == QLatin1String("--list-cameras"))
            return true;
    }
    return false;
}

QString liveArgumentError(const QStringList& args) {
    try {
        parseLive(args);
    } catch (const BadInput& e) {
        return QString::fromStdString(e.what());
    }
    return QString();
}

QString liveUsageText() {
    return QStringLiteral(
        "usage: lumetra-measure --live [options]\n"
        "       lumetra-measure --list-cameras [--format json|text]\n"
        "  --camera SERIAL          the camera (default: the only one present)\n"
        "  --simulated FILE         simulated heads from FILE (default simulated-head.ini)\n"
        "  --frames N | --seconds S how long to measure once the stabiliser is full\n"
        "                           (default --frames 1)\n"
        "  --roi X,Y,W,H | --auto-roi  the region, or Auto ROI (default)\n"
        "  --corner TL|TR|BL|BR|none  selected spot corner (default BR)\n"
        "  --depth N                stabiliser depth 1..10 (default 8)\n"
        "  --calibration FILE       calibration file (default the camera's own)\n"
        "  --wavelengths R,G,B      wavelengths (default the file's first of each)\n"
        "  --exposure-us E | --auto-exposure  fixed exposure (100..200000 us), or automatic\n"
        "                           until it settles, at most 10 s (default)\n"
        "  --every                  one result per frame instead of a summary\n"
        "  --record FILE.csv        record the measured frames (the window's format)\n"
        "  --limits FILE            judge the means against tolerances (the window's format)\n"
        "  --format json|text|csv   output format (default text)\n"
        "exit status: 0 done, 1 out of limits, 2 bad arguments, 3 no camera or camera lost,\n"
        "4 exposure did not settle or no beam found, 130/143 SIGINT/SIGTERM\n");
}

int runLive(const QStringList& args) {
    LiveOptions o;
    try {
        o = parseLive(args);
    } catch (const BadInput& e) {
        writeErr(QString::fromStdString(e.what()));
        return kLiveBadArguments;
    }
    return LiveRun(std::move(o)).exec();
}

} // namespace lumetra::tool
