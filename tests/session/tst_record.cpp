// Recording and its figures: a drifting, rippling simulated head recorded at full rate
// gives every frame as one complete row, read back by a strict parser, and stability
// figures within 5 % of the drift and ripple it was given; faults stop the recording once
// and leave only complete rows; tolerances survive their file and judge the boundaries.

#include "E2eKit.h"
#include "MeasureSession.h"
#include "Recorder.h"
#include "ReportPdf.h"
#include "Stability.h"
#include "ToleranceValues.h"
#include "Tolerances.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <sys/resource.h>

using namespace lumetra::session;
namespace ms = lumetra::measure;
namespace tol = lumetra::tolerances;

namespace {

const QRect kRoi(740, 520, 440, 480);

// The session test's three beams, the red one drifting and the green one rippling.
constexpr double kDriftX = 1.2, kDriftY = -0.6; // mrad per minute
constexpr double kRipple = 4.0, kPeriod = 0.4;  // percent, seconds

void prepareHead(const QVariantMap& extra = {}) {
    QVariantMap k = e2e::threeBeams();
    k.insert(extra);
    e2e::setHeadKeys(k);
    e2e::storeSettings({{QStringLiteral("expo"), 2000.0}, {QStringLiteral("rect"), kRoi}});
}

// RFC 4180 fields of one line; false on a stray quote.
bool splitCsv(const QString& line, QStringList& out) {
    out.clear();
    QString cell;
    bool quoted = false, wasQuoted = false;
    for (int i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < line.size() && line[i + 1] == QLatin1Char('"'))
                cell += c, ++i;
            else if (c == QLatin1Char('"'))
                quoted = false;
            else
                cell += c;
        } else if (c == QLatin1Char(',')) {
            out << cell, cell.clear(), wasQuoted = false;
        } else if (c == QLatin1Char('"') && cell.isEmpty() && !wasQuoted) {
            quoted = wasQuoted = true;
        } else if (c == QLatin1Char('"')) {
            return false;
        } else {
            cell += c;
        }
    }
    out << cell;
    return !quoted;
}

// The file's rows after the header, each checked: as many cells as columns, a number
// where the header gives a unit, frames consecutive, the time ISO 8601 with milliseconds.
QList<QStringList> readStrict(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray all = f.readAll();
    if (!all.endsWith('\n')) {
        qWarning("file ends in half a row");
        return {};
    }
    const QStringList lines = QString::fromUtf8(all).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList header;
    if (lines.isEmpty() || !splitCsv(lines[0], header) || header != Recorder::columns())
        return {};
    static const QRegularExpression number(QStringLiteral("^-?[0-9]+(\\.[0-9]+)?(e[-+][0-9]+)?$"));
    static const QRegularExpression time(QStringLiteral(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}(Z|[+-]\\d\\d:\\d\\d)$"));
    QList<QStringList> rows;
    for (int i = 1; i < lines.size(); ++i) {
        QStringList cells;
        if (!splitCsv(lines[i], cells) || cells.size() != header.size() ||
            !time.match(cells[0]).hasMatch()) {
            qWarning("bad row %d: %s", i, qPrintable(lines[i]));
            return {};
        }
        for (int c = 1; c < cells.size(); ++c) {
            const bool numeric = header[c].endsWith(QLatin1Char(')')) || header[c] == "frame" ||
                                 header[c].startsWith("stabiliser") ||
                                 header[c].endsWith("ellipticity");
            if (numeric && !cells[c].isEmpty() && !number.match(cells[c]).hasMatch()) {
                qWarning("row %d, %s: %s", i, qPrintable(header[c]), qPrintable(cells[c]));
                return {};
            }
        }
        if (!rows.isEmpty() && cells[2].toULongLong() != rows.last()[2].toULongLong() + 1) {
            qWarning("frame lost before row %d", i);
            return {};
        }
        rows << cells;
    }
    return rows;
}

// A synthetic report whose row is long enough to fill a small file quickly.
ReportPtr fakeReport(quint64 seq) {
    auto r = std::make_shared<FrameReport>();
    r->sequence = seq;
    r->time = QDateTime::currentDateTime();
    r->cameraSerial = QStringLiteral("40400001");
    r->stabDepth = 1;
    r->stabCount = 1;
    return r;
}

} // namespace

