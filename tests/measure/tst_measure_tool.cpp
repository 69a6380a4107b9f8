// lumetra-measure run as a process on frames written into a temporary directory: its output
// must equal the in-process pipeline on the same frames, and every bad input must end with
// exit status 2, one stderr line and nothing on stdout.

#include "../calibration/CalibrationTestFiles.h"
#include "BeamAnalysis.h"
#include "Calibration.h"
#include "FramePipeline.h"
#include "HeadFrames.h"
#include "SceneMaker.h"
#include "TestSupport.h"

#include <QImageReader>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSettings>
#include <QTest>

#include <sys/resource.h>
#include <sys/stat.h>

using namespace lumetra::measure;

namespace {

using Run = testsupport::ToolRun;
using testsupport::measureToolPath;

// fileSizeLimit > 0: the tool runs with that many bytes as its largest file.
Run runTool(const QStringList& args, rlim_t fileSizeLimit = 0) {
    return testsupport::runMeasureTool(args, [fileSizeLimit](QProcess& p) {
        if (fileSizeLimit > 0) {
            p.setChildProcessModifier([fileSizeLimit] {
                const rlimit limit{fileSizeLimit, fileSizeLimit};
                setrlimit(RLIMIT_FSIZE, &limit);
            });
        }
    });
}

// The tool prints the shortest text that reads back as the same float.
bool samePair(const QJsonValue& v, MeasurePair p) {
    const QJsonArray a = v.toArray();
    return a.size() == 2 && float(a[0].toDouble()) == p.x && float(a[1].toDouble()) == p.y;
}

bool sameNumber(const QJsonValue& v, double x) {
    return std::isfinite(x) ? v.isDouble() && v.toDouble() == x : v.isNull();
}
bool samePair(const QJsonValue& v, double x, double y) {
    const QJsonArray a = v.toArray();
    return a.size() == 2 && sameNumber(a[0], x) && sameNumber(a[1], y);
}

// The "iso11146" field: the analysis's numbers exactly, null where it has none.
void compareAnalysis(const QJsonObject& o, const BeamAnalysisResult& r) {
    QVERIFY(r.analysed);
    const QJsonArray background = o.value("background").toArray();
    QCOMPARE(background.size(), 3);
    for (int k = 0; k < 3; ++k)
        QVERIFY(sameNumber(background[k], r.background[k]));
    const char* keys[3] = {"r", "g", "b"};
    for (int c = 0; c < 3; ++c) {
        const QJsonObject j = o.value(keys[c]).toObject();
        const BeamChannelResult& ch = r.channel[c];
        const double nan = std::numeric_limits<double>::quiet_NaN();
        auto n = [&](double v) { return ch.hasNumbers ? v : nan; };
        QVERIFY(samePair(j.value("centroid"), n(ch.centroidX), n(ch.centroidY)));
        QVERIFY(samePair(j.value("d4sigma"), n(ch.d4SigmaX), n(ch.d4SigmaY)));
        QVERIFY(samePair(j.value("fwhmEquivalent"), n(ch.fwhmX), n(ch.fwhmY)));
        QVERIFY(samePair(j.value("principal"), n(ch.major), n(ch.minor)));
        QVERIFY(sameNumber(j.value("azimuth"), n(ch.azimuthDeg)));
        QVERIFY(sameNumber(j.value("ellipticity"), n(ch.ellipticity)));
        QVERIFY(sameNumber(j.value("power"), ch.power ? n(*ch.power) : nan));
        QCOMPARE(j.value("valid").toBool(), ch.valid);
        QCOMPARE(j.value("reason").toString(), ch.reason);
    }
    const QJsonObject al = o.value("alignment").toObject();
    const char* pairs[3] = {"rg", "bg", "rb"};
    for (int i = 0; i < 3; ++i) {
        const auto& a = r.alignment[i];
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QVERIFY(samePair(al.value(pairs[i]), a ? double(a->x) : nan, a ? double(a->y) : nan));
    }
}

// The JSON object the tool must print for a result, built from the in-process result.
void compareJson(const QJsonObject& o, int frame, const FrameResult& r) {
    QCOMPARE(o.value("frame").toInt(), frame);
    QCOMPARE(o.value("stabilised").toBool(), r.stabilised);
    const QJsonObject div = o.value("divergence").toObject();
    QVERIFY2(samePair(div.value("all"), r.pairs[PairAll]), "all");
    QVERIFY2(samePair(div.value("r"), r.pairs[PairRed]), "r");
    QVERIFY2(samePair(div.value("g"), r.pairs[PairGreen]), "g");
    QVERIFY2(samePair(div.value("b"), r.pairs[PairBlue]), "b");
    const QJsonObject al = o.value("alignment").toObject();
    QVERIFY2(samePair(al.value("rg"), r.pairs[PairRG]), "rg");
    QVERIFY2(samePair(al.value("bg"), r.pairs[PairBG]), "bg");
    QVERIFY2(samePair(al.value("rb"), r.pairs[PairRB]), "rb");
    const QJsonObject mx = o.value("maxima").toObject();
    QCOMPARE(mx.value("r").toInt(), r.maxR);
    QCOMPARE(mx.value("g").toInt(), r.maxG);
    QCOMPARE(mx.value("b").toInt(), r.maxB);
    const QJsonObject pw = o.value("power").toObject();
    if (r.power) {
        QCOMPARE(pw.value("r").toDouble(), (*r.power)[0]);
        QCOMPARE(pw.value("g").toDouble(), (*r.power)[1]);
        QCOMPARE(pw.value("b").toDouble(), (*r.power)[2]);
        QCOMPARE(pw.value("total").toDouble(), *r.totalPower);
    } else {
        QVERIFY(pw.value("r").isNull() && pw.value("total").isNull());
    }
    if (r.exposureFactor) {
        QCOMPARE(o.value("exposureFactor").toDouble(), *r.exposureFactor);
    } else {
        QVERIFY(o.value("exposureFactor").isNull());
    }
    const QJsonObject l = o.value("labels").toObject();
    // The published keys of the output and what each says.
    using T = ResultText;
    const std::pair<const char*, T> keys[] = {
        {"divValue", T::DivergenceAll},        {"redDivValue", T::DivergenceRed},
        {"greenDivValue", T::DivergenceGreen}, {"blueDivValue", T::DivergenceBlue},
        {"rgValue", T::AlignmentRG},           {"bgValue", T::AlignmentBG},
        {"rbValue", T::AlignmentRB},           {"maxRValue", T::PeakRed},
        {"maxGValue", T::PeakGreen},           {"maxBValue", T::PeakBlue},
        {"valuePowerRed", T::PowerRed},        {"valuePowerGreen", T::PowerGreen},
        {"valuePowerBlue", T::PowerBlue},      {"valuePowerTotal", T::PowerTotal},
        {"warningLabel", T::ExposureWarning}};
    QCOMPARE(l.size(), 15);
    for (const auto& [key, meaning] : keys)
        QCOMPARE(l.value(QLatin1String(key)).toString(), r.texts.text(meaning));
    compareAnalysis(o.value("iso11146").toObject(), r.analysis);
}

QList<QJsonObject> parseLines(const QString& out) {
    QList<QJsonObject> objects;
    for (const QString& line : out.split('\n', Qt::SkipEmptyParts)) {
        QJsonParseError e;
        const QJsonDocument d = QJsonDocument::fromJson(line.toUtf8(), &e);
        if (e.error != QJsonParseError::NoError || !d.isObject()) {
            qWarning("not a JSON object: %s", qPrintable(line));
            return {};
        }
        objects.append(d.object());
    }
    return objects;
}

} // namespace

