// lumetra-measure --live run as a process on the simulated head in a temporary working
// directory: its summary against the head's truth, the exit status of every way a run can
// end (camera unknown or lost, no beam, a signal), and one stderr line for each bad input.

#include "E2eKit.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <csignal>
#include <functional>

namespace {

using Run = testsupport::ToolRun;

// `during`, when given, runs once the process has started and may signal it.
Run runTool(const QStringList& args, const std::function<void(QProcess&)>& during = {}) {
    return testsupport::runMeasureTool(args, {}, during);
}

QJsonObject lastObject(const QString& out) {
    return QJsonDocument::fromJson(out.trimmed().split(QLatin1Char('\n')).last().toUtf8()).object();
}

bool oneLine(const Run& r) {
    return r.out.isEmpty() && r.err.endsWith(QLatin1Char('\n')) &&
           r.err.count(QLatin1Char('\n')) == 1;
}

} // namespace

class TstMeasureLive : public QObject {
    Q_OBJECT
private slots:
    // The demo head with every default (Auto ROI, automatic exposure): the summary of five
    // frames agrees with the head within the window's end-to-end bounds, every frame. Red at
    // 2 W keeps its peak well above a quarter of full scale, where those bounds hold.
    void summaryAgreesWithTheHead() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        e2e::setHeadKeys({{QStringLiteral("R_power"), 2.0}});
        const Run r = runTool({"--live", "--frames", "5", "--format", "json"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        QCOMPARE(r.out.count(QLatin1Char('\n')), 1);
        const QJsonObject o = lastObject(r.out);
        for (const char* field :
             {"frame", "divergence", "alignment", "power", "labels", "iso11146"})
            QVERIFY2(o.contains(QLatin1String(field)), field);
        const QJsonObject sum = o[QStringLiteral("summary")].toObject();
        QCOMPARE(sum[QStringLiteral("frames")].toInt(), 5);
        QCOMPARE(o[QStringLiteral("camera")].toObject()[QStringLiteral("serial")].toString(),
                 QStringLiteral("40400001"));

        const auto head = e2e::readHead();
        const char* ch[3] = {"r", "g", "b"};
        for (int c = 0; c < 3; ++c) {
            const QJsonObject d =
                sum[QStringLiteral("divergence")][QLatin1String(ch[c])].toObject();
            const double truth[2] = {head.beams[c].divergenceX, head.beams[c].divergenceY};
            for (int a = 0; a < 2; ++a) {
                const QJsonObject s = d[a ? QStringLiteral("y") : QStringLiteral("x")].toObject();
                QVERIFY2(s[QStringLiteral("min")].toDouble() > truth[a] - 0.045 &&
                             s[QStringLiteral("max")].toDouble() <= truth[a] - 0.015,
                         qPrintable(QJsonDocument(d).toJson(QJsonDocument::Compact)));
            }
            const QJsonObject p = sum[QStringLiteral("power")][QLatin1String(ch[c])].toObject();
            QVERIFY(std::abs(p[QStringLiteral("mean")].toDouble() - head.beams[c].power) <=
                    0.03 * head.beams[c].power);
        }
        const QJsonObject rg = sum[QStringLiteral("alignment")][QStringLiteral("rg")].toObject();
        QVERIFY(std::abs(rg[QStringLiteral("x")][QStringLiteral("mean")].toDouble() -
                         (head.beams[0].offsetX - head.beams[1].offsetX)) <= 0.02 + 1e-9);
        QVERIFY(std::abs(rg[QStringLiteral("y")][QStringLiteral("mean")].toDouble() -
                         (head.beams[0].offsetY - head.beams[1].offsetY)) <= 0.02 + 1e-9);
    }

    // A green power ripple of 5 % over 1 s, one frame deep so the stabiliser keeps it: its
    // stability figure is the ripple's RMS (5 / sqrt 2 %); red, steady, stays near zero.
    // Limits the head meets pass, one it violates fails by name; the recording holds one
    // row per measured frame.
    void stabilityLimitsAndRecording() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        e2e::setHeadKeys({{QStringLiteral("R_power"), 2.0}, {QStringLiteral("G_ripple"), "5,1"}});
        const auto writeLimits = [](const QByteArray& text) {
            QFile f(QStringLiteral("limits.ini"));
            return f.open(QIODevice::WriteOnly) && f.write("[Tolerances]\n" + text) > 0;
        };
        QVERIFY(writeLimits("powerR_min=1.9\npowerR_max=2.1\n"));
        Run r = runTool({"--live", "--seconds", "2", "--depth", "1", "--exposure-us", "15000",
                         "--limits", "limits.ini", "--record", "run.csv", "--format", "json"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QJsonObject sum = lastObject(r.out)[QStringLiteral("summary")].toObject();
        QVERIFY(sum[QStringLiteral("limits")][QStringLiteral("pass")].toBool());
        const QJsonObject power =
            sum[QStringLiteral("stability")][QStringLiteral("power")].toObject();
        const double rippleRms =
            power[QStringLiteral("g")][QStringLiteral("rmsPercent")].toDouble();
        QVERIFY2(std::abs(rippleRms - 5 / std::sqrt(2.0)) < 0.35,
                 qPrintable(QString::number(rippleRms)));
        QVERIFY(power[QStringLiteral("r")][QStringLiteral("rmsPercent")].toDouble() < 0.3);
        QFile csv(QStringLiteral("run.csv"));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(csv.readAll().count('\n'), sum[QStringLiteral("frames")].toInt() + 1);

        QVERIFY(writeLimits("powerR_min=1.9\npowerR_max=2.1\ndivergenceGX_max=0.3\n"));
        r = runTool({"--live", "--exposure-us", "15000", "--limits", "limits.ini"});
        QCOMPARE(r.exitCode, 1);
        QVERIFY2(r.err.contains(QStringLiteral("divergence G x")) &&
                     !r.err.contains(QStringLiteral("power R")),
                 qPrintable(r.err));
    }

    void cameraTroubleAndNoBeam() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        Run r = runTool({"--live", "--camera", "123"});
        QCOMPARE(r.exitCode, 3);
        QVERIFY2(oneLine(r) && r.err.contains(QStringLiteral("123")), qPrintable(r.err));

        // Unplugged mid-run: the frames measured so far and their summary are printed.
        e2e::setHeadKeys({{QStringLiteral("unplugAfter"), 40}});
        r = runTool({"--live", "--frames", "100000", "--exposure-us", "15000", "--every",
                     "--format", "json"});
        QCOMPARE(r.exitCode, 3);
        QVERIFY(r.err.contains(QStringLiteral("camera lost")));
        const QStringList lines = r.out.trimmed().split(QLatin1Char('\n'));
        QVERIFY(lines.size() >= 2);
        QCOMPARE(lastObject(r.out)[QStringLiteral("summary")][QStringLiteral("frames")].toInt(),
                 lines.size() - 1);

        e2e::setHeadKeys({{QStringLiteral("unplugAfter"), 0},
                          {QStringLiteral("R_power"), 0},
                          {QStringLiteral("G_power"), 0},
                          {QStringLiteral("B_power"), 0}});
        r = runTool({"--live", "--exposure-us", "5000"});
        QCOMPARE(r.exitCode, 4);
        QVERIFY2(oneLine(r) && r.err.contains(QStringLiteral("no beam")), qPrintable(r.err));
    }

    void signalsEndWithTheSummary() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        for (const int sig : {SIGINT, SIGTERM}) {
            const Run r = runTool({"--live", "--seconds", "1000", "--exposure-us", "15000",
                                   "--every", "--format", "csv"},
                                  [sig](QProcess& p) {
                                      // Header and two frames measured.
                                      QByteArray seen;
                                      while (seen.count('\n') < 3 && p.waitForReadyRead(20000))
                                          seen += p.readAllStandardOutput();
                                      ::kill(pid_t(p.processId()), sig);
                                  });
            QCOMPARE(r.exitCode, sig == SIGINT ? 130 : 143);
            QVERIFY(r.out.contains(QStringLiteral("quantity,unit,frames,mean,std,min,max")));
            QVERIFY(r.out.contains(QStringLiteral("power.total,W,")));
        }
    }

