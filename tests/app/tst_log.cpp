// The monthly log file: folder creation, naming, line format, whole lines under two
// writing threads, and a location that cannot be written.

#include "Log.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <unistd.h>

namespace {

QMutex gMessagesMutex;
QStringList gMessages;

void captureMessages(QtMsgType, const QMessageLogContext&, const QString& msg) {
    QMutexLocker lock(&gMessagesMutex);
    gMessages << msg;
}

QStringList takeMessages() {
    QMutexLocker lock(&gMessagesMutex);
    QStringList out = gMessages;
    gMessages.clear();
    return out;
}

QString readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

QDateTime at(int y, int m, int d, int hh, int mm, int ss, int ms) {
    return QDateTime(QDate(y, m, d), QTime(hh, mm, ss, ms));
}

} // namespace

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void init() {
        takeMessages();
        m_previousHandler = qInstallMessageHandler(captureMessages);
    }
    void cleanup() {
        qInstallMessageHandler(m_previousHandler);
        lumetra::log::setClock({});
    }

    void fileNameIsMonthAndVersion() {
        QCOMPARE(lumetra::log::fileNameFor(at(2024, 5, 17, 9, 41, 7, 512)),
                 QStringLiteral("logs/2405_kvt104.log"));
        QCOMPARE(lumetra::log::fileNameFor(at(2031, 12, 1, 0, 0, 0, 0)),
                 QStringLiteral("logs/3112_kvt104.log"));
    }

    void firstCallCreatesFolderAndFileWithTimeStampedLine() {
        testsupport::TempWorkDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(!QDir(dir.path()).exists("logs"));
        lumetra::log::setClock([] { return at(2024, 5, 17, 9, 41, 7, 512); });

        writeLog(QStringLiteral("Init OK"));

        QVERIFY(QDir(dir.path()).exists("logs"));
        QCOMPARE(readAll(dir.filePath("logs/2405_kvt104.log")),
                 QStringLiteral("24/05/17 09:41:07.512 > Init OK\n"));
        // The same line goes to the debug output.
        QVERIFY(takeMessages().contains(QStringLiteral("24/05/17 09:41:07.512 > Init OK")));
    }

    void sameMonthAppendsNewMonthStartsNewFile() {
        testsupport::TempWorkDir dir;
        QDateTime now = at(2024, 5, 31, 23, 59, 58, 0);
        lumetra::log::setClock([&now] { return now; });

        writeLog(QStringLiteral("one"));
        now = at(2024, 5, 31, 23, 59, 59, 999);
        writeLog(QStringLiteral("two"));
        now = at(2024, 6, 1, 0, 0, 0, 1);
        writeLog(QStringLiteral("three"));

        QCOMPARE(readAll(dir.filePath("logs/2405_kvt104.log")),
                 QStringLiteral("24/05/31 23:59:58.000 > one\n24/05/31 23:59:59.999 > two\n"));
        QCOMPARE(readAll(dir.filePath("logs/2406_kvt104.log")),
                 QStringLiteral("24/06/01 00:00:00.001 > three\n"));
    }

    void embeddedLineBreaksAreWrittenUnchanged() {
        testsupport::TempWorkDir dir;
        lumetra::log::setClock([] { return at(2024, 5, 17, 9, 0, 0, 0); });
        writeLog(QStringLiteral("Exit Ok\n====================="));
        writeLog(QStringLiteral("Cal Loaded Top Left\n\t1 2 3"));
        QCOMPARE(readAll(dir.filePath("logs/2405_kvt104.log")),
                 QStringLiteral("24/05/17 09:00:00.000 > Exit Ok\n=====================\n"
                                "24/05/17 09:00:00.000 > Cal Loaded Top Left\n\t1 2 3\n"));
    }

    void twoThreadsNeverTearALine() {
        testsupport::TempWorkDir dir;
        constexpr int kLines = 10000;
        const QString padding(60, QLatin1Char('x'));
        auto writer = [&padding](int id) {
            for (int i = 0; i < kLines; ++i)
                writeLog(QStringLiteral("T%1 %2 ").arg(id).arg(i) + padding);
        };
        std::unique_ptr<QThread> a(QThread::create(writer, 0));
        std::unique_ptr<QThread> b(QThread::create(writer, 1));
        a->start();
        b->start();
        QVERIFY(a->wait(120000));
        QVERIFY(b->wait(120000));

        QDir logs(dir.filePath("logs"));
        const QStringList files = logs.entryList(QDir::Files);
        QString text;
        for (const QString& f : files)
            text += readAll(logs.filePath(f)); // a month may turn during the run
        const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2 * kLines);

        static const QRegularExpression re(
            QStringLiteral(R"(^\d\d/\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d > T([01]) (\d+) x{60}$)"));
        int next[2] = {0, 0};
        for (const QString& line : lines) {
            const auto m = re.match(line);
            QVERIFY2(m.hasMatch(), qPrintable(QStringLiteral("torn line: ") + line));
            const int id = m.captured(1).toInt();
            // Each thread's lines arrive whole and in its own order.
            QCOMPARE(m.captured(2).toInt(), next[id]);
            ++next[id];
        }
        QCOMPARE(next[0], kLines);
        QCOMPARE(next[1], kLines);
    }

    void unwritableLocationCostsOnlyTheLine_data() {
        QTest::addColumn<QString>("how");
        QTest::newRow("logs is a file") << "file";
        QTest::newRow("month file is a folder") << "folder";
        QTest::newRow("read-only logs folder") << "readonly";
    }
    void unwritableLocationCostsOnlyTheLine() {
        QFETCH(QString, how);
        testsupport::TempWorkDir dir;
        lumetra::log::setClock([] { return at(2024, 5, 17, 9, 0, 0, 0); });
        const QString logs = dir.filePath("logs");
        if (how == "file") {
            QFile f(logs);
            QVERIFY(f.open(QIODevice::WriteOnly));
        } else if (how == "folder") {
            QVERIFY(QDir().mkpath(dir.filePath("logs/2405_kvt104.log")));
        } else {
            QVERIFY(QDir().mkpath(logs));
            QVERIFY(QFile::setPermissions(logs, QFile::ReadOwner | QFile::ExeOwner));
            QFile probe(logs + "/probe");
            if (probe.open(QIODevice::WriteOnly)) { // root ignores folder permissions
                probe.close();
                probe.remove();
                QFile::setPermissions(logs, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
                QSKIP("folder permissions are not enforced for this user");
            }
        }
        takeMessages();

        writeLog(QStringLiteral("lost line")); // must simply return
        writeLog(QStringLiteral("lost too"));

        const QStringList msgs = takeMessages();
        QCOMPARE(msgs.count(QStringLiteral("Can't open log file")), 2);

        // Once the location is usable again, the next call writes.
        if (how == "file") {
            QVERIFY(QFile::remove(logs));
        } else if (how == "folder") {
            QVERIFY(QDir(dir.filePath("logs/2405_kvt104.log")).removeRecursively());
        } else {
            QVERIFY(QFile::setPermissions(logs,
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        writeLog(QStringLiteral("back"));
        QCOMPARE(readAll(dir.filePath("logs/2405_kvt104.log")),
                 QStringLiteral("24/05/17 09:00:00.000 > back\n"));
    }

private:
    QtMessageHandler m_previousHandler = nullptr;
};

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
