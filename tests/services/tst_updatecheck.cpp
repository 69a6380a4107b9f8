// The update check end to end against a real HTTP server on 127.0.0.1: what is logged,
// what the user is asked, what lands in sw_fw and whether the installer starts.

#include "Settings.h"
#include "TestHttpServer.h"
#include "TestSupport.h"
#include "UpdateCheck.h"

#include <QtTest>

#include <QNetworkProxy>
#include <QTcpServer>

using namespace lumetra::update;

Q_DECLARE_METATYPE(HttpRoute)

namespace {

const QByteArray kMarker(43, '=');
const QString kPath = QStringLiteral("/Telechargements/KVT/");
const QString kVersionPath = kPath + QStringLiteral("VersionNotes.txt");
const QString kInstallerPath = kPath + QStringLiteral("KVT_v1.05_setup.exe");
const QString kChecksumPath = kInstallerPath + QStringLiteral(".sha256");
const QString kStoredInstaller = QStringLiteral("sw_fw/KVT_v1.05_setup.exe");

QStringList g_messages;
QtMessageHandler g_previousHandler = nullptr;

void captureMessages(QtMsgType type, const QMessageLogContext& context, const QString& msg) {
    g_messages << msg;
    if (g_previousHandler)
        g_previousHandler(type, context, msg);
}

QByteArray versionFile(const QByteArray& versionLine, const QByteArray& notes) {
    return kMarker + "\r\n" + versionLine + "\r\n" + notes + kMarker + "\r\n";
}

HttpRoute ok(const QByteArray& body) {
    HttpRoute r;
    r.body = body;
    return r;
}

// A stand-in installer: a shell script that leaves a marker file behind when it runs.
QByteArray installerScript(const QString& markerPath) {
    return "#!/bin/sh\necho started > '" + markerPath.toUtf8() + "'\n";
}

QString logText() {
    QString all;
    const QDir logs(QStringLiteral("logs"));
    for (const QString& name : logs.entryList(QDir::Files)) {
        QFile f(logs.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            all += QString::fromUtf8(f.readAll());
    }
    return all;
}

QStringList installerFolderEntries() {
    return QDir(QStringLiteral("sw_fw")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

class RecordingUi : public UpdateUi {
public:
    bool answer = true;
    bool cancelOnFirstProgress = false;
    int asked = 0;
    QString askedTitle;
    QString askedText;
    QString askedDetails;
    QStringList saved;
    int started = 0;
    int finished = 0;
    QList<QPair<qint64, qint64>> progress;
    std::function<void()> cancel;
    int warnings = 0;
    QString warningTitle;
    QString warningText;

    bool confirmUpdate(const QString& title, const QString& text, const QString& details) override {
        ++asked;
        askedTitle = title;
        askedText = text;
        askedDetails = details;
        return answer;
    }
    void installerSaved(const QString& path) override { saved << path; }
    void downloadStarted(std::function<void()> c) override {
        ++started;
        cancel = std::move(c);
    }
    void downloadProgress(qint64 received, qint64 total) override {
        progress.append({received, total});
        if (cancelOnFirstProgress && received > 0 && cancel) {
            cancelOnFirstProgress = false;
            cancel();
        }
    }
    void downloadFinished() override { ++finished; }
    void setupCannotStart(const QString& title, const QString& text) override {
        ++warnings;
        warningTitle = title;
        warningText = text;
    }
};

} // namespace

class TstUpdateCheck : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void upToDateLogsNothing();
    void newerAcceptedIsStoredAndStartedOnlyWhereInstallersRun();
    void installerReplacesAnOlderDownload();
    void checksumDecides_data();
    void checksumDecides();
    void longNotesAreCutForTheQuestion();
    void olderVersionIsLogged();
    void versionFileFaults_data();
    void versionFileFaults();
    void notesAreCutAtEqualsSign();
    void declinedLeavesNothing();
    void cancelDuringSlowDownload();
    void cancelWhileServerIsSilent();
    void incompleteDownloadsAreNeverStored_data();
    void incompleteDownloadsAreNeverStored();
    void versionFileReasons_data();
    void versionFileReasons();
    void emptyDownloadIsSilent();
    void silentServerTimesOut();
    void unreachableServer();
    void hostileVersionsAreRefused_data();
    void hostileVersionsAreRefused();
    void unwritableInstallerFolder_data();
    void unwritableInstallerFolder();
    void installerThatCannotStart();
    void serverAddressWithPath();
    void serverAddressFromSettings_data();
    void serverAddressFromSettings();

private:
    UpdateConfig config() const;

    std::unique_ptr<testsupport::TempWorkDir> m_dir;
    std::unique_ptr<TestHttpServer> m_server;
};

void TstUpdateCheck::initTestCase() {
    // Everything stays on loopback, whatever the environment says about proxies.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    g_previousHandler = qInstallMessageHandler(captureMessages);
}

void TstUpdateCheck::cleanupTestCase() {
    qInstallMessageHandler(g_previousHandler);
}

void TstUpdateCheck::init() {
    m_dir = std::make_unique<testsupport::TempWorkDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->start());
    g_messages.clear();
}

void TstUpdateCheck::cleanup() {
    m_server.reset();
    m_dir.reset();
}

UpdateConfig TstUpdateCheck::config() const {
    UpdateConfig c = UpdateConfig::fromSettings();
    c.server = m_server->baseUrl();
    c.versionFileTimeoutMs = 10000;
    c.installerStallTimeoutMs = 10000;
    return c;
}

void TstUpdateCheck::upToDateLogsNothing() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.04 (26 March 2024)", "Notes\r\n")));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QVERIFY(g_messages.contains(QStringLiteral("Software up to date")));
    QVERIFY(!QDir(QStringLiteral("logs")).exists());
    QCOMPARE(ui.asked, 0);
    QCOMPARE(m_server->requestedPaths(), QStringList{kVersionPath});
}