class TstRecord : public QObject {
    Q_OBJECT
private slots:
    void driftingHeadRecordedWithItsFigures() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        // A slow build records fewer frames a second, so for longer: the drift slows with it
        // to keep the beams inside the region, and the ripple's period grows.
        const double slow = testsupport::timeScale();
        const double driftX = kDriftX / slow, driftY = kDriftY / slow;
        const QString driftKey = QStringLiteral("%1,%2").arg(driftX).arg(driftY);
        prepareHead({{QStringLiteral("R_drift"), driftKey},
                     {QStringLiteral("G_ripple"),
                      QStringLiteral("%1,%2").arg(kRipple).arg(kPeriod * slow)}});
        MeasureSession s;
        QList<ReportPtr> reports;
        connect(&s, &MeasureSession::frameMeasured, &s, [&](ReportPtr r) { reports.append(r); });
        Recorder rec;
        rec.attach(&s);
        QSignalSpy failed(&rec, &Recorder::failed);
        // Every frame its own: the stabiliser's maximum would hide a ripple.
        QVERIFY(e2e::openSessionOnHead(s, 1));
        const QString file = dir.filePath(QStringLiteral("recordings/run.csv"));
        QCOMPARE(s.startStreaming(), 0);
        QVERIFY(testsupport::waitUntil([&] { return !reports.isEmpty(); }, 20000));
        QLocale::setDefault(QLocale(QLocale::German)); // decimals stay '.' in the file
        QVERIFY(rec.start(file, QStringLiteral("unit \"7\", left")));
        const qsizetype before = reports.size();
        // Some 15 ripple periods and enough frames for the figures, also in slow builds.
        QTest::qWait(6000);
        QVERIFY(testsupport::waitUntil([&] { return rec.rows() >= 150; }, 60000));
        s.stopStreaming();
        rec.stop();
        QLocale::setDefault(QLocale::c());
        QCoreApplication::processEvents();
        QCOMPARE(failed.size(), 0);

        const QList<QStringList> rows = readStrict(file);
        QVERIFY(rows.size() >= 150);
        QCOMPARE(quint64(rows.size()), rec.rows());
        // Every frame measured while recording is a row, in order, and none measured before
        // the start (reports received before it were). Reports measured before the start may
        // still be on their way to this thread then, so where the rows begin among the
        // reports received later is not known.
        QVERIFY(rows.last()[2].toULongLong() == reports.last()->sequence);
        for (qsizetype i = 1; i < rows.size(); ++i)
            QCOMPARE(rows[i][2].toULongLong(), rows[i - 1][2].toULongLong() + 1);
        QVERIFY(before > 0 && rows.first()[2].toULongLong() > reports[before - 1]->sequence);
        QCOMPARE(rows.first()[3], QStringLiteral("unit \"7\", left"));

        // What the head was given, over the times the frames were taken.
        const ms::StabilityFigures f = rec.stability();
        QCOMPARE(f.frames, rows.size());
        double mt = 0, mt2 = 0;
        for (const QStringList& r : rows)
            mt += r[1].toDouble(), mt2 += r[1].toDouble() * r[1].toDouble();
        const double sigmaT = std::sqrt(mt2 / rows.size() - std::pow(mt / rows.size(), 2));
        // The frames' times are when they reached the session, not when they were taken: a
        // sanitizer build's uneven latency and few frames a second widen the bound.
        const double tolerance = slow > 1 ? 0.2 : 0.05;
        const double wantX = 2 * std::abs(driftX) / 60.0 * sigmaT * 1000; // urad
        const double wantY = 2 * std::abs(driftY) / 60.0 * sigmaT * 1000;
        QVERIFY2(
            std::abs(f.pointing[0].twoSigmaX - wantX) <= tolerance * wantX,
            qPrintable(QString::number(f.pointing[0].twoSigmaX) + " vs " + QString::number(wantX)));
        QVERIFY(std::abs(f.pointing[0].twoSigmaY - wantY) <= tolerance * wantY);
        QVERIFY(f.pointing[1].twoSigmaX < 0.05 * wantX); // the green beam stays put
        // The alignment of red to green drifts as the red beam does.
        QVERIFY(std::abs(f.alignment[0].twoSigmaX - wantX) <= tolerance * wantX);
        QVERIFY(f.alignment[1].rangeX < 0.1 * wantX);
        // A sine of amplitude a: RMS a / sqrt(2), peak to peak 2 a.
        QVERIFY2(std::abs(f.power[1].rmsPercent - kRipple / std::sqrt(2.0)) <=
                     tolerance * kRipple / std::sqrt(2.0),
                 qPrintable(QString::number(f.power[1].rmsPercent)));
        QVERIFY2(std::abs(f.power[1].peakToPeakPercent - 2 * kRipple) <= tolerance * 2 * kRipple,
                 qPrintable(QString::number(f.power[1].peakToPeakPercent)));
        QVERIFY(f.power[0].rmsPercent < 0.05 * kRipple / std::sqrt(2.0));

