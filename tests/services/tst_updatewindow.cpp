// The real main window running its start-up update check against a loopback server:
// the question box, the progress dialog's Cancel button, where a saved installer lies,
// and no dialog outliving its download.

#include "MainWindow.h"
#include "TestHttpServer.h"
#include "TestSupport.h"
#include "UpdatePrompts.h"

#include <QtTest>

#include <QMessageBox>
#include <QNetworkProxy>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>

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

    void savedInstallerIsShownAndItsFolderOpened();
    void cancelInProgressDialogKeepsWindowOpen();
    void failedDownloadLeavesNoDialog();
    void longNotesKeepTheQuestionOnScreen();
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
    // The release notes of this version were seen already: no notes dialog at start.
    testsupport::storeSettings({{QStringLiteral("UpdateServer"), server.toString()}});
}

void TstUpdateWindow::savedInstallerIsShownAndItsFolderOpened() {
    m_server->setRoute(kVersionPath, ok(newerVersionFile()));
    m_server->setRoute(kInstallerPath, ok(QByteArray(30000, 'i')));
    QList<QUrl> opened;
    lumetra::app::setFolderOpener([&opened](const QUrl& url) {
        opened << url;
        return true;
    });
    const auto restore = qScopeGuard([] { lumetra::app::setFolderOpener({}); });

    // Yes to the question, Open Folder in the saved box; the progress dialog is left alone.
    testsupport::ModalAnswerer answerer;
    for (int i = 0; i < 2000; ++i) {
        answerer.enqueue([](QWidget* w) {
            auto* box = qobject_cast<QMessageBox*>(w);
            for (QAbstractButton* b : box ? box->buttons() : QList<QAbstractButton*>())
                if (box->standardButton(b) == QMessageBox::Yes ||
                    b->text() == QStringLiteral("Open Folder"))
                    b->click();
        });
    }
    MainWindow w;
    w.show();
    QVERIFY(testsupport::waitUntil(
        [&] { return calibrateRedButton(w)->text().startsWith(QStringLiteral("Calibrate ")); },
        15000));
    QVERIFY(w.isVisible());
    QList<testsupport::SeenModal> boxes;
    for (const testsupport::SeenModal& seen : answerer.seen())
        if (seen.className == QStringLiteral("QMessageBox") &&
            (boxes.isEmpty() || boxes.last().title != seen.title))
            boxes << seen;
    QCOMPARE(boxes.size(), 2);
    QCOMPARE(boxes.at(0).title, QStringLiteral("New version available"));
    QCOMPARE(boxes.at(0).text, QStringLiteral("Version 1.05 is available.\n\nDo you "
                                              "want to update and restart now?\n\n"
                                              "Content of this new version:\nFaster "
                                              "spot search\r\n"));
    const QString stored = QDir::currentPath() + QStringLiteral("/sw_fw/KVT_v1.05_setup.exe");
    QVERIFY(boxes.at(1).text.contains(stored));
    QVERIFY(QFile::exists(stored));
    QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(QDir::currentPath() + "/sw_fw")});
    QVERIFY(!logText().contains(QStringLiteral("Exit Ok")));
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

void TstUpdateWindow::failedDownloadLeavesNoDialog() {
    m_server->setRoute(kVersionPath, ok(newerVersionFile()));
    HttpRoute missing = ok("gone");
    missing.status = 404;
    m_server->setRoute(kInstallerPath, missing);

    testsupport::ModalAnswerer answerer;
    queueAnswers(answerer, false);
    MainWindow w;
    w.show();
    QVERIFY(testsupport::waitUntil(
        [&] { return calibrateRedButton(w)->text().startsWith(QStringLiteral("Calibrate ")); },
        15000));
    QVERIFY(logText().contains(QStringLiteral("> Cannot download setup program: HTTP status 404")));
    // A progress dialog kept hidden would show itself again once its minimum duration is
    // over, modal over the window: none may be left.
    for (QWidget* top : QApplication::topLevelWidgets())
        QVERIFY2(!qobject_cast<QProgressDialog*>(top), "a progress dialog outlived its download");
    QVERIFY(w.findChildren<QProgressDialog*>().isEmpty());
}

void TstUpdateWindow::longNotesKeepTheQuestionOnScreen() {
    QByteArray notes;
    for (int i = 0; notes.size() < 750 * 1024; ++i)
        notes += "Fixed issue " + QByteArray::number(i) + " in the spot search and the log\r\n";
    m_server->setRoute(kVersionPath, ok(kMarker + "\r\nV1.05 x\r\n" + notes + kMarker + "\r\n"));

    QSize boxSize;
    QString details;
    testsupport::ModalAnswerer answerer;
    answerer.enqueue([&](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        if (!box)
            return;
        boxSize = box->frameGeometry().size();
        details = box->detailedText();
        box->button(QMessageBox::No)->click();
    });
    MainWindow w;
    w.show();
    QVERIFY(testsupport::waitUntil([&] { return boxSize.isValid(); }, 15000));
    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    QVERIFY2(boxSize.height() <= screen.height() && boxSize.width() <= screen.width(),
             qPrintable(QStringLiteral("%1 x %2").arg(boxSize.width()).arg(boxSize.height())));
    QCOMPARE(details.remove(QLatin1Char('\r')),
             QString::fromLatin1(notes).remove(QLatin1Char('\r')));
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

    // Without a total size: a busy indicator, and Cancel stays.
    w.updateProgressDial(130, -1);
    QCOMPARE(w.findChild<QProgressDialog*>(), dialog);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->minimum(), 0);
    QCOMPARE(dialog->maximum(), 0);
    QVERIFY(dialog->findChild<QPushButton*>()->isVisible());
}

QTEST_MAIN(TstUpdateWindow)
#include "tst_updatewindow.moc"