void TstUpdateCheck::newerAcceptedIsStoredAndStartedOnlyWhereInstallersRun() {
    const QString marker = m_dir->filePath(QStringLiteral("installer-ran"));
    const QByteArray installer = installerScript(marker) + "# " + QByteArray(64 * 1024, 'x') + "\n";
    m_server->setRoute(kVersionPath,
                       ok(versionFile("V1.05 (May 2024)", "Faster spot search\r\nNew 638 nm\r\n")));
    m_server->setRoute(kInstallerPath, ok(installer));
    const QString absolute = QDir::currentPath() + QLatin1Char('/') + kStoredInstaller;

    // Here installs come from the package: the installer is kept, never run.
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QCOMPARE(ui.asked, 1);
    QCOMPARE(ui.askedTitle, QStringLiteral("New version available"));
    QCOMPARE(ui.askedText,
             QStringLiteral("Version 1.05 is available.\n\nDo you want to update and restart "
                            "now?\n\nContent of this new version:\nFaster spot search\r\nNew 638 "
                            "nm\r\n"));
    QVERIFY(ui.askedDetails.isEmpty());
    QCOMPARE(m_server->requestedPaths(),
             (QStringList{kVersionPath, kInstallerPath, kChecksumPath}));
    QCOMPARE(ui.started, 1);
    QCOMPARE(ui.finished, 1);
    QVERIFY(!ui.progress.isEmpty());
    QCOMPARE(ui.progress.last(), (QPair<qint64, qint64>(installer.size(), installer.size())));
    QCOMPARE(ui.warnings, 0);
    QCOMPARE(ui.saved, QStringList{absolute});
    QFile stored(kStoredInstaller);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), installer);
    QVERIFY(!(stored.permissions() & QFileDevice::ExeOwner));
    QVERIFY(logText().contains(QStringLiteral("> Update Requested - Actual Version = 104\n")));
    QVERIFY(logText().contains(QStringLiteral("> Setup program saved at following path: ") +
                               absolute + QLatin1Char('\n')));

    // Where installers run, the stored one is handed over and the check says so.
    QStringList startedPaths;
    UpdateConfig c = config();
    c.startInstaller = [&](const QString& path) {
        startedPaths << path;
        return true;
    };
    RecordingUi ui2;
    QVERIFY(checkForUpdate(ui2, c, 104));
    QCOMPARE(startedPaths, QStringList{absolute});
    QVERIFY(ui2.saved.isEmpty());
    QVERIFY(!QFile::exists(marker));
    // The cancel function handed out must stay harmless after the download.
    ui.cancel();
}

void TstUpdateCheck::installerReplacesAnOlderDownload() {
    QVERIFY(QDir().mkpath(QStringLiteral("sw_fw")));
    {
        QFile old(kStoredInstaller);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(100000, 'o'));
    }
    const QByteArray installer = installerScript(QStringLiteral("/nonexistent"));
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    m_server->setRoute(kInstallerPath, ok(installer));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QFile stored(kStoredInstaller);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), installer);
    QCOMPARE(installerFolderEntries(), QStringList{QStringLiteral("KVT_v1.05_setup.exe")});
}