        // The report of the last frame: one page holding the serial, the values and the
        // verdict against limits the green ripple breaks.
        ReportContent content;
        content.when = QDateTime(QDate(2026, 12, 8), QTime(9, 5, 7));
        content.serial = reports.last()->cameraSerial;
        content.unit = QStringLiteral("LM-7");
        content.frame = reports.last();
        content.stability = f;
        content.limits.setLimit(tol::Quantity::PowerGreen, {4.0, 5.01});
        content.limits.setLimit(tol::Quantity::PowerRed, {29.0, 31.0});
        const QString pdf =
            dir.filePath(defaultReportName(content.serial, content.unit, content.when));
        QString error;
        QVERIFY2(writeReport(content, pdf, &error), qPrintable(error));
        QVERIFY(pdf.endsWith(QStringLiteral("40400001_LM-7_20261208_090507.pdf")));
        QProcess info;
        info.start(QStringLiteral("pdfinfo"), {pdf});
        QVERIFY(info.waitForFinished(20000));
        QVERIFY(info.readAllStandardOutput().contains("Pages:           1\n"));
        QProcess text;
        text.start(QStringLiteral("pdftotext"),
                   {QStringLiteral("-layout"), pdf, QStringLiteral("-")});
        QVERIFY(text.waitForFinished(20000));
        const QString page = QString::fromUtf8(text.readAllStandardOutput()).simplified();
        const ms::FrameResult& last = reports.last()->result;
        const QString greenPower = last.texts.text(ms::ResultText::PowerGreen);
        // The verdict weighs the measured power, not its text: 5.012 W shows as "5.01 W"
        // and is above the limit.
        const bool greenHigh = last.power && (*last.power)[1] > 5.01;
        for (const QString& want :
             {content.serial, content.unit, last.texts.text(ms::ResultText::DivergenceRed),
              last.texts.text(ms::ResultText::AlignmentRG), greenPower,
              greenHigh ? QStringLiteral("FAIL: power G") : QStringLiteral("PASS (2 of 2")})
            QVERIFY2(page.contains(want), qPrintable(want + " not in: " + page));
        // The CSV beside it: the same values, one per line, the verdict among them.
        QFile csv(QString(pdf).replace(QStringLiteral(".pdf"), QStringLiteral(".csv")));
        QVERIFY(csv.open(QIODevice::ReadOnly));
        const QStringList csvLines =
            QString::fromUtf8(csv.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(csvLines.value(0), QStringLiteral("section,quantity,value,unit"));
        QVERIFY(csvLines.contains(QStringLiteral("Values,Power G,") + greenPower + ','));
        QVERIFY(std::any_of(csvLines.begin(), csvLines.end(), [](const QString& l) {
            return l.startsWith(QStringLiteral("Tolerances,Verdict,"));
        }));
        if (qEnvironmentVariableIsSet("LUMETRA_KEEP_REPORT"))
            QFile::copy(pdf, qEnvironmentVariable("LUMETRA_KEEP_REPORT"));
    }

