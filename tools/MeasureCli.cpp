#include "MeasureCli.h"

#include "AnalysisOutput.h"
#include "Calibration.h"
#include "CliArgs.h"
#include "ColorCorrection.h"
#include "FramePipeline.h"
#include "ToolFiles.h"

#include <QFileInfo>
#include <QImage>
#include <QRect>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <stdexcept>

namespace lumetra::tool {

using namespace lumetra::measure;

namespace {

struct Options {
    std::optional<QRect> roi;
    std::optional<Corner> corner = Corner::BR;
    int depth = 8;
    std::optional<UnmixMatrix> unmix;
    std::optional<std::array<double, 3>> powerFactors;
    std::optional<std::array<double, 3>> analysisFactors; // the beam analysis's own
    std::optional<UnmixMatrix> analysisUnmix;
    QString calibrationFile;
    std::optional<std::array<QString, 3>> wavelengths;
    float exposureUs = 10000.0f;
    int redBoost = 1;
    bool every = false;
    QString correctedOut;
    bool json = false;
    QStringList frames;
};

QStringList splitList(const QString& option, const QString& value, int count) {
    const QStringList parts = value.split(QLatin1Char(','));
    if (parts.size() != count) {
        fail(QStringLiteral("%1 expects %2 comma-separated values, got \"%3\"")
                 .arg(option)
                 .arg(count)
                 .arg(value));
    }
    return parts;
}

int parseInt(const QString& option, const QString& text) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (!ok) {
        fail(QStringLiteral("%1: \"%2\" is not an integer").arg(option, text));
    }
    return v;
}

double parseNumber(const QString& option, const QString& text) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v)) {
        fail(QStringLiteral("%1: \"%2\" is not a finite number").arg(option, text));
    }
    return v;
}

// Values outside [low, high] are refused: the divisions of the power computation would
// turn them into infinities (a denormal factor) or zero (a huge one).
double parseBounded(const QString& option, const QString& text, double low, double high) {
    const double v = parseNumber(option, text);
    if (!(v >= low && v <= high)) {
        fail(QStringLiteral("%1 must be from %2 to %3, got \"%4\"")
                 .arg(option)
                 .arg(low)
                 .arg(high)
                 .arg(text));
    }
    return v;
}

constexpr double kMaxUnmixMagnitude = 1e6;
constexpr double kMinPowerFactor = 1e-6, kMaxPowerFactor = 1e9;
constexpr double kMinExposureUs = 1.0, kMaxExposureUs = 1e8;