void TstUpdateCheck::checksumDecides_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("checksumFile");
    QTest::addColumn<bool>("stored");
    const QByteArray body = QByteArray(20000, 'i');
    const QByteArray digest = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
    QTest::newRow("matches") << 200 << digest + "  KVT_v1.05_setup.exe\n" << true;
    QTest::newRow("matches, upper case") << 200 << digest.toUpper() << true;
    QByteArray other = digest;
    other[0] = other[0] == 'a' ? 'b' : 'a';
    QTest::newRow("differs") << 200 << other + "  KVT_v1.05_setup.exe\n" << false;
    QTest::newRow("unreadable") << 200 << QByteArray("<html>moved</html>") << false;
    QTest::newRow("server error") << 500 << digest << false;
    QTest::newRow("not offered") << 404 << QByteArray() << true;
}

void TstUpdateCheck::checksumDecides() {
    QFETCH(int, status);
    QFETCH(QByteArray, checksumFile);
    QFETCH(bool, stored);
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    m_server->setRoute(kInstallerPath, ok(QByteArray(20000, 'i')));
    HttpRoute checksum = ok(checksumFile);
    checksum.status = status;
    m_server->setRoute(kChecksumPath, checksum);
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QCOMPARE(ui.finished, 1);
    QCOMPARE(QFile::exists(kStoredInstaller), stored);
    QCOMPARE(installerFolderEntries().size(), stored ? 1 : 0);
    QCOMPARE(ui.saved.size(), stored ? 1 : 0);
    QCOMPARE(logText().contains(QStringLiteral("> Cannot download setup program: ")), !stored);
}

void TstUpdateCheck::longNotesAreCutForTheQuestion() {
    // Short notes are shown whole (see above); many lines or one endless line are not.
    for (const QString& notes : {QStringLiteral("Fixed this\r\n").repeated(60000),
                                 QString(750 * 1024, QLatin1Char('w'))}) {
        const QuestionText q = updateQuestion(QStringLiteral("1.05"), notes);
        QVERIFY(q.text.startsWith(QStringLiteral("Version 1.05 is available.\n\nDo you want to "
                                                 "update and restart now?\n\nContent of this new "
                                                 "version:\n")));
        QVERIFY(q.text.size() < 3000 && q.text.count(QLatin1Char('\n')) < 40);
        QCOMPARE(q.details, notes);
    }
}

void TstUpdateCheck::olderVersionIsLogged() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.03 old", "n\r\n")));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QVERIFY(logText().endsWith(QStringLiteral("> Living in the future?\n")));
    QCOMPARE(ui.asked, 0);
}

void TstUpdateCheck::versionFileFaults_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("logLine");
    const QByteArray good = versionFile("V1.05 x", "n\r\n");
    QTest::newRow("no marker") << 200 << QByteArray("Hello\r\n") << "Cannot connect to Website";
    QTest::newRow("empty body") << 200 << QByteArray() << "Cannot connect to Website";
    QTest::newRow("404 with a valid-looking body") << 404 << good << "Cannot connect to Website";
    QTest::newRow("500 with a valid-looking body") << 500 << good << "Cannot connect to Website";
    QTest::newRow("second marker missing")
        << 200 << (kMarker + "\r\nV1.05 x\r\nnotes\r\n") << "Cannot parse Version file";
    QTest::newRow("version without its space")
        << 200 << versionFile("V1.05", "Fixes\r\n") << "Cannot parse Version file";
    QTest::newRow("version without space, space in notes")
        << 200 << versionFile("V1.05", "Many fixes\r\n") << "Cannot parse Version file";
}

void TstUpdateCheck::versionFileFaults() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, logLine);
    HttpRoute route = ok(body);
    route.status = status;
    m_server->setRoute(kVersionPath, route);
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    const QString log = logText();
    const QStringList lines = log.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(!lines.isEmpty() && lines.size() <= 2, qPrintable(log)); // a reason may follow
    QVERIFY2(lines[0].endsWith(QStringLiteral("> ") + logLine), qPrintable(log));
    QCOMPARE(ui.asked, 0);
    QCOMPARE(m_server->requestedPaths(), QStringList{kVersionPath});
}

void TstUpdateCheck::notesAreCutAtEqualsSign() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "Power = R + G + B\r\n")));
    RecordingUi ui;
    ui.answer = false;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QVERIFY(ui.askedText.endsWith(QStringLiteral("Content of this new version:\nPower ")));
}