    void rollingWindowsForgetTheirPast() {
        // 90 s of a beam standing still, then 10 s drifting: the 10 s window sees only the
        // drift, the whole run the drift diluted by the still part.
        ms::RollingStability w(10.0);
        ms::StabilityStats total;
        // The drift runs at an angle none of the kept directions has.
        const QPointF dir(std::cos(0.3), std::sin(0.3));
        for (int i = 0; i < 10000; ++i) {
            ms::StabilitySample s;
            s.seconds = i * 0.01;
            s.centroid[0] = dir * (s.seconds < 90 ? 0.0 : (s.seconds - 90) * 0.01);
            s.power[0] = 1.0;
            w.add(s);
            total.add(s);
        }
        const double drift10 = 2 * 0.01 * (10.0 / std::sqrt(12.0)) * 1000; // urad
        const ms::PointingStability p = w.figures().pointing[0];
        QVERIFY(std::abs(std::hypot(p.twoSigmaX, p.twoSigmaY) - drift10) < 0.05 * drift10);
        // Both ends of the drift lie 50 urad from the mean.
        QVERIFY2(std::abs(p.maxDistance - 50.0) < 0.01 * 50.0,
                 qPrintable(QString::number(p.maxDistance)));
        QVERIFY(total.figures().pointing[0].twoSigmaX < 0.8 * drift10 * dir.x());
        QCOMPARE(total.figures().frames, 10000);
        // After a pause longer than the window, it holds only what came since.
        ms::StabilitySample later;
        later.seconds = 200;
        later.power[0] = 2.0;
        w.add(later);
        QCOMPARE(w.figures().frames, 1);
        QCOMPARE(w.figures().power[0].mean, 2.0);
    }

    void faultsStopOnceLeavingCompleteRows() {
        testsupport::TempWorkDir dir;
        // A folder made read-only, a file that reaches the size limit: one failure each,
        // and the file ends with its last complete row.
        for (int fault = 0; fault < 2; ++fault) {
            const QString folder = dir.filePath(QStringLiteral("rec%1").arg(fault));
            const QString file = folder + QStringLiteral("/f.csv");
            Recorder rec;
            QSignalSpy failed(&rec, &Recorder::failed);
            QVERIFY(rec.start(file));
            for (quint64 i = 1; i <= 50; ++i)
                rec.addReport(fakeReport(i));
            QVERIFY(testsupport::waitUntil([&] { return QFileInfo(file).size() > 5000; }));
            rlimit old{};
            getrlimit(RLIMIT_FSIZE, &old);
            if (fault == 0) {
                QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
            } else {
                rlimit small = old;
                small.rlim_cur = rlim_t(QFileInfo(file).size() + 3000);
                setrlimit(RLIMIT_FSIZE, &small);
            }
            for (quint64 i = 51; i <= 400; ++i)
                rec.addReport(fakeReport(i));
            const bool stopped = failed.wait(5000);
            setrlimit(RLIMIT_FSIZE, &old);
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            QVERIFY(stopped);
            QVERIFY(!rec.isRecording());
            for (quint64 i = 401; i <= 410; ++i)
                rec.addReport(fakeReport(i)); // ignored once stopped
            QTest::qWait(600);
            QCOMPARE(failed.size(), 1);
            const QList<QStringList> rows = readStrict(file);
            QVERIFY2(rows.size() >= 50 && rows.size() < 400,
                     qPrintable(QString::number(rows.size())));
        }
        // The folder removed: one failure.
        Recorder rec;
        QSignalSpy failed(&rec, &Recorder::failed);
        const QString folder = dir.filePath(QStringLiteral("gone"));
        QVERIFY(rec.start(folder + QStringLiteral("/f.csv")));
        QVERIFY(QDir(folder).removeRecursively());
        rec.addReport(fakeReport(1));
        QVERIFY(failed.wait(5000));
        QTest::qWait(600);
        QCOMPARE(failed.size(), 1);
    }

