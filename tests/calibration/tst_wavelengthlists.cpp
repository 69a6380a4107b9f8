// Wavelength lists read from and added to the calibration file, and the writer that never
// rewrites a file with less than it holds: such a file is kept and a new one written.

#include "Calibration.h"
#include "CalibrationTestFiles.h"
#include "TestSupport.h"

#include <QDate>
#include <QDir>
#include <QSettings>
#include <QtTest>

using namespace lumetra::calibration;
using caltest::readRaw;
using caltest::writeRaw;

namespace {
const QString kFile = QStringLiteral("_calibration_7.kvtcal");

const QByteArray kFactory = "[635]\nM0x_TL=0.9\nM1x_TL=0.2\nM2x_TL=0.05\nuser\\M0x_BR=0.7\n"
                            "[Power]\n635_TL=31.5\n"
                            "[R_Wavelengths]\n650=true\n";
} // namespace

class TestWavelengthLists : public QObject {
    Q_OBJECT
private slots:
    void withoutSectionsOnlyFixedEntries();
    void listsFollowTheFile();
    void addingTheFixedTextListsItTwice();
    void addingTwiceGivesOneKey();
    void addingKeepsEverythingElse();
    void addedWavelengthIsNotYetCalibrated();
    void refusedTextsWriteNothing_data();
    void refusedTextsWriteNothing();
    void filesThatCannotBeKeptAreNeverRewritten_data();
    void filesThatCannotBeKeptAreNeverRewritten();
    void foreignButCleanFilesAreWritable();
    void dialogTexts();
};

void TestWavelengthLists::withoutSectionsOnlyFixedEntries() {
    testsupport::TempWorkDir dir;
    auto lists = readWavelengthLists(kFile); // no file
    QCOMPARE(lists[0], QStringList{"635"});
    QCOMPARE(lists[1], QStringList{"520"});
    QCOMPARE(lists[2], QStringList{"445"});
    writeRaw(kFile, "[635]\nM0x_TL=0.9\n");
    lists = readWavelengthLists(kFile);
    QCOMPARE(lists[0], QStringList{"635"});
    QCOMPARE(lists[1], QStringList{"520"});
    QCOMPARE(lists[2], QStringList{"445"});
}

void TestWavelengthLists::listsFollowTheFile() {
    testsupport::TempWorkDir dir;
    // Values are never read: "false", "x" and an empty value still list the key.
    writeRaw(kFile, "[B_Wavelengths]\n450=true\n405=x\n[R_Wavelengths]\n640=true\n650=false\n"
                    "[G_Wavelengths]\n532 nm=\n");
    const auto lists = readWavelengthLists(kFile);
    QCOMPARE(lists[0], (QStringList{"635", "640", "650"}));
    QCOMPARE(lists[1], (QStringList{"520", "532 nm"}));
    QCOMPARE(lists[2], (QStringList{"445", "405", "450"}));
    // The settings layer's own order, whatever it is.
    QSettings s(kFile, QSettings::IniFormat);
    s.beginGroup("B_Wavelengths");
    QCOMPARE(lists[2].mid(1), s.childKeys());
}

void TestWavelengthLists::addingTheFixedTextListsItTwice() {
    testsupport::TempWorkDir dir;
    const WriteResult r = addWavelength(kFile, 0, "635");
    QVERIFY(r.written);
    QVERIFY(r.notices.isEmpty());
    QCOMPARE(readWavelengthLists(kFile)[0], (QStringList{"635", "635"}));
    QCOMPARE(readWavelengthLists(kFile)[1], QStringList{"520"});
}

void TestWavelengthLists::addingTwiceGivesOneKey() {
    testsupport::TempWorkDir dir;
    QVERIFY(addWavelength(kFile, 2, "450").written);
    QVERIFY(addWavelength(kFile, 2, "450").written);
    QCOMPARE(readWavelengthLists(kFile)[2], (QStringList{"445", "450"}));
    const QByteArray raw = readRaw(kFile);
    QCOMPARE(raw.count("450="), 1);
    QVERIFY(raw.contains("[B_Wavelengths]"));
    QSettings s(kFile, QSettings::IniFormat);
    QCOMPARE(s.value("B_Wavelengths/450").toBool(), true);
}