void TstUpdateCheck::declinedLeavesNothing() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    m_server->setRoute(kInstallerPath, ok(installerScript(QStringLiteral("/nonexistent"))));
    RecordingUi ui;
    ui.answer = false;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QCOMPARE(ui.asked, 1);
    QCOMPARE(ui.started, 0);
    QVERIFY(installerFolderEntries().isEmpty());
    QCOMPARE(m_server->requestedPaths(), QStringList{kVersionPath});
    QVERIFY(logText().endsWith(QStringLiteral("> Update Requested - Actual Version = 104\n")));
}

void TstUpdateCheck::cancelDuringSlowDownload() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    HttpRoute slow = ok(QByteArray(400 * 1024, 'x'));
    slow.mode = HttpRoute::Mode::Slow;
    slow.chunkSize = 1024;
    slow.intervalMs = 50; // about 20 s for the whole file
    m_server->setRoute(kInstallerPath, slow);
    RecordingUi ui;
    ui.cancelOnFirstProgress = true;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QCOMPARE(ui.started, 1);
    QCOMPARE(ui.finished, 1);
    QVERIFY(ui.progress.last().first < slow.body.size());
    QVERIFY(installerFolderEntries().isEmpty());
    QVERIFY(!logText().contains(QStringLiteral("setup program")));
}

void TstUpdateCheck::cancelWhileServerIsSilent() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    HttpRoute silent;
    silent.mode = HttpRoute::Mode::NeverAnswer;
    m_server->setRoute(kInstallerPath, silent);
    RecordingUi ui;
    QTimer::singleShot(200, [&ui] {
        if (ui.cancel)
            ui.cancel();
    });
    UpdateConfig c = config();
    c.installerStallTimeoutMs = 120000; // only Cancel can end this wait
    QVERIFY(!checkForUpdate(ui, c, 104));
    QCOMPARE(ui.finished, 1);
    QVERIFY(installerFolderEntries().isEmpty());
}

void TstUpdateCheck::incompleteDownloadsAreNeverStored_data() {
    QTest::addColumn<HttpRoute>("route");
    const QByteArray body = installerScript(QStringLiteral("/tmp/never")) + QByteArray(5000, '#');
    HttpRoute r = ok(body);
    r.status = 404;
    QTest::newRow("status 404") << r;
    r.status = 500;
    QTest::newRow("status 500") << r;
    r = ok(body);
    r.mode = HttpRoute::Mode::Truncated;
    r.sendBytes = 2000;
    QTest::newRow("truncated") << r;
    r = ok(body);
    r.mode = HttpRoute::Mode::NeverAnswer;
    QTest::newRow("silent") << r;
    // Closed after 200 KB with no length announced: the end cannot be told from a cut.
    r = ok(QByteArray(200 * 1024, 'p'));
    r.mode = HttpRoute::Mode::NoLength;
    QTest::newRow("no length announced") << r;
    // Beyond the size limit (the test's limit is 256 KiB), announced or not.
    r = ok(QByteArray(300 * 1024, 'b'));
    QTest::newRow("announced beyond the limit") << r;
    r.mode = HttpRoute::Mode::NoLength;
    QTest::newRow("streamed beyond the limit") << r;
}

void TstUpdateCheck::versionFileReasons_data() {
    QTest::addColumn<HttpRoute>("route");
    QTest::addColumn<QString>("reason");
    HttpRoute r = ok("nope");
    r.status = 404;
    QTest::newRow("404") << r << "HTTP status 404";
    QTest::newRow("empty") << ok(QByteArray()) << "empty reply";
    QTest::newRow("no marker") << ok("<html>hello</html>") << "no version marker in the reply";
    QTest::newRow("oversized") << ok(versionFile("V" + QByteArray(2 * 1024 * 1024, '7') + " y", ""))
                               << "reply larger than 1048576 bytes";
    r = ok(versionFile("V1.05 x", "n\r\n"));
    r.mode = HttpRoute::Mode::Truncated;
    r.sendBytes = 20;
    QTest::newRow("cut") << r << "";
}

// The described line stays; the next one says what really happened.
void TstUpdateCheck::versionFileReasons() {
    QFETCH(HttpRoute, route);
    QFETCH(QString, reason);
    m_server->setRoute(kVersionPath, route);
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    const QStringList lines = logText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[0].endsWith(QStringLiteral("> Cannot connect to Website")));
    QVERIFY2(lines[1].contains(QStringLiteral("> Reason: ") + reason), qPrintable(lines[1]));
}