Options parseArgs(const QStringList& args) {
    Options o;
    bool sawUnmix = false, sawFactors = false;
    for (int i = 0; i < args.size(); ++i) {
        QString a = args[i];
        if (!a.startsWith(QLatin1String("--"))) {
            o.frames.append(a);
            continue;
        }
        if (a == QLatin1String("--")) {
            o.frames.append(args.mid(i + 1));
            break;
        }
        CliOption option = splitOption(a);
        a = option.name;
        if (a == QLatin1String("--every")) {
            refuseValue(option);
            o.every = true;
            continue;
        }
        static const QStringList withValue = {"--roi",         "--corner",        "--depth",
                                              "--unmix",       "--power-factors", "--calibration",
                                              "--wavelengths", "--exposure-us",   "--red-boost",
                                              "--corrected",   "--format"};
        if (!withValue.contains(a)) {
            fail(QStringLiteral("unknown option %1").arg(a));
        }
        takeValue(option, args, i);
        const QString value = option.value;
        if (a == QLatin1String("--roi")) {
            const QStringList p = splitList(a, value, 4);
            const int x = parseInt(a, p[0]), y = parseInt(a, p[1]);
            const int w = parseInt(a, p[2]), h = parseInt(a, p[3]);
            if (w < 1 || h < 1 || w > kMaxRoiSide || h > kMaxRoiSide) {
                fail(QStringLiteral("--roi width and height must be 1 to 1200, got %1 x %2")
                         .arg(w)
                         .arg(h));
            }
            // Bounded so that the rectangle's edges cannot overflow.
            if (x < 0 || y < 0 || x > 1000000 || y > 1000000) {
                fail(QStringLiteral("--roi %1,%2 lies outside any frame").arg(x).arg(y));
            }
            o.roi = QRect(x, y, w, h);
        } else if (a == QLatin1String("--corner")) {
            const QString c = value.trimmed().toUpper();
            if (c == QLatin1String("TL")) {
                o.corner = Corner::TL;
            } else if (c == QLatin1String("TR")) {
                o.corner = Corner::TR;
            } else if (c == QLatin1String("BL")) {
                o.corner = Corner::BL;
            } else if (c == QLatin1String("BR")) {
                o.corner = Corner::BR;
            } else if (c == QLatin1String("NONE")) {
                o.corner = std::nullopt;
            } else {
                fail(QStringLiteral("--corner must be TL, TR, BL, BR or none, got \"%1\"")
                         .arg(value));
            }
        } else if (a == QLatin1String("--depth")) {
            o.depth = parseInt(a, value);
            if (o.depth < 1 || o.depth > kMaxStabDepth) {
                fail(QStringLiteral("--depth must be 1 to 10, got %1").arg(value));
            }
        } else if (a == QLatin1String("--unmix")) {
            const QStringList p = splitList(a, value, 9);
            UnmixMatrix m;
            for (int e = 0; e < 9; ++e) {
                m[e] = parseBounded(a, p[e], -kMaxUnmixMagnitude, kMaxUnmixMagnitude);
            }
            o.unmix = m;
            sawUnmix = true;
        } else if (a == QLatin1String("--power-factors")) {
            const QStringList p = splitList(a, value, 3);
            std::array<double, 3> f;
            for (int c = 0; c < 3; ++c) {
                f[c] = parseBounded(a, p[c], kMinPowerFactor, kMaxPowerFactor);
            }
            o.powerFactors = f;
            sawFactors = true;
        } else if (a == QLatin1String("--calibration")) {
            if (value.isEmpty()) {
                fail(QStringLiteral("--calibration needs a file name"));
            }
            o.calibrationFile = value;
        } else if (a == QLatin1String("--wavelengths")) {
            const QStringList p = splitList(a, value, 3);
            std::array<QString, 3> w;
            for (int c = 0; c < 3; ++c) {
                if (p[c].isEmpty()) {
                    fail(QStringLiteral("--wavelengths: empty wavelength in \"%1\"").arg(value));
                }
                w[c] = p[c];
            }
            o.wavelengths = w;
        } else if (a == QLatin1String("--exposure-us")) {
            o.exposureUs = float(parseBounded(a, value, kMinExposureUs, kMaxExposureUs));
        } else if (a == QLatin1String("--red-boost")) {
            o.redBoost = parseInt(a, value);
            if (o.redBoost < 1 || o.redBoost > 4) {
                fail(QStringLiteral("--red-boost must be 1 to 4, got %1").arg(value));
            }
        } else if (a == QLatin1String("--corrected")) {
            if (value.isEmpty()) {
                fail(QStringLiteral("--corrected needs a file name"));
            }
            o.correctedOut = value;
        } else if (a == QLatin1String("--format")) {
            if (value == QLatin1String("json")) {
                o.json = true;
            } else if (value == QLatin1String("text")) {
                o.json = false;
            } else {
                fail(QStringLiteral("--format must be json or text, got \"%1\"").arg(value));
            }
        }
    }
    if (!o.calibrationFile.isEmpty() != o.wavelengths.has_value()) {
        fail(QStringLiteral("--calibration and --wavelengths go together"));
    }
    if (!o.calibrationFile.isEmpty() && (sawUnmix || sawFactors)) {
        fail(QStringLiteral("--calibration replaces --unmix and --power-factors; give one or "
                            "the other"));
    }
    if (o.frames.isEmpty()) {
        fail(QStringLiteral("no frame given (usage: lumetra-measure [options] FRAME ...)"));
    }
    return o;
}

