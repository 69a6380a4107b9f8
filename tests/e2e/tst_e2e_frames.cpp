// Save frames on the simulated head: the saved folder re-measured by its own measure.sh
// gives exactly what the window showed for the last frame; a disk that fills up gives one
// warning, leaves no partial PNG and the window keeps measuring.

#include "E2eKit.h"
#include "MeasureSession.h"
#include "ReportsController.h"

#include <QAction>
#include <QDir>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

namespace {

QString prepare(testsupport::TempWorkDir& dir) {
    if (!e2e::placeDemoFiles())
        return {};
    QVariantMap k = e2e::quietHead(1280, 1024);
    k.insert(QStringLiteral("noise"), 0.15); // frames differ, so the stabiliser matters
    e2e::setHeadKeys(k);
    const QString folder = dir.filePath(QStringLiteral("records"));
    QDir().mkpath(folder);
    e2e::storeSettings({{QStringLiteral("expo"), 2000.0},
                        {QStringLiteral("autoexpo"), false},
                        {QStringLiteral("rect"), QRect(740, 520, 440, 480)},
                        {QStringLiteral("RecordingsDir"), folder}});
    return folder;
}

// The window streaming the prepared head until a frame is measured (null when it does
// not), saving into *folder.
std::unique_ptr<MainWindow> streamingWindow(testsupport::TempWorkDir& dir,
                                            QString* folder = nullptr) {
    const QString records = prepare(dir);
    if (folder)
        *folder = records;
    if (records.isEmpty())
        return nullptr;
    auto w = e2e::openWindow();
    e2e::selectCamera(*w);
    if (!e2e::streamUntilMeasured(*w))
        return nullptr;
    return w;
}

} // namespace

class TstE2eFrames : public QObject {
    Q_OBJECT
private slots:
    void savedFramesRemeasureExactly() {
        testsupport::TempWorkDir dir;
        QString folder;
        auto w = streamingWindow(dir, &folder);
        QVERIFY(w);
        ReportsController* reports = w->reports();
        QVERIFY(w->form()->menuReports->actions().contains(reports->saveFramesAction()));

        reports->saveFramesCount()->setValue(8);
        QSignalSpy saved(reports, &ReportsController::framesSaved);
        QTest::keyClick(w.get(), Qt::Key_S, Qt::ControlModifier);
        QVERIFY(saved.wait(60000));
        const QDir out(saved.first().first().toString());
        QCOMPARE(QFileInfo(out.path()).absolutePath(), QFileInfo(folder).absoluteFilePath());
        QVERIFY(out.dirName().startsWith(QStringLiteral("40400001_")));
        const QStringList pngs = out.entryList({QStringLiteral("*.png")}, QDir::Files);
        QCOMPARE(pngs.size(), 8);
        QCOMPARE(QImage(out.filePath(pngs.first())).size(), QSize(1280, 1024));
        QVERIFY(out.exists(QFileInfo(w->session()->calibrationFile()).fileName()));

        QFile labels(out.filePath(QStringLiteral("labels.json")));
        QVERIFY(labels.open(QIODevice::ReadOnly));
        const QByteArray shown = labels.readAll();
        const QJsonObject json = QJsonDocument::fromJson(shown).object();
        QVERIFY(json.value(QStringLiteral("stabilised")).toBool());
        QVERIFY(e2e::wattsOf(json.value(QStringLiteral("labels"))
                                 .toObject()
                                 .value(QStringLiteral("valuePowerRed"))
                                 .toString()));

        QProcess run;
        run.start(QStringLiteral("sh"), {out.filePath(QStringLiteral("measure.sh")),
                                         QStringLiteral("--format"), QStringLiteral("json")});
        QVERIFY(run.waitForFinished(120000));
        QCOMPARE(run.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(run.readAllStandardOutput()), QString::fromUtf8(shown));
    }

    void labelsAreWhatTheWindowShows() {
        // The stabilised frames of a power calibration are samples: the power labels keep
        // the fill's text, and so must labels.json.
        testsupport::TempWorkDir dir;
        auto w = streamingWindow(dir);
        QVERIFY(w);
        testsupport::ModalAnswerer answerer;
        answerer.enqueue(testsupport::ModalAnswerer::acceptDouble(1.0));
        w->form()->calRPushButton->click();
        QCOMPARE(w->session()->calibrationChannel(), 0);
        QSignalSpy saved(w->reports(), &ReportsController::framesSaved);
        w->reports()->saveFramesAction()->trigger();
        QVERIFY(saved.wait(60000));

        QFile labels(QDir(saved.first().first().toString()).filePath("labels.json"));
        QVERIFY(labels.open(QIODevice::ReadOnly));
        const QJsonObject json = QJsonDocument::fromJson(labels.readAll()).object();
        QVERIFY(json.value(QStringLiteral("stabilised")).toBool());
        const QJsonObject shown = json.value(QStringLiteral("labels")).toObject();
        for (const char* power : {"valuePowerRed", "valuePowerTotal"})
            QCOMPARE(shown.value(QLatin1String(power)).toString(), QStringLiteral("Processing..."));
    }

    void fullDiskWarnsOnceAndKeepsMeasuring() {
        testsupport::TempWorkDir dir;
        QString folder;
        auto w = streamingWindow(dir, &folder);
        QVERIFY(w);
        ReportsController* reports = w->reports();

        // Files of this process may grow to 1 KiB: less than any frame's PNG.
        struct rlimit before;
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit small = before;
        small.rlim_cur = 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        testsupport::ModalAnswerer answerer;
        answerer.enqueue(testsupport::ModalAnswerer::pressButton(QMessageBox::Ok));
        reports->saveFramesCount()->setValue(5);
        reports->saveFramesAction()->trigger();
        const bool warned = testsupport::waitUntil([&] { return answerer.count() > 0; }, 30000);
        e2e::FrameCounter frames(*w);
        const bool measuring = frames.waitFrames(10);
        setrlimit(RLIMIT_FSIZE, &before);
        std::signal(SIGXFSZ, oldHandler);

        QVERIFY(warned);
        QVERIFY(measuring);
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(answerer.titles().first(), QStringLiteral("Save frames"));
        QVERIFY(!reports->saveFramesStatus()->text().startsWith(QStringLiteral("Saving")));
        const QStringList made = QDir(folder).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        QCOMPARE(made.size(), 1);
        // Whatever is left is whole: no temporary files, no truncated image.
        const QDir out(QDir(folder).filePath(made.first()));
        for (const QString& f : out.entryList(QDir::Files)) {
            QVERIFY2(f.endsWith(QStringLiteral(".png")), qPrintable(f));
            QVERIFY2(!QImage(out.filePath(f)).isNull(), qPrintable(f));
        }
    }
};

QTEST_MAIN(TstE2eFrames)
#include "tst_e2e_frames.moc"