void TestWavelengthLists::addingKeepsEverythingElse() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, kFactory);
    QVERIFY(addWavelength(kFile, 1, "515").written);
    QSettings s(kFile, QSettings::IniFormat);
    QCOMPARE(s.value("635/M0x_TL").toDouble(), 0.9);
    QCOMPARE(s.value("635/M2x_TL").toDouble(), 0.05);
    QCOMPARE(s.value("635/user/M0x_BR").toDouble(), 0.7);
    QCOMPARE(s.value("Power/635_TL").toDouble(), 31.5);
    QCOMPARE(s.value("G_Wavelengths/515").toBool(), true);
    const auto lists = readWavelengthLists(kFile);
    QCOMPARE(lists[0], (QStringList{"635", "650"}));
    QCOMPARE(lists[1], (QStringList{"520", "515"}));
}

void TestWavelengthLists::addedWavelengthIsNotYetCalibrated() {
    testsupport::TempWorkDir dir;
    QVERIFY(addWavelength(kFile, 0, "650").written);
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, {"650", "520", "445"}, 0, false, d);
    QCOMPARE(r.uncalibratedChannels, (QList<int>{0, 1, 2}));
}

void TestWavelengthLists::refusedTextsWriteNothing_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("fileExists");
    QTest::newRow("empty, no file") << QString() << false;
    QTest::newRow("slash, no file") << QStringLiteral("6/50") << false;
    QTest::newRow("empty") << QString() << true;
    QTest::newRow("slash") << QStringLiteral("650/") << true;
    QTest::newRow("backslash") << QStringLiteral("6\\50") << true;
}

void TestWavelengthLists::refusedTextsWriteNothing() {
    QFETCH(QString, text);
    QFETCH(bool, fileExists);
    testsupport::TempWorkDir dir;
    if (fileExists)
        writeRaw(kFile, kFactory);
    const WriteResult r = addWavelength(kFile, 0, text);
    QVERIFY(!r.written);
    QCOMPARE(r.notices.size(), 1);
    QCOMPARE(r.notices[0].kind, Notice::Kind::Warning);
    QCOMPARE(r.notices[0].title, QStringLiteral("Invalid wavelength"));
    if (fileExists)
        QCOMPARE(readRaw(kFile), kFactory);
    else
        QVERIFY(!QFile::exists(kFile));
    QCOMPARE(QDir().entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), fileExists ? 1 : 0);
}

void TestWavelengthLists::filesThatCannotBeKeptAreNeverRewritten_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("damaged");
    QTest::newRow("truncated section") << QByteArray("[635]\nM0x_TL=0.9\n[Pow") << true;
    QTest::newRow("garbage line") << QByteArray("[635]\nM0x_TL=0.9\nthis is not ini\n") << false;
    QTest::newRow("binary") << QByteArray("[635]\nM0x_TL=0.9\n\x01\x02\x00\x05zz=1\n", 24) << false;
    QTest::newRow("truncated key") << QByteArray("[635]\nM0x_TL=0.9\nM1x_T") << false;
    QTest::newRow("truncated quote") << QByteArray("[635]\nM0x_TL=\"0.9\nM1x_TL=0.2\n") << false;
    QTest::newRow("not utf-8") << QByteArray("[635]\nM0x_TL=0.9\n[\xff\xfe]\nA=1\n") << false;
    QTest::newRow("repeated key") << QByteArray("[635]\nM0x_TL=0.9\nM0x_TL=0.8\n") << false;
    for (const auto& [name, bytes] : caltest::handEdits())
        QTest::newRow(name) << bytes << false;
}

