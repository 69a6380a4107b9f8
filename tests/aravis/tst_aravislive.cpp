// lumetra-measure on the GigE fake camera inside the private network namespace: the camera
// list names it with its transport, and a live run by serial measures five frames.

#include "FakeCamera.h"
#include "TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

using aravistest::FakeCamera;

namespace {

const QString kSerial = QStringLiteral("40400124");

using Run = testsupport::ToolRun;

Run runTool(const QStringList& args) {
    return testsupport::runMeasureTool(args, [](QProcess& p) {
        // The leak checker cannot stop the tool's threads inside the private namespaces (it
        // aborts at exit); the test binaries themselves keep it.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        const QString asan = env.value(QStringLiteral("ASAN_OPTIONS"));
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   asan + (asan.isEmpty() ? "" : ":") + QStringLiteral("detect_leaks=0"));
        p.setProcessEnvironment(env);
    });
}

} // namespace

class TstAravisLive : public QObject {
    Q_OBJECT
private slots:
    void listsAndMeasuresTheFakeCamera() {
        QString why;
        if (!aravistest::inPrivateNetwork(&why))
            QSKIP(qPrintable("needs a private network namespace: " + why));
        testsupport::TempWorkDir dir;
        FakeCamera fake(kSerial);
        QVERIFY2(fake.start(), qPrintable(fake.output()));

        Run r = runTool({"--list-cameras", "--format", "json"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QJsonArray list = QJsonDocument::fromJson(r.out.toUtf8()).array();
        const auto it = std::find_if(list.begin(), list.end(), [](const QJsonValue& v) {
            return v[QStringLiteral("serial")].toString() == kSerial;
        });
        QVERIFY2(it != list.end(), qPrintable(r.out));
        QCOMPARE((*it)[QStringLiteral("transport")].toString(), QStringLiteral("aravis"));

        // Its test pattern holds no beam: a fixed region and exposure.
        r = runTool({"--live", "--camera", kSerial, "--frames", "5", "--roi", "100,100,300,300",
                     "--exposure-us", "10000", "--every", "--format", "json"});
        QVERIFY2(r.exitCode == 0, qPrintable(r.err));
        const QStringList lines = r.out.trimmed().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 6);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(QJsonDocument::fromJson(lines[i].toUtf8())[QStringLiteral("frame")].toInt(),
                     i + 1);
        const QJsonObject last = QJsonDocument::fromJson(lines[5].toUtf8()).object();
        QCOMPARE(last[QStringLiteral("summary")][QStringLiteral("frames")].toInt(), 5);
        QCOMPARE(last[QStringLiteral("camera")][QStringLiteral("serial")].toString(), kSerial);
    }
};

QTEST_GUILESS_MAIN(TstAravisLive)
#include "tst_aravislive.moc"
