// The real main window running its start-up update check against a loopback server:
// the question box, the progress dialog's Cancel button, the warning box, and the window
// closing only after its first-load work has finished.

#include "MainWindow.h"
#include "TestHttpServer.h"
#include "TestSupport.h"

#include <QtTest>

#include <QMessageBox>
#include <QNetworkProxy>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>

namespace {

const QByteArray kMarker(43, '=');
const QString kPath = QStringLiteral("/Telechargements/KVT/");
const QString kVersionPath = kPath + QStringLiteral("VersionNotes.txt");
const QString kInstallerPath = kPath + QStringLiteral("KVT_v1.05_setup.exe");

HttpRoute ok(const QByteArray& body) {
    HttpRoute r;
    r.body = body;
    return r;
}

QByteArray newerVersionFile() {
    return kMarker + "\r\nV1.05 (May 2024)\r\nFaster spot search\r\n" + kMarker + "\r\n";
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

// Yes to message boxes; for the download's progress dialog either press its Cancel
// button or leave it alone. Queued many times over, because a progress dialog left alone
// is met again at every look.
testsupport::ModalAnswerer::Handler answerYes(bool cancelDownload) {
    return [cancelDownload](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
            QAbstractButton* b = box->button(QMessageBox::Yes);
            if (!b)
                b = box->button(QMessageBox::Ok);
            if (b)
                b->click();
        } else if (auto* progress = qobject_cast<QProgressDialog*>(w)) {
            if (cancelDownload)
                if (auto* button = progress->findChild<QPushButton*>())
                    button->click();
        }
    };
}

void queueAnswers(testsupport::ModalAnswerer& answerer, bool cancelDownload) {
    for (int i = 0; i < 2000; ++i)
        answerer.enqueue(answerYes(cancelDownload));
}

QPushButton* calibrateRedButton(MainWindow& w) {
    return w.findChild<QPushButton*>(QStringLiteral("calRPushButton"));
}

} // namespace

class TstUpdateWindow : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void closesAfterFirstLoadWhenInstallerStarted();
    void cancelInProgressDialogKeepsWindowOpen();
    void installerThatCannotStartShowsWarning();
    void progressDialFollowsTheDownload();

private:
    void writeSettings(const QUrl& server);

    std::unique_ptr<testsupport::TempWorkDir> m_dir;
    std::unique_ptr<TestHttpServer> m_server;
};

void TstUpdateWindow::initTestCase() {
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}

void TstUpdateWindow::init() {
    m_dir = std::make_unique<testsupport::TempWorkDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->start());
    writeSettings(m_server->baseUrl());
}

void TstUpdateWindow::cleanup() {
    m_server.reset();
    m_dir.reset();
}

void TstUpdateWindow::writeSettings(const QUrl& server) {
    QSettings s(QStringLiteral("basini.ini"), QSettings::IniFormat);
    s.setValue(QStringLiteral("UpdateServer"), server.toString());
    // The release notes of this version were seen already: no notes dialog at start.
    s.setValue(QStringLiteral("Last_Version/Version"), 104);
}

void TstUpdateWindow::closesAfterFirstLoadWhenInstallerStarted() {
    const QString marker = m_dir->filePath(QStringLiteral("installer-ran"));
    m_server->setRoute(kVersionPath, ok(newerVersionFile()));
    m_server->setRoute(kInstallerPath, ok("#!/bin/sh\necho started > '" + marker.toUtf8() + "'\n"));

    testsupport::ModalAnswerer answerer;
    queueAnswers(answerer, false);
    MainWindow w;
    w.show();
    QVERIFY(testsupport::waitUntil([&] { return QFile::exists(marker); }, 15000));
    QVERIFY(testsupport::waitUntil([&] { return !w.isVisible(); }, 5000));

    // The question came first and alone; no warning followed.
    QVERIFY(answerer.count() >= 1);
    const testsupport::SeenModal question = answerer.seen().first();
    QCOMPARE(question.title, QStringLiteral("New version available"));
    QCOMPARE(question.text, QStringLiteral("Version 1.05 is available.\n\nDo you want to update "
                                           "and restart now?\n\nContent of this new "
                                           "version:\nFaster spot search\r\n"));
    QVERIFY(!answerer.titles().contains(QStringLiteral("Setup program cannot be executed")));
    QVERIFY(QFile::exists(QStringLiteral("sw_fw/KVT_v1.05_setup.exe")));

    // firstLoad went on after the close: its last steps ran.
    QVERIFY(calibrateRedButton(w)->text().startsWith(QStringLiteral("Calibrate ")));
    const QString log = logText();
    QCOMPARE(log.count(QStringLiteral("Exit Ok")), qsizetype(1));
    QVERIFY(log.indexOf(QStringLiteral("Init OK")) <
            log.indexOf(QStringLiteral("Update Requested - Actual Version = 104")));
}