// The matrix and factors of the corner from a calibration file, as the window loads them;
// the file's problems that the window shows as notices become warnings.
void loadFromCalibration(Options& o, QStringList& warnings) {
    namespace cal = lumetra::calibration;
    const QFileInfo fi(o.calibrationFile);
    if (!fi.exists() && !fi.isSymLink()) {
        fail(QStringLiteral("calibration file %1 does not exist").arg(o.calibrationFile));
    }
    cal::CalibrationData data;
    const cal::LoadResult r = cal::loadCalibration(o.calibrationFile, *o.wavelengths, 0,
                                                   /*anyCalibrationActive=*/false, data);
    if (!cal::isReadable(r.condition)) {
        fail(QStringLiteral("calibration file %1 cannot be used: it %2")
                 .arg(o.calibrationFile, r.conditionDetail));
    }
    warnings << r.problems;
    if (!r.uncalibratedChannels.isEmpty()) {
        fail(QStringLiteral("wavelength %1 nm is not calibrated in %2")
                 .arg((*o.wavelengths)[r.uncalibratedChannels.first()], o.calibrationFile));
    }
    if (r.singularCorner >= 0) {
        fail(QStringLiteral("invalid color matrix for corner %1 in %2 (singular or too close "
                            "to it)")
                 .arg(cal::cornerName(r.singularCorner), o.calibrationFile));
    }
    const int k = o.corner ? int(*o.corner) : 0;
    UnmixMatrix m, am;
    for (int e = 0; e < 9; ++e) {
        m[e] = data.unmixCoef[e][k];
        am[e] = data.analysisUnmix[e][k];
    }
    o.analysisUnmix = am;
    std::array<double, 3> f, a;
    for (int c = 0; c < 3; ++c) {
        f[c] = data.powerFactor[c][k];
        a[c] = data.analysisFactor[c][k];
    }
    o.unmix = m;
    o.powerFactors = f;
    o.analysisFactors = a;
}

UnmixMatrix defaultUnmix() {
    namespace cal = lumetra::calibration;
    double a[3][3], inv[3][3];
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            a[r][c] = cal::defaultMatrixValue(r, c);
        }
    }
    cal::invert3x3(a, inv);
    UnmixMatrix m;
    for (int e = 0; e < 9; ++e) {
        m[e] = inv[e / 3][e % 3];
    }
    return m;
}

QImage readFrame(const QString& path) {
    QString error;
    const QImage img = readFrameFile(path, &error);
    if (img.isNull()) {
        fail(error);
    }
    return img.convertToFormat(QImage::Format_RGB888);
}

template <typename T> QString shortest(T v) {
    return shortestNumber(v);
}

QString pairJson(MeasurePair p) {
    return QStringLiteral("[%1, %2]").arg(shortest(p.x), shortest(p.y));
}

struct LabelEntry {
    const char* name;
    QString text;
};

// The output keys are a published format: they keep the names the window's labels had
// when the tool first wrote them. An unset text is written empty.
std::array<LabelEntry, 15> labelEntries(const ResultTexts& t) {
    using T = ResultText;
    return {{{"divValue", t.text(T::DivergenceAll)},
             {"redDivValue", t.text(T::DivergenceRed)},
             {"greenDivValue", t.text(T::DivergenceGreen)},
             {"blueDivValue", t.text(T::DivergenceBlue)},
             {"rgValue", t.text(T::AlignmentRG)},
             {"bgValue", t.text(T::AlignmentBG)},
             {"rbValue", t.text(T::AlignmentRB)},
             {"maxRValue", t.text(T::PeakRed)},
             {"maxGValue", t.text(T::PeakGreen)},
             {"maxBValue", t.text(T::PeakBlue)},
             {"valuePowerRed", t.text(T::PowerRed)},
             {"valuePowerGreen", t.text(T::PowerGreen)},
             {"valuePowerBlue", t.text(T::PowerBlue)},
             {"valuePowerTotal", t.text(T::PowerTotal)},
             {"warningLabel", t.text(T::ExposureWarning)}}};
}