class MeasureTool : public QObject {
    Q_OBJECT

    std::unique_ptr<testsupport::TempWorkDir> m_dir;
    QStringList m_frames; // 90 x 70 PNG frames of one scene
    QList<QImage> m_images;

    QString path(const QString& name) const { return m_dir->filePath(name); }

    QString expectBadInput(const QStringList& args, const char* what, rlim_t fileSizeLimit = 0) {
        const Run r = runTool(args, fileSizeLimit);
        checkOneLineFailure(r, what);
        return r.err;
    }

    void checkOneLineFailure(const Run& r, const char* what) {
        QVERIFY2(r.exitCode == 2,
                 qPrintable(QString(what) + ": exit " + QString::number(r.exitCode)));
        QVERIFY2(r.out.isEmpty(), what);
        const QStringList lines = r.err.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(lines.size() == 1, qPrintable(QString(what) + ": " + r.err));
        QVERIFY2(lines.first().startsWith("lumetra-measure: "), what);
    }

private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo::exists(measureToolPath()), qPrintable(measureToolPath()));
        m_dir = std::make_unique<testsupport::TempWorkDir>();
        std::mt19937 rng(11);
        scene::Scene sc;
        sc.spots = {{40, 35, 8, 6, {250, 30, 0}},
                    {44, 33, 5, 7, {10, 180, 20}},
                    {38, 37, 9, 9, {0, 40, 120}}};
        sc.noise = 12;
        for (int f = 0; f < 9; ++f) {
            const QImage img = scene::render(sc, 90, 70, rng, 1.5);
            const QString name = path(QStringLiteral("frame%1.png").arg(f));
            QVERIFY(img.save(name));
            m_frames.append(name);
            m_images.append(img);
        }
    }

    void cleanupTestCase() { m_dir.reset(); }

    void jsonEveryFrameEqualsThePipeline() {
        const Run r = runTool(QStringList{"--format", "json", "--every"} + m_frames);
        QCOMPARE(r.exitCode, 0);
        QVERIFY(r.err.isEmpty());
        const QList<QJsonObject> objects = parseLines(r.out);
        QCOMPARE(objects.size(), m_frames.size());

        FramePipeline pipe;
        for (int i = 0; i < m_images.size(); ++i) {
            FrameInput in;
            in.crop = m_images[i]; // default ROI: the whole frame
            in.stabDepth = 8;
            in.stabCount = std::min(i + 1, 8);
            in.corner = Corner::BR;
            in.unmix = headframes::factoryInverse();
            const FrameResult expected = pipe.process(in);
            compareJson(objects[i], i + 1, expected);
            if (QTest::currentTestFailed()) {
                return;
            }
        }
        QVERIFY(!objects[6].value("stabilised").toBool());
        QCOMPARE(objects[6].value("labels").toObject().value("divValue").toString(),
                 QString("Processing..."));
        QVERIFY(objects[7].value("stabilised").toBool());
        QVERIFY(objects[7].value("divergence").toObject().value("r").toArray()[0].toDouble() > 0);
    }

    void optionsReachThePipeline() {
        const QStringList args{"--format",        "json",
                               "--roi",           "20,10,60,55",
                               "--corner",        "none",
                               "--depth",         "3",
                               "--unmix",         "1.1,-0.2,0,0.1,0.9,-0.05,0,-0.3,1.2",
                               "--power-factors", "12,7.5,3",
                               "--exposure-us",   "2500",
                               "--red-boost",     "3",
                               "--corrected",     path("corr.png")};
        const Run r = runTool(args + m_frames.mid(0, 5));
        QCOMPARE(r.exitCode, 0);
        const QList<QJsonObject> objects = parseLines(r.out);
        QCOMPARE(objects.size(), 1); // only the last frame without --every

        FramePipeline pipe;
        FrameResult last;
        for (int i = 0; i < 5; ++i) {
            FrameInput in;
            in.crop = m_images[i].copy(20, 10, 60, 55);
            in.stabDepth = 3;
            in.stabCount = std::min(i + 1, 3);
            in.corner = std::nullopt;
            in.unmix = {1.1, -0.2, 0, 0.1, 0.9, -0.05, 0, -0.3, 1.2};
            in.powerFactor = {12, 7.5, 3};
            in.exposureUs = 2500;
            in.redBoost = 3;
            last = pipe.process(in);
        }
        compareJson(objects[0], 5, last);
        QVERIFY(last.power.has_value());
        const QImage written(path("corr.png"));
        QCOMPARE(written.convertToFormat(QImage::Format_RGB888), last.correctedImage);
    }

    void textFormatListsTheLabels() {
        QVERIFY(m_images[0].save(path("frame.bmp"), "BMP"));
        const Run r = runTool({"--depth", "1", path("frame.bmp")});
        QCOMPARE(r.exitCode, 0);
        FramePipeline pipe;
        FrameInput in;
        in.crop = m_images[0];
        in.stabDepth = 1;
        in.stabCount = 1;
        in.corner = Corner::BR;
        in.unmix = headframes::factoryInverse();
        const FrameResult e = pipe.process(in);
        QVERIFY(r.out.startsWith("frame 1\n"));
        QVERIFY(r.out.contains("  divValue: " + e.texts.text(ResultText::DivergenceAll) + "\n"));
        QVERIFY(r.out.contains("  maxRValue: " + e.texts.text(ResultText::PeakRed) + "\n"));
        QVERIFY(r.out.contains("  valuePowerTotal: " + *e.texts[ResultText::PowerTotal] + "\n"));
        QVERIFY(r.out.contains("  exposureFactor: "));
        QVERIFY(r.out.contains("\n  iso11146:\n    background: "));
        QVERIFY(r.out.contains("\n    g: ") && r.out.contains("\n    alignment: rg "));
    }

    void calibrationFileGivesTheCornersMatrixAndFactors() {
        // A diagonal colour response (2, 4, 5) in every corner, power factors per corner.
        const QString file = path("_calibration_7.kvtcal");
        {
            QSettings s(file, QSettings::IniFormat);
            const QString wl[3] = {"635", "520", "445"};
            const double diag[3] = {2.0, 4.0, 5.0};
            for (int c = 0; c < 3; ++c) {
                s.beginGroup(wl[c]);
                for (int corner = 0; corner < 4; ++corner) {
                    for (int row = 0; row < 3; ++row) {
                        s.setValue(lumetra::calibration::matrixKey(row, corner),
                                   row == c ? diag[c] : 0.0);
                    }
                }
                s.endGroup();
            }
            s.beginGroup("Power");
            s.setValue("635_TL", 10.0);
            s.setValue("520_TL", 20.0);
            s.setValue("445_TL", 30.0);
            s.setValue("635_TR", 11.0);
            s.setValue("520_TR", 21.0);
            s.setValue("445_TR", 31.0);
            s.endGroup();
        }
        const QStringList frames = m_frames.mid(0, 2);
        const Run viaFile =
            runTool(QStringList{"--format", "json", "--depth", "2", "--corner", "TR",
                                "--calibration", file, "--wavelengths", "635,520,445"} +
                    frames);
        QCOMPARE(viaFile.exitCode, 0);
        const Run direct =
            runTool(QStringList{"--format", "json", "--depth", "2", "--corner", "TR", "--unmix",
                                "0.5,0,0,0,0.25,0,0,0,0.2", "--power-factors", "11,21,31"} +
                    frames);
        QCOMPARE(direct.exitCode, 0);
        QCOMPARE(viaFile.out, direct.out);
        // The TL corner takes its own factors (the others default to TL's).
        const Run tl = runTool(QStringList{"--format", "json", "--depth", "2", "--corner", "TL",
                                           "--calibration", file, "--wavelengths", "635,520,445"} +
                               frames);
        QVERIFY(tl.out != viaFile.out);

        // The beam analysis's own factor and column of the corner, read from their sections
        // (on a round beam in every camera channel, well inside the frame): a factor twice
        // the start value halves its power, and so does a column twice the labels' one.
        QImage spot(120, 120, QImage::Format_RGB888);
        for (int y = 0; y < 120; ++y)
            for (int x = 0; x < 120; ++x) {
                const int v = qRound(
                    150 * std::exp(-((x - 60) * (x - 60) + (y - 60) * (y - 60)) / (2.0 * 64)));
                spot.setPixel(x, y, qRgb(v, v, v));
            }
        const QString spotFile = path("spot.png");
        QVERIFY(spot.save(spotFile));
        const QStringList args{"--format",      "json",        "--depth",       "2",
                               "--corner",      "TR",          "--calibration", file,
                               "--wavelengths", "635,520,445", spotFile,        spotFile};
        const Run before = runTool(args);
        {
            QSettings s(file, QSettings::IniFormat);
            s.setValue("PowerIso11146/635_TR", 58.0);
            for (int row = 0; row < 3; ++row)
                s.setValue("ColumnIso11146/520_" + lumetra::calibration::matrixKey(row, 1),
                           row == 1 ? 8.0 : 0.0);
        }
        const Run own = runTool(args);
        auto power = [](const Run& run, const char* beam) {
            const QJsonObject a = QJsonDocument::fromJson(run.out.toUtf8())
                                      .object()[QStringLiteral("iso11146")]
                                      .toObject()[QLatin1String(beam)]
                                      .toObject();
            return a[QStringLiteral("power")].toDouble(-1);
        };
        for (const char* beam : {"r", "g"}) {
            QVERIFY2(power(before, beam) > 0, qPrintable(before.out));
            QVERIFY(std::abs(power(own, beam) / power(before, beam) - 0.5) < 1e-6);
        }
        QCOMPARE(power(own, "b"), power(before, "b"));

        // Two identical columns: singular in every corner.
        expectBadInput(QStringList{"--calibration", file, "--wavelengths", "635,635,445"} + frames,
                       "singular matrix");
        expectBadInput(QStringList{"--calibration", file, "--wavelengths", "635,520,999"} + frames,
                       "wavelength not in the file");
        expectBadInput(
            QStringList{"--calibration", path("nope.kvtcal"), "--wavelengths", "635,520,445"} +
                frames,
            "missing calibration file");
        expectBadInput(QStringList{"--calibration", file} + frames, "wavelengths missing");
        expectBadInput(QStringList{"--calibration", file, "--wavelengths", "635,520,445", "--unmix",
                                   "1,0,0,0,1,0,0,0,1"} +
                           frames,
                       "calibration with unmix");
    }

    void handEditedAndFaultyCalibrationFiles() {
        // The tool reads what the window reads: hand edits give the same results, silently;
        // what the window says in a box is a warning line of a run that still succeeds.
        const QString file = path("_calibration_12.kvtcal");
        const QStringList args = {"--format",      "json",     "--depth",       "2",
                                  "--calibration", file,       "--wavelengths", "635,520,445",
                                  m_frames[0],     m_frames[1]};
        auto runOn = [&](const QByteArray& bytes) {
            caltest::writeRaw(file, bytes);
            return runTool(args);
        };
        const Run good = runOn(caltest::goodFile());
        QVERIFY(good.exitCode == 0 && good.err.isEmpty());
        for (const auto& [name, bytes] : caltest::handEdits()) {
            const Run r = runOn(bytes);
            QVERIFY2(r.exitCode == 0 && r.err.isEmpty() && r.out == good.out, name);
        }
        const Run section = runOn(caltest::goodFile() + "[635/x]\nM0x_TL=0.5\n");
        QCOMPARE(section.out, good.out);
        QVERIFY2(section.err.startsWith("lumetra-measure: warning: ") &&
                     section.err.contains("[635/x]") && section.err.count('\n') == 1,
                 qPrintable(section.err));
        // A zero factor is no factor: the start value, not an infinite power.
        const Run zero = runOn(QByteArray(caltest::goodFile()).replace("445_BR=41.5", "445_BR=0"));
        QVERIFY(zero.exitCode == 0 && zero.err.contains("445_BR"));
        auto blue = [](const Run& r) {
            return parseLines(r.out).value(0)["power"].toObject()["b"].toDouble();
        };
        QVERIFY(blue(good) > 0);
        QCOMPARE(blue(zero) * 43.0, blue(good) * 41.5);
        // Nearly equal columns are refused like equal ones; a file over the cap is not read.
        expectBadInput(QStringList(args).replaceInStrings("635,520,445", "520,520,520"),
                       "nearly singular matrix");
        QVERIFY(runOn(QByteArray(3 << 20, '\n')).err.contains("is larger than 2 MB"));
    }

    // Whatever stops the write, the named file is complete or absent, with exit 2 and one
    // line; an input is never overwritten; the suffix decides the format.
    void correctedOutputIsCompleteOrAbsent() {
        const QString f0 = m_frames[0];
        QDir out(path("out"));
        QVERIFY(out.mkpath("."));
        const auto entries = [&] {
            return out.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        };

        expectBadInput({"--corrected", out.filePath("full.png"), f0}, "file-size limit png", 100);
        expectBadInput({"--corrected", out.filePath("full.bmp"), f0}, "file-size limit bmp", 100);
        QCOMPARE(entries(), QStringList());

        expectBadInput({"--corrected", "/dev/full", f0}, "device as output");
        QVERIFY(QFile::link("/dev/full", out.filePath("link.png")));
        expectBadInput({"--corrected", out.filePath("link.png"), f0}, "link to a device");
        QCOMPARE(entries(), QStringList{"link.png"});
        QVERIFY(out.remove("link.png"));

        QFile input(f0);
        QVERIFY(input.open(QIODevice::ReadOnly));
        const QByteArray before = input.readAll();
        input.close();
        const QString sameFrame = QFileInfo(f0).path() + "/out/../" + QFileInfo(f0).fileName();
        expectBadInput({"--corrected", sameFrame, f0, m_frames[1]}, "output is an input");
        QVERIFY(input.open(QIODevice::ReadOnly));
        QCOMPARE(input.readAll(), before);

        expectBadInput({"--corrected", out.filePath("corr.txt"), f0}, "unknown suffix");
        expectBadInput({"--corrected", out.filePath("corr"), f0}, "no suffix");
        QCOMPARE(entries(), QStringList());

        QImage first; // the same pixels in every lossless format
        for (const char* format : {"bmp", "ppm", "png"}) {
            const QString name = out.filePath(QStringLiteral("corr.") + format);
            QCOMPARE(runTool({"--corrected", name, f0}).exitCode, 0);
            QImageReader reader(name);
            reader.setDecideFormatFromContent(true);
            QCOMPARE(reader.format(), QByteArray(format));
            const QImage image = reader.read().convertToFormat(QImage::Format_RGB888);
            QVERIFY(!image.isNull());
            if (first.isNull())
                first = image;
            QCOMPARE(image, first);
        }
    }

    // Refused without hanging and with what the name really is; a decoder's own complaint
    // is folded into the one line.
    void framesThatAreNotImageFiles() {
        QVERIFY(QDir().mkpath(path("dir.png")));
        QVERIFY(expectBadInput({path("dir.png")}, "folder").contains(": it is a folder"));
        QCOMPARE(mkfifo(QFile::encodeName(path("pipe.png")).constData(), 0600), 0);
        QVERIFY(expectBadInput({path("pipe.png")}, "named pipe").contains("not a regular file"));
        QVERIFY(expectBadInput({"/dev/zero"}, "device").contains("not a regular file"));

        QFile good(m_frames[0]);
        QVERIFY(good.open(QIODevice::ReadOnly));
        QByteArray damaged = good.readAll();
        const qsizetype idat = damaged.indexOf("IDAT");
        QVERIFY(idat > 0);
        damaged[idat + 12] = char(damaged[idat + 12] ^ 0x5a); // breaks the chunk's CRC
        QVERIFY(testsupport::writeTextFile(path("damaged.png"), damaged));
        expectBadInput({path("damaged.png")}, "damaged png");
    }

    void badInputs() {
        const QString f0 = m_frames[0];
        QFile text(path("notes.txt"));
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("not an image\n");
        text.close();
        QVERIFY(m_images[0].copy(0, 0, 80, 70).save(path("small.png")));
        QImage ten(10, 40, QImage::Format_RGB888);
        ten.fill(Qt::black);
        QVERIFY(ten.save(path("ten.png")));

        expectBadInput({}, "no arguments");
        expectBadInput({"--depth", "8"}, "no frame");
        expectBadInput({path("missing.png")}, "missing file");
        expectBadInput({path("notes.txt")}, "not an image");
        expectBadInput({f0, path("small.png")}, "different sizes");
        expectBadInput({f0, m_frames[1], path("notes.txt")}, "bad frame after good ones");
        expectBadInput({"--roi", "50,40,41,20", f0}, "ROI right of the frame");
        expectBadInput({"--roi", "-1,0,20,20", f0}, "negative ROI");
        expectBadInput({"--roi", "0,0,1201,20", f0}, "ROI wider than 1200");
        expectBadInput({"--roi", "2147483600,0,100,20", f0}, "ROI far outside");
        expectBadInput({"--roi", "0,0,0,20", f0}, "ROI of zero width");
        expectBadInput({"--roi", "0,0,10,20", f0}, "ROI of 10 pixels");
        expectBadInput({"--roi", "1,2,3", f0}, "three ROI numbers");
        expectBadInput({"--roi", "1,2,a,4", f0}, "ROI not a number");
        expectBadInput({path("ten.png")}, "frame of 10 pixels");
        expectBadInput({"--depth", "0", f0}, "depth 0");
        expectBadInput({"--depth", "11", f0}, "depth 11");
        expectBadInput({"--depth", "8x", f0}, "depth malformed");
        expectBadInput({"--unmix", "1,0,0,0,1,0,0,0", f0}, "eight coefficients");
        expectBadInput({"--unmix", "1,0,0,0,1,0,0,0,nan", f0}, "nan coefficient");
        expectBadInput({"--power-factors", "1,2", f0}, "two factors");
        expectBadInput({"--power-factors", "1,0,2", f0}, "zero factor");
        expectBadInput({"--power-factors", "1,1e-320,2", f0}, "denormal factor");
        expectBadInput({"--power-factors", "1,-3,2", f0}, "negative factor");
        expectBadInput({"--power-factors", "1,inf,2", f0}, "infinite factor");
        expectBadInput({"--unmix", "1,0,0,0,1e308,0,0,0,1", f0}, "huge coefficient");
        expectBadInput({"--exposure-us", "1e-300", f0}, "vanishing exposure");
        expectBadInput({"--exposure-us", "0", f0}, "zero exposure");
        expectBadInput({"--exposure-us", "1e300", f0}, "huge exposure");
        expectBadInput({"--exposure-us", "-5", f0}, "negative exposure");
        expectBadInput({"--exposure-us", "1e", f0}, "malformed exposure");
        expectBadInput({"--red-boost", "5", f0}, "red boost 5");
        expectBadInput({"--corner", "XX", f0}, "bad corner");
        expectBadInput({"--format", "xml", f0}, "bad format");
        expectBadInput({"--frobnicate", f0}, "unknown option");
        expectBadInput({f0, "--depth"}, "option without value");
        expectBadInput({"--corrected", path("no/such/dir/out.png"), f0}, "unwritable output");
    }
};

QTEST_GUILESS_MAIN(MeasureTool)
#include "tst_measure_tool.moc"