void TstUpdateCheck::incompleteDownloadsAreNeverStored() {
    QFETCH(HttpRoute, route);
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    m_server->setRoute(kInstallerPath, route);
    RecordingUi ui;
    UpdateConfig c = config();
    c.installerStallTimeoutMs = 500;
    c.installerLimit = 256 * 1024;
    QVERIFY(!checkForUpdate(ui, c, 104));
    QCOMPARE(ui.finished, 1);
    QCOMPARE(ui.warnings, 0);
    QVERIFY(ui.saved.isEmpty());
    QVERIFY(installerFolderEntries().isEmpty());
    QVERIFY(logText().contains(QStringLiteral("> Cannot download setup program: ")));
}

void TstUpdateCheck::emptyDownloadIsSilent() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    m_server->setRoute(kInstallerPath, ok(QByteArray()));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QCOMPARE(ui.warnings, 0);
    QVERIFY(installerFolderEntries().isEmpty());
    QVERIFY(logText().endsWith(QStringLiteral("> Update Requested - Actual Version = 104\n")));
    QVERIFY(!g_messages.contains(QStringLiteral("Cannot write file")));
}

void TstUpdateCheck::silentServerTimesOut() {
    HttpRoute silent;
    silent.mode = HttpRoute::Mode::NeverAnswer;
    m_server->setRoute(kVersionPath, silent);
    RecordingUi ui;
    UpdateConfig c = config();
    c.versionFileTimeoutMs = 300;
    QVERIFY(!checkForUpdate(ui, c, 104));
    QVERIFY(logText().contains(QStringLiteral("> Cannot connect to Website\n")));
    QVERIFY(logText().contains(QStringLiteral("> Reason: no answer within 0.3 s\n")));
    QCOMPARE(m_server->requestedPaths(), QStringList{kVersionPath});
    // The abandoned request is closed, not left hanging.
    QVERIFY(testsupport::waitUntil([&] { return m_server->openConnections() == 0; }));
}

void TstUpdateCheck::unreachableServer() {
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
    const quint16 port = probe.serverPort();
    probe.close();
    UpdateConfig c = config();
    c.server = QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, c, 104));
    QVERIFY(logText().contains(QStringLiteral("> Cannot connect to Website\n")));
    QVERIFY(logText().contains(QStringLiteral("> Reason: Connection refused\n")));
}

void TstUpdateCheck::hostileVersionsAreRefused_data() {
    QTest::addColumn<QByteArray>("versionLine");
    QTest::newRow("path traversal") << QByteArray("V../../x y");
    QTest::newRow("1e9999") << QByteArray("V1e9999 y");
    QTest::newRow("nan") << QByteArray("Vnan y");
}

void TstUpdateCheck::hostileVersionsAreRefused() {
    QFETCH(QByteArray, versionLine);
    m_server->setRoute(kVersionPath, ok(versionFile(versionLine, "n\r\n")));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QVERIFY(logText().endsWith(QStringLiteral("> Cannot parse Version file\n")));
    QCOMPARE(ui.asked, 0);
    QCOMPARE(m_server->requestedPaths(), QStringList{kVersionPath});
    QVERIFY(!QDir(QStringLiteral("sw_fw")).exists());
}

void TstUpdateCheck::unwritableInstallerFolder_data() {
    QTest::addColumn<bool>("folderIsAFile");
    QTest::newRow("sw_fw is a file") << true;
    QTest::newRow("installer name taken by a folder") << false;
}

void TstUpdateCheck::unwritableInstallerFolder() {
    QFETCH(bool, folderIsAFile);
    // Permission bits do not stop root, so the folder is blocked by what lies there.
    if (folderIsAFile) {
        QFile f(QStringLiteral("sw_fw"));
        QVERIFY(f.open(QIODevice::WriteOnly));
    } else {
        QVERIFY(QDir().mkpath(kStoredInstaller));
    }
    const QString marker = m_dir->filePath(QStringLiteral("ran"));
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    m_server->setRoute(kInstallerPath, ok(installerScript(marker)));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, config(), 104));
    QVERIFY(g_messages.contains(QStringLiteral("Cannot write file")));
    QCOMPARE(ui.warnings, 0);
    QTest::qWait(200);
    QVERIFY(!QFile::exists(marker));
}