QString formatJson(int frame, const FrameResult& r) {
    const auto& p = r.pairs;
    QString power = QStringLiteral("null, \"g\": null, \"b\": null, \"total\": null");
    if (r.power && r.totalPower) {
        power = QStringLiteral("%1, \"g\": %2, \"b\": %3, \"total\": %4")
                    .arg(shortest((*r.power)[0]), shortest((*r.power)[1]), shortest((*r.power)[2]),
                         shortest(*r.totalPower));
    }
    QString labels;
    for (const LabelEntry& e : labelEntries(r.texts)) {
        if (!labels.isEmpty()) {
            labels += QStringLiteral(", ");
        }
        labels += QStringLiteral("\"%1\": %2").arg(QLatin1String(e.name), jsonString(e.text));
    }
    return QStringLiteral("{\"frame\": %1, \"stabilised\": %2, "
                          "\"divergence\": {\"all\": %3, \"r\": %4, \"g\": %5, \"b\": %6}, "
                          "\"alignment\": {\"rg\": %7, \"bg\": %8, \"rb\": %9}, ")
               .arg(frame)
               .arg(r.stabilised ? QStringLiteral("true") : QStringLiteral("false"))
               .arg(pairJson(p[PairAll]), pairJson(p[PairRed]), pairJson(p[PairGreen]),
                    pairJson(p[PairBlue]), pairJson(p[PairRG]), pairJson(p[PairBG]),
                    pairJson(p[PairRB])) +
           QStringLiteral("\"maxima\": {\"r\": %1, \"g\": %2, \"b\": %3}, \"power\": {\"r\": %4}, "
                          "\"exposureFactor\": %5, \"labels\": {%6}, \"iso11146\": %7}\n")
               .arg(r.maxR)
               .arg(r.maxG)
               .arg(r.maxB)
               .arg(power, r.exposureFactor ? shortest(*r.exposureFactor) : QStringLiteral("null"),
                    labels, analysisJson(r.analysis));
}

QString formatText(int frame, const FrameResult& r) {
    QString s = QStringLiteral("frame %1%2\n")
                    .arg(frame)
                    .arg(r.stabilised ? QString() : QStringLiteral(" (stabiliser filling)"));
    for (const LabelEntry& e : labelEntries(r.texts)) {
        s += QStringLiteral("  %1: %2\n").arg(QLatin1String(e.name), e.text);
    }
    s += QStringLiteral("  exposureFactor: %1\n")
             .arg(r.exposureFactor ? shortest(*r.exposureFactor) : QStringLiteral("none"));
    return s + analysisText(r.analysis);
}

} // namespace

QString frameJson(int frame, const FrameResult& r) {
    return formatJson(frame, r);
}

QString frameText(int frame, const FrameResult& r) {
    return formatText(frame, r);
}

QString usageText() {
    return QStringLiteral(
        "usage: lumetra-measure [options] FRAME [FRAME ...]\n"
        "  --roi X,Y,W,H            region of interest (W, H at most 1200)\n"
        "  --corner TL|TR|BL|BR|none  selected spot corner (default BR)\n"
        "  --depth N                stabiliser depth 1..10 (default 8)\n"
        "  --unmix m0,...,m8        unmixing coefficients, row-major\n"
        "  --power-factors R,G,B    power factors of the corner (default 29,59,43)\n"
        "  --calibration FILE --wavelengths R,G,B  matrix and factors from a calibration file\n"
        "  --exposure-us E          exposure in microseconds, 1..1e8 (default 10000)\n"
        "  --red-boost N            red boost 1..4 for --corrected (default 1)\n"
        "  --every                  one result per frame instead of the last only\n"
        "  --corrected OUT.png      write the last frame's colour-corrected region in the\n"
        "                           format its suffix names (.png, .bmp, ...)\n"
        "  --format json|text       output format (default text)\n"
        "On a live camera: lumetra-measure --live --help\n");
}

QString argumentError(const QStringList& args) {
    try {
        parseArgs(args);
    } catch (const BadInput& e) {
        return QString::fromStdString(e.what());
    }
    return QString();
}

