// Start-up as main() runs it (options, folders, launch) against an installed, read-only
// tree of this build: the user folders hold what the program writes, calibration files are
// found in the user folder first and copied there before a write, the demo streams and
// calibrates, a folder that cannot be made is said once and measuring goes on, and a
// writable uninstalled folder stays portable.

#include "E2eKit.h"
#include "Log.h"
#include "Paths.h"
#include "Startup.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTest>

namespace {

using lumetra::start::Options;
namespace paths = lumetra::paths;

const QString kPrefix = QStringLiteral(LUMETRA_TEST_PREFIX);
const QString kDemoCal = QStringLiteral("_calibration_40400001.kvtcal");

// Every file of a tree with a digest of its content.
QMap<QString, QByteArray> treeDigest(const QString& root) {
    QMap<QString, QByteArray> out;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString f = it.next();
        QFile file(f);
        file.open(QIODevice::ReadOnly);
        out.insert(f, QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1));
    }
    return out;
}

// HOME in a temporary folder, the XDG folders at their defaults under it; the folders the
// run made active are dropped at the end.
struct UserEnvironment {
    UserEnvironment() {
        QDir().mkpath(home);
        qputenv("HOME", home.toUtf8());
        qunsetenv("XDG_CONFIG_HOME");
        qunsetenv("XDG_DATA_HOME");
    }
    ~UserEnvironment() { paths::setActive(paths::Folders()); }
    QString filePath(const QString& name) const { return dir.filePath(name); }

    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("home"));
};

Options demoOptions() {
    Options o;
    o.demo = true;
    return o;
}