void TstUpdateCheck::installerThatCannotStart() {
    m_server->setRoute(kVersionPath, ok(versionFile("V1.05 x", "n\r\n")));
    m_server->setRoute(kInstallerPath, ok("#!/nonexistent/interpreter\n"));
    RecordingUi ui;
    UpdateConfig c = config();
    c.startInstaller = [](const QString&) { return false; };
    QVERIFY(!checkForUpdate(ui, c, 104));
    const QString expected =
        QStringLiteral("Setup program cannot be executed at following path: ") +
        QDir::currentPath() + QStringLiteral("/sw_fw/KVT_v1.05_setup.exe");
    QCOMPARE(ui.warnings, 1);
    QCOMPARE(ui.warningTitle, QStringLiteral("Setup program cannot be executed"));
    QCOMPARE(ui.warningText, expected);
    QVERIFY(logText().endsWith(QStringLiteral("> ") + expected + QLatin1Char('\n')));
    QVERIFY(QFile::exists(kStoredInstaller));
}

void TstUpdateCheck::serverAddressWithPath() {
    m_server->setRoute(QStringLiteral("/mirror") + kVersionPath,
                       ok(versionFile("V1.04 x", "n\r\n")));
    UpdateConfig c = config();
    c.server = QUrl(m_server->baseUrl().toString() + QStringLiteral("/mirror/"));
    RecordingUi ui;
    QVERIFY(!checkForUpdate(ui, c, 104));
    QVERIFY(g_messages.contains(QStringLiteral("Software up to date")));
    QCOMPARE(m_server->requestedPaths(), QStringList{QStringLiteral("/mirror") + kVersionPath});
    QCOMPARE(
        installerUrl(QUrl(QStringLiteral("https://www.varnelle.fr")), QStringLiteral("1.05")),
        QUrl(QStringLiteral("https://www.varnelle.fr/Telechargements/KVT/KVT_v1.05_setup.exe")));
}

void TstUpdateCheck::serverAddressFromSettings_data() {
    QTest::addColumn<QString>("configured"); // empty: key absent
    QTest::addColumn<QString>("expected");
    QTest::addColumn<QString>("environment"); // LUMETRA_UPDATE_SERVER; null: unset
    const QString def = QStringLiteral("https://www.varnelle.fr");
    QTest::newRow("absent") << QString() << def << QString();
    QTest::newRow("environment default")
        << QString() << "http://127.0.0.1:9" << QStringLiteral("http://127.0.0.1:9");
    QTest::newRow("settings over environment")
        << "http://127.0.0.1:8080"
        << "http://127.0.0.1:8080" << QStringLiteral("http://127.0.0.1:9");
    QTest::newRow("unusable environment") << QString() << def << QStringLiteral("ftp://x.example");
    QTest::newRow("plain http, configured") << "http://127.0.0.1:8080"
                                            << "http://127.0.0.1:8080" << QString();
    QTest::newRow("https mirror") << "https://mirror.example/kvt"
                                  << "https://mirror.example/kvt" << QString();
    QTest::newRow("ftp refused") << "ftp://files.example" << def << QString();
    QTest::newRow("file refused") << "file:///etc" << def << QString();
    QTest::newRow("no scheme") << "www.varnelle.fr" << def << QString();
    QTest::newRow("no host") << "http://" << def << QString();
    QTest::newRow("query refused") << "https://x.example/?a=1" << def << QString();
}

void TstUpdateCheck::serverAddressFromSettings() {
    QFETCH(QString, configured);
    QFETCH(QString, expected);
    QFETCH(QString, environment);
    const QByteArray saved = qgetenv("LUMETRA_UPDATE_SERVER");
    const auto restore = qScopeGuard([&] { qputenv("LUMETRA_UPDATE_SERVER", saved); });
    if (environment.isNull())
        qunsetenv("LUMETRA_UPDATE_SERVER");
    else
        qputenv("LUMETRA_UPDATE_SERVER", environment.toUtf8());
    QCOMPARE(defaultUpdateServer(), QStringLiteral("https://www.varnelle.fr"));
    if (!configured.isNull()) {
        lumetra::settings::File().setValue(lumetra::settings::kUpdateServer, configured);
    }
    QCOMPARE(UpdateConfig::fromSettings().server, QUrl(expected));
    const UpdateConfig defaults;
    QCOMPARE(defaults.versionFileTimeoutMs, 15000);
    QCOMPARE(defaults.installerStallTimeoutMs, 60000);
    QCOMPARE(defaults.installerLimit, 512LL * 1024 * 1024);
#ifndef Q_OS_WIN
    QVERIFY(!UpdateConfig::fromSettings().startInstaller);
#endif
}

QTEST_MAIN(TstUpdateCheck)
#include "tst_updatecheck.moc"