RunOutput runMeasure(const QStringList& args) {
    RunOutput result;
    if (args.contains(QStringLiteral("--help")) || args.contains(QStringLiteral("-h"))) {
        result.out = usageText();
        return result;
    }
    LibraryMessages libraryMessages;
    try {
        Options o = parseArgs(args);
        QByteArray correctedFormat;
        if (!o.correctedOut.isEmpty()) {
            QString error;
            QStringList inputs = o.frames;
            if (!o.calibrationFile.isEmpty()) {
                inputs.append(o.calibrationFile);
            }
            correctedFormat = outputFormat(o.correctedOut, inputs, &error);
            if (correctedFormat.isEmpty()) {
                fail(error);
            }
        }
        if (!o.calibrationFile.isEmpty()) {
            loadFromCalibration(o, result.warnings);
        }
        FrameInput base;
        base.stabDepth = o.depth;
        base.corner = o.corner;
        base.unmix = o.unmix.value_or(defaultUnmix());
        base.powerFactor = o.powerFactors.value_or(std::array<double, 3>{29.0, 59.0, 43.0});
        base.analysisFactor = o.analysisFactors.value_or(kStartAnalysisFactors);
        base.analysisUnmix = o.analysisUnmix;
        base.exposureUs = o.exposureUs;
        base.redBoost = o.redBoost;

        FramePipeline pipeline;
        QSize frameSize;
        QRect roi;
        int stabCount = 0;
        QString out;
        FrameResult last;
        for (int i = 0; i < o.frames.size(); ++i) {
            const QImage frame = readFrame(o.frames[i]);
            if (i == 0) {
                frameSize = frame.size();
                const QRect whole(QPoint(0, 0), frameSize);
                roi = o.roi.value_or(QRect(0, 0, std::min(frameSize.width(), kMaxRoiSide),
                                           std::min(frameSize.height(), kMaxRoiSide)));
                if (!whole.contains(roi)) {
                    fail(QStringLiteral("ROI %1,%2,%3,%4 lies outside the %5 x %6 frame")
                             .arg(roi.x())
                             .arg(roi.y())
                             .arg(roi.width())
                             .arg(roi.height())
                             .arg(frameSize.width())
                             .arg(frameSize.height()));
                }
                if (!hasCorrectedImage(roi.width(), roi.height())) {
                    fail(QStringLiteral("ROI %1 x %2 is too small: it must be more than 10 "
                                        "pixels in both directions")
                             .arg(roi.width())
                             .arg(roi.height()));
                }
            } else if (frame.size() != frameSize) {
                fail(QStringLiteral("frame %1 is %2 x %3, the first frame is %4 x %5")
                         .arg(o.frames[i])
                         .arg(frame.width())
                         .arg(frame.height())
                         .arg(frameSize.width())
                         .arg(frameSize.height()));
            }
            if (stabCount < o.depth) {
                ++stabCount;
            }
            FrameInput in = base;
            in.stabCount = stabCount;
            in.crop = frame.copy(roi);
            last = pipeline.process(std::move(in));
            if (!last.powerNote.isEmpty() && !result.warnings.contains(last.powerNote)) {
                result.warnings << last.powerNote;
            }
            if (o.every || i + 1 == o.frames.size()) {
                out += o.json ? formatJson(i + 1, last) : formatText(i + 1, last);
            }
        }
        if (!o.correctedOut.isEmpty()) {
            QString error;
            if (!writeImageFile(last.correctedImage, o.correctedOut, correctedFormat, &error)) {
                fail(error);
            }
        }
        result.out = out;
    } catch (const BadInput& e) {
        result.warnings.clear();
        result.exitCode = 2;
        result.err = QString::fromStdString(e.what());
        const QString library = libraryMessages.take();
        if (!library.isEmpty()) {
            result.err += QStringLiteral(" (%1)").arg(library);
        }
    } catch (const std::exception& e) {
        result.warnings.clear();
        result.exitCode = 2;
        result.err = QStringLiteral("failed: %1").arg(QString::fromLocal8Bit(e.what()));
    }
    return result;
}

} // namespace lumetra::tool