void TstUpdateWindow::cancelInProgressDialogKeepsWindowOpen() {
    m_server->setRoute(kVersionPath, ok(newerVersionFile()));
    HttpRoute slow = ok(QByteArray(400 * 1024, 'x'));
    slow.mode = HttpRoute::Mode::Slow;
    slow.chunkSize = 1024;
    slow.intervalMs = 50;
    m_server->setRoute(kInstallerPath, slow);

    testsupport::ModalAnswerer answerer;
    queueAnswers(answerer, true);
    MainWindow w;
    w.show();
    QVERIFY(testsupport::waitUntil(
        [&] { return calibrateRedButton(w)->text().startsWith(QStringLiteral("Calibrate ")); },
        15000));
    QVERIFY(w.isVisible());
    QVERIFY(answerer.seen().size() >= 2);
    QCOMPARE(answerer.seen().at(1).className, QStringLiteral("QProgressDialog"));
    QVERIFY(QDir(QStringLiteral("sw_fw")).entryList(QDir::Files).isEmpty());
    QVERIFY(!logText().contains(QStringLiteral("Exit Ok")));
    // Nothing modal is left over the window.
    QVERIFY(testsupport::waitUntil([] { return QApplication::activeModalWidget() == nullptr; }));
}

void TstUpdateWindow::installerThatCannotStartShowsWarning() {
    m_server->setRoute(kVersionPath, ok(newerVersionFile()));
    m_server->setRoute(kInstallerPath, ok("#!/nonexistent/interpreter\n"));

    testsupport::ModalAnswerer answerer;
    queueAnswers(answerer, false);
    MainWindow w;
    w.show();
    const QString title = QStringLiteral("Setup program cannot be executed");
    QVERIFY(testsupport::waitUntil([&] { return answerer.titles().contains(title); }, 15000));
    QVERIFY(testsupport::waitUntil(
        [&] { return calibrateRedButton(w)->text().startsWith(QStringLiteral("Calibrate ")); }));
    const QString text = QStringLiteral("Setup program cannot be executed at following path: ") +
                         QDir::currentPath() + QStringLiteral("/sw_fw/KVT_v1.05_setup.exe");
    for (const testsupport::SeenModal& seen : answerer.seen())
        if (seen.title == title)
            QCOMPARE(seen.text, text);
    QVERIFY(logText().contains(QStringLiteral("> ") + text + QLatin1Char('\n')));
    QVERIFY(w.isVisible());
}

void TstUpdateWindow::progressDialFollowsTheDownload() {
    // No server for this one: the start-up check fails at once and quietly.
    m_server->stop();
    MainWindow w;
    w.show();
    QVERIFY(testsupport::waitUntil(
        [&] { return calibrateRedButton(w)->text().startsWith(QStringLiteral("Calibrate ")); }));
    QVERIFY(logText().contains(QStringLiteral("> Cannot connect to Website\n")));

    w.updateProgressDial(50, 200);
    auto* dialog = w.findChild<QProgressDialog*>();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QVERIFY(dialog->isModal());
    QCOMPARE(dialog->labelText(), QStringLiteral("Downloading files..."));
    QCOMPARE(dialog->maximum(), 200);
    QCOMPARE(dialog->value(), 50);

    w.updateProgressDial(120, 200);
    QCOMPARE(w.findChild<QProgressDialog*>(), dialog);
    QCOMPARE(dialog->value(), 120);

    // Without a total size there is no bar to show.
    w.updateProgressDial(130, -1);
    QCOMPARE(w.findChild<QProgressDialog*>(), nullptr);
}

QTEST_MAIN(TstUpdateWindow)
#include "tst_updatewindow.moc"