void TestWavelengthLists::filesThatCannotBeKeptAreNeverRewritten() {
    QFETCH(QByteArray, content);
    QFETCH(bool, damaged);
    testsupport::TempWorkDir dir;
    writeRaw(kFile, content);
    QCOMPARE(inspectCalibrationFile(kFile),
             damaged ? FileCondition::Damaged : FileCondition::ReadOnlyForUs);

    // Never in place: a damaged file is refused, any other one needs the user's yes.
    const WriteResult r = addWavelength(kFile, 0, "660");
    QVERIFY(!r.written);
    QCOMPARE(r.needsNewFile, !damaged);
    QCOMPARE(readRaw(kFile), content);
    if (damaged) {
        QCOMPARE(r.notices.size(), 1);
        QCOMPARE(r.notices[0].title, QStringLiteral("Calibration file not written"));
        QVERIFY(!addWavelength(kFile, 0, "660", true).written);
        QCOMPARE(readRaw(kFile), content);
        return;
    }
    const QString backup = kFile + ".bak-" + QDate::currentDate().toString(Qt::ISODate);
    QCOMPARE(r.backupName, backup);
    QVERIFY(r.notices.isEmpty());
    QVERIFY(newFileQuestionText(kFile, r).contains(r.reason));

    // With it: the old file kept byte for byte, the new one holds all it read, and more.
    const WriteResult n = addWavelength(kFile, 0, "660", true);
    QVERIFY(n.written);
    QCOMPARE(readRaw(backup), content);
    QCOMPARE(inspectCalibrationFile(kFile), FileCondition::Clean);
    QSettings old(backup, QSettings::IniFormat);
    QSettings now(kFile, QSettings::IniFormat);
    for (const QString& key : old.allKeys()) {
        if (old.value(key).isValid() && !key.split('/').contains(QString()))
            QVERIFY2(now.value(key) == old.value(key), qPrintable(key));
    }
    QCOMPARE(now.value("R_Wavelengths/660").toBool(), true);
    QCOMPARE(n.notices.value(0).kind, Notice::Kind::Log);
    // A second new file keeps the first backup too.
    writeRaw(kFile, content);
    QCOMPARE(addWavelength(kFile, 0, "670", true).backupName, backup + "-2");
    QCOMPARE(readRaw(backup + "-2"), content);
}

void TestWavelengthLists::foreignButCleanFilesAreWritable() {
    testsupport::TempWorkDir dir;
    // BOM, CRLF, quoted values and sub-keys: all of it survives a write in place.
    writeRaw(kFile, "\xEF\xBB\xBF[635]\r\nM0x_TL = \"0.9\"\r\n"
                    "user\\M1x_TR=0.25\r\n\r\n[635\\user]\r\nM2x_BR=0.125\r\n");
    QCOMPARE(inspectCalibrationFile(kFile), FileCondition::Clean);
    const WriteResult r = addWavelength(kFile, 0, "650");
    QVERIFY2(r.written, qPrintable(r.notices.value(0).text));
    QCOMPARE(QDir().entryList(QDir::Files), QStringList{kFile});
    QSettings s(kFile, QSettings::IniFormat);
    QCOMPARE(s.value("635/M0x_TL").toDouble(), 0.9);
    QCOMPARE(s.value("635/user/M1x_TR").toDouble(), 0.25);
    QCOMPARE(s.value("635/user/M2x_BR").toDouble(), 0.125);
    QCOMPARE(s.value("R_Wavelengths/650").toBool(), true);

    // A value the settings layer would not read back as it read it: refused, file kept.
    const QByteArray lossy("[635]\nM0x_TL=0, a\0b\n", 20);
    writeRaw(kFile, lossy);
    QVERIFY(!addWavelength(kFile, 0, "650", true).written);
    QCOMPARE(readRaw(kFile), lossy);

    // A name that is taken by a folder cannot be read: nothing is attempted.
    const QString folder = calibrationFileName(8);
    QVERIFY(QDir().mkdir(folder));
    QCOMPARE(inspectCalibrationFile(folder), FileCondition::Unreadable);
    QVERIFY(!addWavelength(folder, 0, "650").written);
    QVERIFY(QFileInfo(folder).isDir());
    QCOMPARE(inspectCalibrationFile(calibrationFileName(9)), FileCondition::Missing);
}

void TestWavelengthLists::dialogTexts() {
    QCOMPARE(addWavelengthTitle(0), QStringLiteral("Enter Wavelength (R)"));
    QCOMPARE(addWavelengthTitle(2), QStringLiteral("Enter Wavelength (B)"));
    QCOMPARE(proposedWavelength(1), QStringLiteral("515"));
    QCOMPARE(addWavelengthLabel(), QStringLiteral("Enter the wavelength you want"));
    QCOMPARE(wavelengthListSection(1), QStringLiteral("G_Wavelengths"));
}

QTEST_GUILESS_MAIN(TestWavelengthLists)
#include "tst_wavelengthlists.moc"