    void badInputGivesOneLine() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        const QList<QStringList> bad = {
            {"--frames", "0"},
            {"--frames", "x"},
            {"--seconds", "-1"},
            {"--seconds", "nan"},
            {"--roi", "1,2,3"},
            {"--roi", "0,0,5,5"},
            {"--roi", "a,0,100,100"},
            {"--roi", "1800,1100,500,500"},
            {"--corner", "XX"},
            {"--depth", "11"},
            {"--exposure-us", "5"},
            {"--exposure-us", "1e9"},
            {"--format", "xml"},
            {"--wavelengths", "635,520"},
            {"--wavelengths", "999,520,445"},
            {"--frames", "2", "--seconds", "1"},
            {"--roi", "10,10,100,100", "--auto-roi"},
            {"--exposure-us", "1000", "--auto-exposure"},
            {"--bogus"},
            {"--camera"},
            {"--limits", "missing.ini"},
            {"--record", "/proc/lumetra-run.csv"},
            {"--every=1"},
            {"frame.png"},
            {"--simulated", "missing.ini"},
            {"--calibration", "missing.kvtcal"},
        };
        for (QStringList args : bad) {
            args.prepend(QStringLiteral("--live"));
            const Run r = runTool(args);
            QVERIFY2(
                r.exitCode == 2 && oneLine(r),
                qPrintable(args.join(' ') + QStringLiteral(" -> %1: ").arg(r.exitCode) + r.err));
        }
    }
};

QTEST_GUILESS_MAIN(TstMeasureLive)
#include "tst_measure_live.moc"