bool measuresDemoHead(MainWindow& w) {
    for (QTimer* t : w.findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
        if (t->interval() == 2000)
            t->stop(); // the temperature is not what this proves
    if (!testsupport::waitUntil([&] { return w.form()->graphicsView->scene() != nullptr; }))
        return false;
    e2e::selectCamera(w);
    if (!w.camera()->isOpen())
        return false;
    // A first run keeps the ROI in the top-left quarter; the demo's spot lies at three
    // quarters of the sensor (corner BR): a click there, as a user would.
    e2e::clickSpotView(w, w.form()->graphicsView->mapFromScene(QPointF(1440, 900)));
    if (!e2e::streamUntilMeasured(w))
        return false;
    // The demo's three beams of 1 W each, through the demo calibration.
    return testsupport::waitUntil(
        [&] { return e2e::wattsOf(w.form()->valuePowerRed->text()).value_or(0) > 0.5; });
}

} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY2(QFileInfo::exists(kPrefix + QStringLiteral("/bin/lumetra")),
                 "the installed tree is missing (CTest fixture install_prefix)");
        m_prefixBefore = treeDigest(kPrefix);
    }

    void cleanupTestCase() { QCOMPARE(treeDigest(kPrefix), m_prefixBefore); }

    void optionsRefuseWhatTheyCannotMean() {
        for (const QStringList& bad : {QStringList{"--portable", "--user-folders"},
                                       QStringList{"--portabel"}, QStringList{"frame.png"}})
            QVERIFY2(!lumetra::start::parseOptions(bad).error.isEmpty(), qPrintable(bad.join(' ')));
        const Options o = lumetra::start::parseOptions({"--demo", "--portable", "--portable"});
        QVERIFY(o.error.isEmpty() && o.demo && o.layout == Options::Layout::Portable);
    }

    // User folder first, then beside the executable, then the installation; a write goes
    // to the user folder and starts from the file it would have read.
    void calibrationFilesFoundInOrderAndCopiedBeforeWriting() {
        QTemporaryDir root;
        const QString user = root.filePath("user"), beside = root.filePath("bin"),
                      share = root.filePath("share");
        for (const QString& d : {user, beside, share})
            QDir().mkpath(d);
        const auto put = [](const QString& dir, const char* name, const QByteArray& text) {
            QVERIFY(testsupport::writeTextFile(dir + '/' + name, text));
        };
        put(share, "a.kvtcal", "[635]\nM0x_TL=0.5\n");
        put(beside, "b.kvtcal", "[520]\nM1x_TL=0.25\n");
        put(share, "b.kvtcal", "[520]\nM1x_TL=0.75\n");
        put(user, "c.kvtcal", "[445]\n");
        put(share, "c.kvtcal", "[445]\nM2x_TL=1\n");
        QFile::setPermissions(share + "/a.kvtcal", QFile::ReadOwner | QFile::ReadOther);

        paths::Folders f;
        f.layout = paths::Layout::UserFolders;
        f.dataDir = user;
        f.calibrationReadOnlyDirs = {beside, share};
        paths::setActive(f);
        QCOMPARE(paths::calibrationFileForReading("a.kvtcal"), share + "/a.kvtcal");
        QCOMPARE(paths::calibrationFileForReading("b.kvtcal"), beside + "/b.kvtcal");
        QCOMPARE(paths::calibrationFileForReading("c.kvtcal"), user + "/c.kvtcal");
        QCOMPARE(paths::calibrationFileForReading("d.kvtcal"), user + "/d.kvtcal");

        const QString written = paths::calibrationFileForWriting("a.kvtcal");
        QCOMPARE(written, user + "/a.kvtcal");
        {
            QSettings s(written, QSettings::IniFormat);
            s.setValue("635/user/M0x_TL", 0.9);
        }
        QSettings back(paths::calibrationFileForReading("a.kvtcal"), QSettings::IniFormat);
        QCOMPARE(back.status(), QSettings::NoError);
        QCOMPARE(back.value("635/M0x_TL").toDouble(), 0.5); // the factory key came along
        QCOMPARE(back.value("635/user/M0x_TL").toDouble(), 0.9);
        QCOMPARE(testsupport::readTextFile(share + "/a.kvtcal"), QString("[635]\nM0x_TL=0.5\n"));
        paths::setActive(paths::Folders());
    }

    void installedDemoMeasuresAndCalibratesIntoUserFolders() {
        UserEnvironment env;
        testsupport::TempWorkDir restoreCwd;
        const auto where = lumetra::start::installationFor(kPrefix + QStringLiteral("/bin"));
        const auto plan = lumetra::start::prepare(demoOptions(), where);
        QCOMPARE(plan.folders.layout, paths::Layout::UserFolders);
        QVERIFY2(plan.problems.isEmpty(), qPrintable(plan.problems.join('\n')));
        const QString data = env.home + QStringLiteral("/.local/share/lumetra");
        const QString config = env.home + QStringLiteral("/.config/lumetra");
        QCOMPARE(plan.folders.dataDir, data);
        // Only the installed copy is left: read there, copied before the first write.
        QVERIFY(QFile::remove(data + '/' + kDemoCal));

        testsupport::ModalAnswerer answer;
        {
            const auto w = lumetra::start::launch(plan);
            QVERIFY(measuresDemoHead(*w));
            w->form()->actionStartStream->setChecked(false);

            answer.enqueue(testsupport::ModalAnswerer::acceptDouble(1.0));
            // All three demo beams are on: store all the same when asked.
            answer.enqueue(testsupport::ModalAnswerer::pressButton(QMessageBox::Save));
            w->form()->calRPushButton->click();
            QVERIFY(testsupport::waitUntil(
                [&] { return answer.titles().contains("Calibration of 635 done"); }, 60000));
            w->close();
        }
        for (const QString& unexpected :
             {lumetra::start::problemsTitle(), QStringLiteral("Calibration file not found")})
            QVERIFY2(!answer.titles().contains(unexpected), qPrintable(answer.titles().join(", ")));
        // The run's files are all in the user folders, the calibration complete.
        QSettings cal(data + '/' + kDemoCal, QSettings::IniFormat);
        QVERIFY(cal.value("Power/635_BR").toDouble() > 0);
        QVERIFY(cal.contains("635/user/M0x_BR"));
        QVERIFY(cal.contains("520/M1x_TL")); // the demo's factory columns are still there
        QVERIFY(QFileInfo::exists(config + "/basini.ini"));
        // The log lies in the data folder (the run's folders are still the active ones).
        QVERIFY(lumetra::log::fileNameFor(QDateTime::currentDateTime()).startsWith(data));
        QVERIFY(testsupport::todaysLog().contains("Init OK"));
    }

    // A config folder under a file, a home that is a file: said once, and the demo head
    // still measures (read where it is installed when it cannot be copied).
    void unusableFoldersAreSaidOnceAndMeasuringGoesOn_data() {
        QTest::addColumn<bool>("homeIsFile");
        QTest::newRow("config folder") << false;
        QTest::newRow("whole home") << true;
    }
    void unusableFoldersAreSaidOnceAndMeasuringGoesOn() {
        QFETCH(bool, homeIsFile);
        UserEnvironment env;
        testsupport::TempWorkDir restoreCwd;
        const QString blocker = env.filePath("a-file");
        QVERIFY(testsupport::writeTextFile(blocker, "not a folder"));
        QString failed;
        if (homeIsFile) {
            qputenv("HOME", blocker.toUtf8());
            failed = blocker + QStringLiteral("/.local/share/lumetra");
        } else {
            qputenv("XDG_CONFIG_HOME", (blocker + "/config").toUtf8());
            failed = blocker + QStringLiteral("/config/lumetra");
        }
        const auto plan = lumetra::start::prepare(
            demoOptions(), lumetra::start::installationFor(kPrefix + QStringLiteral("/bin")));

        testsupport::ModalAnswerer answer;
        const auto w = lumetra::start::launch(plan);
        QVERIFY(measuresDemoHead(*w));
        const auto boxes = answer.seen();
        int warnings = 0;
        for (const testsupport::SeenModal& m : boxes) {
            if (m.title == lumetra::start::problemsTitle()) {
                ++warnings;
                QVERIFY2(m.text.contains(failed), qPrintable(m.text));
            }
        }
        QCOMPARE(warnings, 1);
    }

    // A build or an unpacked folder: everything beside the executable, as always; the
    // user folders only when asked for.
    void writableUninstalledFolderStaysPortable() {
        UserEnvironment env;
        testsupport::TempWorkDir exeDir;
        QVERIFY(e2e::placeDemoFiles());
        const auto where = lumetra::start::installationFor(exeDir.path());
        QVERIFY(where.dataDir.isEmpty());
        const auto plan = lumetra::start::prepare(Options(), where);
        QCOMPARE(plan.folders.layout, paths::Layout::Portable);
        QVERIFY(plan.problems.isEmpty());
        {
            testsupport::ModalAnswerer answer;
            const auto w = lumetra::start::launch(plan);
            QVERIFY(measuresDemoHead(*w));
            w->close();
        }
        QVERIFY(QFileInfo::exists(exeDir.filePath("basini.ini")));
        QVERIFY(testsupport::todaysLog().contains("Init OK"));
        QVERIFY(QFileInfo(exeDir.filePath("logs")).isDir());
        QVERIFY(!QFileInfo::exists(env.home + "/.config/lumetra"));
        QVERIFY(!QFileInfo::exists(env.home + "/.local/share/lumetra"));

        Options user;
        user.layout = Options::Layout::UserFolders;
        QCOMPARE(lumetra::start::prepare(user, where).folders.layout, paths::Layout::UserFolders);
    }

private:
    QMap<QString, QByteArray> m_prefixBefore;
};

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