    void aLostCameraStopsTheRecording() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        prepareHead({{QStringLiteral("unplugAfter"), 12}});
        MeasureSession s;
        Recorder rec;
        rec.attach(&s);
        QSignalSpy failed(&rec, &Recorder::failed);
        // Every frame its own: the stabiliser's maximum would hide a ripple.
        QVERIFY(e2e::openSessionOnHead(s, 1));
        const QString file = dir.filePath(QStringLiteral("lost.csv"));
        QVERIFY(rec.start(file));
        QCOMPARE(s.startStreaming(), 0);
        QVERIFY(failed.wait(20000));
        QTest::qWait(300);
        QCOMPARE(failed.size(), 1);
        QVERIFY(!rec.isRecording());
        const QList<QStringList> rows = readStrict(file);
        QVERIFY(!rows.isEmpty() && rows.size() <= 12);
        QCOMPARE(quint64(rows.size()), rec.rows());
    }

    void tolerancesKeepTheirLimitsAndJudgeBoundaries() {
        testsupport::TempWorkDir dir;
        tol::Tolerances t;
        t.setLimit(tol::Quantity::PowerRed, {0.5, 1.5});
        t.setLimit(tol::Quantity::AlignmentRGX, {std::nullopt, 0.05});
        t.setLimit(tol::Quantity::EllipticityBlue, {0.87, std::nullopt});
        QLocale::setDefault(QLocale(QLocale::French)); // ',' decimals must not reach the file
        t.store();
        QLocale::setDefault(QLocale::c());
        const tol::Tolerances back = tol::Tolerances::stored();
        for (int i = 0; i < tol::kQuantityCount; ++i) {
            QCOMPARE(back.limit(tol::Quantity(i)).lower, t.limit(tol::Quantity(i)).lower);
            QCOMPARE(back.limit(tol::Quantity(i)).upper, t.limit(tol::Quantity(i)).upper);
        }
        // The same section read as a separate file; damaged entries are named, not used.
        QFile::copy(QStringLiteral("basini.ini"), QStringLiteral("limits.ini"));
        QSettings extra(QStringLiteral("limits.ini"), QSettings::IniFormat);
        extra.setValue(QStringLiteral("Tolerances/powerG_min"), QStringLiteral("abc"));
        extra.setValue(QStringLiteral("Tolerances/powerB_min"), 2.0);
        extra.setValue(QStringLiteral("Tolerances/powerB_max"), 1.0);
        extra.sync();
        QStringList problems;
        const auto file =
            tol::Tolerances::fromFile(QStringLiteral("limits.ini"), &problems, nullptr);
        QVERIFY(file);
        QCOMPARE(problems.size(), 2);
        QVERIFY(!file->limit(tol::Quantity::PowerGreen).any());
        QVERIFY(!file->limit(tol::Quantity::PowerBlue).any());
        QCOMPARE(file->limit(tol::Quantity::PowerRed).upper, 1.5);
        QVERIFY(!tol::Tolerances::fromFile(QStringLiteral("missing.ini"), nullptr, nullptr));

        tol::Values v;
        v[size_t(tol::Quantity::PowerRed)] = 1.5; // on the limit: inside
        v[size_t(tol::Quantity::AlignmentRGX)] = -1.0;
        v[size_t(tol::Quantity::EllipticityBlue)] = 0.9;
        QVERIFY(t.evaluate(v).pass());
        v[size_t(tol::Quantity::AlignmentRGX)] = 0.0501;
        tol::Evaluation e = t.evaluate(v);
        QVERIFY(!e.pass());
        QCOMPARE(e.verdict[size_t(tol::Quantity::AlignmentRGX)], tol::Verdict::Fail);
        QCOMPARE(e.summary(), QStringLiteral("FAIL: alignment RG x"));
        // A limited quantity without a value is no pass.
        v[size_t(tol::Quantity::AlignmentRGX)] = 0.0;
        v[size_t(tol::Quantity::EllipticityBlue)].reset();
        e = t.evaluate(v);
        QCOMPARE(e.verdict[size_t(tol::Quantity::EllipticityBlue)], tol::Verdict::NoValue);
        QVERIFY(!e.pass());
        QVERIFY(!tol::Tolerances().evaluate(v).pass()); // nothing checked: no verdict of pass
    }
};

QTEST_MAIN(TstRecord)
#include "tst_record.moc"
