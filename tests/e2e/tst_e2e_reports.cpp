// The window's Reports side on the simulated head: recording from the tool bar into the
// remembered folder with the unit's name, the status bar following it; a power outside
// its tolerance framed red with its text unchanged and a FAIL summary; the plots filled
// within their redraw limit; the saved report one page naming the verdict.

#include "E2eKit.h"
#include "MeasureSession.h"
#include "PlotsPanel.h"
#include "ReportsController.h"

#include <QAction>
#include <QDockWidget>
#include <QLineEdit>
#include <QMenuBar>
#include <QProcess>
#include <QStatusBar>
#include <QTest>

class TstE2eReports : public QObject {
    Q_OBJECT
private slots:
    void recordJudgeAndReport() {
        testsupport::TempWorkDir dir;
        QVERIFY(e2e::placeDemoFiles());
        QVariantMap k = e2e::quietHead(1280, 1024);
        k.insert({{QStringLiteral("R_power"), 30.0},
                  {QStringLiteral("R_divergence"), QStringLiteral("1.20,0.90")},
                  {QStringLiteral("G_power"), 5.0},
                  {QStringLiteral("G_divergence"), QStringLiteral("0.60,0.60")},
                  {QStringLiteral("B_power"), 25.0},
                  {QStringLiteral("B_divergence"), QStringLiteral("0.90,1.50")}});
        e2e::setHeadKeys(k);
        const QString folder = dir.filePath(QStringLiteral("records"));
        QVERIFY(QDir().mkpath(folder));
        e2e::storeSettings({{QStringLiteral("expo"), 2000.0},
                            {QStringLiteral("autoexpo"), false},
                            {QStringLiteral("rect"), QRect(740, 520, 440, 480)},
                            {QStringLiteral("RecordingsDir"), folder},
                            // Red's 30 W is above its limit, green's 5 W within.
                            {QStringLiteral("Tolerances/powerR_max"), 20.0},
                            {QStringLiteral("Tolerances/powerG_min"), 4.0}});
        auto w = e2e::openWindow();
        ReportsController* reports = w->reports();
        Ui::MainWindow* ui = w->form();
        QVERIFY(ui->menubar->isVisible());
        QVERIFY(ui->menuReports->actions().contains(reports->recordAction()));
        QVERIFY(ui->menuHelp->menuAction()->isVisible());
        e2e::selectCamera(*w);
        QVERIFY(e2e::streamUntilMeasured(*w));

        // The verdict: red framed, its text as the labels write it; green not framed.
        QVERIFY(testsupport::waitUntil(
            [&] { return reports->verdictStatus()->text().contains("FAIL: power R"); }, 20000));
        QVERIFY(reports->isMarked(ui->valuePowerRed));
        QVERIFY(!reports->isMarked(ui->valuePowerGreen));
        QVERIFY(e2e::wattsOf(ui->valuePowerRed->text()));
        // Changed limits take effect on the running stream, both ways, and the verdict keeps
        // its colour with them.
        namespace tol = lumetra::tolerances;
        tol::Tolerances looser = reports->limits();
        looser.setLimit(tol::Quantity::PowerRed, {std::nullopt, 50.0});
        reports->setLimits(looser);
        QVERIFY(testsupport::waitUntil(
            [&] { return reports->verdictStatus()->text().contains("PASS"); }, 5000));
        QVERIFY(!reports->isMarked(ui->valuePowerRed));
        QVERIFY(reports->verdictStatus()->styleSheet().contains("0, 130, 0"));
        reports->setLimits(tol::Tolerances());
        QTest::qWait(300);
        QVERIFY(reports->verdictStatus()->text().isEmpty());
        reports->setLimits(looser);
        QVERIFY(testsupport::waitUntil(
            [&] { return reports->verdictStatus()->text().contains("PASS"); }, 5000));
        looser.setLimit(tol::Quantity::PowerRed, {std::nullopt, 20.0});
        reports->setLimits(looser);
        QVERIFY(testsupport::waitUntil([&] { return reports->isMarked(ui->valuePowerRed); }, 5000));
        QVERIFY(reports->verdictStatus()->text().contains("FAIL: power R"));
        QVERIFY(reports->verdictStatus()->styleSheet().contains("200, 0, 0"));

        // Recording into the remembered folder, named after the serial and the unit.
        reports->unitBox()->setText(QStringLiteral("LM 7"));
        reports->recordAction()->trigger();
        QVERIFY(reports->recorder().isRecording());
        QVERIFY(testsupport::waitUntil([&] { return reports->recorder().rows() >= 20; }, 20000));
        QVERIFY(testsupport::waitUntil(
            [&] { return reports->recordingStatus()->text().contains(" rows - "); }, 3000));
        reports->recordAction()->trigger();
        QVERIFY(!reports->recorder().isRecording());
        const QString file = reports->recorder().filePath();
        QCOMPARE(QFileInfo(file).absolutePath(), QFileInfo(folder).absoluteFilePath());
        QVERIFY(QFileInfo(file).fileName().startsWith(QStringLiteral("40400001_LM_7_")));
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(quint64(f.readAll().count('\n')), reports->recorder().rows() + 1);

        // Plots: filled, and never redrawn more often than their limit.
        reports->plotsDock()->show();
        QElapsedTimer shown;
        shown.start();
        const int before = reports->plots()->redraws();
        QVERIFY(testsupport::waitUntil(
            [&] { return reports->plots()->seriesPoints(lumetra::ui::PlotsPanel::Power, 0) > 0; },
            5000));
        QTest::qWait(1000);
        QVERIFY(reports->plots()->stabilityText().contains(QStringLiteral("Power RMS")));
        QVERIFY(reports->plots()->redraws() - before <=
                shown.elapsed() / lumetra::ui::PlotsPanel::kRefreshMs + 1);

        // The report: one page naming the unit and the verdict.
        const QString pdf = dir.filePath(QStringLiteral("r.pdf"));
        QString error;
        QVERIFY2(reports->saveReport(pdf, &error), qPrintable(error));
        QProcess text;
        text.start(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")});
        QVERIFY(text.waitForFinished(20000));
        const QString page = QString::fromUtf8(text.readAllStandardOutput());
        QVERIFY(page.contains(QStringLiteral("LM 7")));
        QVERIFY(page.contains(QStringLiteral("FAIL: power R")));
        QVERIFY(page.contains(QStringLiteral("Stability of the last recording")));

        // Every control the Reports side adds says what it is.
        const QList<QWidget*> added{reports->unitBox(), reports->recordingStatus(),
                                    reports->verdictStatus(), reports->plotsDock()};
        for (QWidget* c : added)
            QVERIFY(!c->accessibleName().isEmpty());
        ui->actionStartStream->setChecked(false);
    }
};

QTEST_MAIN(TstE2eReports)
#include "tst_e2e_reports.moc"
