// The calibration manager's file changes: an import is checked before anything changes
// and keeps the old file, a reset touches one corner, and export then import gives the
// very same bytes back.

#include "CalibrationManager.h"
#include "CalibrationTestFiles.h"

#include <QDate>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>

namespace cal = lumetra::calibration;
using caltest::goodFile;
using caltest::readRaw;
using caltest::writeRaw;

namespace {

const std::array<QString, 3> kFixed = {QStringLiteral("635"), QStringLiteral("520"),
                                       QStringLiteral("445")};

cal::CalibrationData load(const QString& file, const std::array<QString, 3>& wl = kFixed) {
    cal::CalibrationData d;
    const cal::LoadResult r = cal::loadCalibration(file, wl, 0, false, d);
    if (r.singularCorner >= 0 || !r.problems.isEmpty())
        qFatal("test file does not load cleanly");
    return d;
}

QStringList backups(const QDir& dir) {
    return dir.entryList({QStringLiteral("*.bak-*")}, QDir::Files);
}

} // namespace

class TestCalibrationManager : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString m_file; // the camera's file

    QString path(const QString& name) const { return m_dir.filePath(name); }

private slots:
    void init() {
        QVERIFY(m_dir.isValid());
        for (const QString& f : QDir(m_dir.path()).entryList(QDir::Files))
            QFile::remove(path(f));
        m_file = path(QStringLiteral("_calibration_40400077.kvtcal"));
        writeRaw(m_file, goodFile());
    }

    void damagedImportChangesNothing_data() {
        QTest::addColumn<QByteArray>("bytes");
        QByteArray good = goodFile();
        QTest::newRow("not an ini file") << QByteArray("[635\nM0x_TL=1\n");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("no keys") << QByteArray("[635]\n\n");
        QTest::newRow("factor not positive") << QByteArray(good).replace("635_TR=31", "635_TR=0");
        QTest::newRow("factor text") << QByteArray(good).replace("445_BR=41.5", "445_BR=abc");
        QTest::newRow("slash section") << good + "[650/x]\nM0x_TL=1\n";
        // The listed 650 has 520's column in the bottom-left corner: red and green alike.
        QTest::newRow("singular with a listed wavelength")
            << good + "[650]\nM0x_BL=0.09\nM1x_BL=0.976\nM2x_BL=0.32\n";
    }
    void damagedImportChangesNothing() {
        QFETCH(QByteArray, bytes);
        const QString candidate = path(QStringLiteral("chosen.kvtcal"));
        writeRaw(candidate, bytes);
        const cal::CalibrationData before = load(m_file);

        const cal::FileChange r = cal::importCalibration(m_file, candidate);
        QVERIFY(!r.done);
        QCOMPARE(r.notices.size(), 1);
        QCOMPARE(r.notices[0].kind, cal::Notice::Kind::Warning);
        QVERIFY2(r.notices[0].text.contains(QStringLiteral("has not been changed")),
                 qPrintable(r.notices[0].text));
        QCOMPARE(readRaw(m_file), goodFile());
        QVERIFY(backups(QDir(m_dir.path())).isEmpty());
        const cal::CalibrationData after = load(m_file);
        QCOMPARE(memcmp(&before, &after, sizeof before), 0);
    }

    void goodImportReplacesAndKeepsBackup() {
        QByteArray chosen = goodFile();
        chosen.replace("635_TL=30.5", "635_TL=12.5").replace("[R_Wavelengths]\n650=true", "");
        chosen += "[R_Wavelengths]\n638=true\n[638]\nM0x_TL=0.9\nM1x_TL=0.3\nM2x_TL=0.05\n";
        const QString candidate = path(QStringLiteral("chosen.kvtcal"));
        writeRaw(candidate, chosen);

        const cal::FileChange r = cal::importCalibration(m_file, candidate);
        QVERIFY(r.done);
        QCOMPARE(readRaw(m_file), chosen);
        QCOMPARE(r.backupName,
                 m_file + QStringLiteral(".bak-") + QDate::currentDate().toString(Qt::ISODate));
        QCOMPARE(readRaw(r.backupName), goodFile());
        QCOMPARE(load(m_file).powerFactor[0][0], 12.5);
        QCOMPARE(cal::readWavelengthLists(m_file)[0], QStringList({"635", "638"}));
        // A second import the same day keeps the first backup.
        writeRaw(candidate, goodFile());
        const cal::FileChange again = cal::importCalibration(m_file, candidate);
        QVERIFY(again.done);
        QCOMPARE(readRaw(r.backupName), goodFile());
        QCOMPARE(readRaw(again.backupName), chosen);
    }

    void resetRestoresOneCorner() {
        // 635 calibrated by the user in TL and BR, with the beam analysis's values in TL.
        QByteArray bytes = goodFile();
        bytes.replace("user\\M0x_BR=0.8\n",
                      "user\\M0x_BR=0.8\nuser\\M1x_BR=0.2\nuser\\M2x_BR=0.1\n"
                      "user\\M0x_TL=0.7\nuser\\M1x_TL=0.6\nuser\\M2x_TL=0.3\n");
        bytes += "[ColumnIso11146]\n635_M0x_TL=0.7\n635_M1x_TL=0.6\n635_M2x_TL=0.3\n"
                 "[PowerIso11146]\n635_TL=20\n635_BR=22\n";
        writeRaw(m_file, bytes);
        const cal::CalibrationData before = load(m_file);

        const cal::WriteResult r = cal::resetCornerToFactory(m_file, QStringLiteral("635"), 0);
        QVERIFY(r.written);
        QCOMPARE(readRaw(r.backupName), bytes);
        const cal::CalibrationData after = load(m_file);
        // TL: the factory column of the file and the start factors.
        const double factory635[3] = {0.92, 0.25, 0.04};
        for (int row = 0; row < 3; ++row)
            QCOMPARE(after.colorMatrix[0][row][0], factory635[row]);
        QCOMPARE(after.powerFactor[0][0], 29.0);
        QCOMPARE(after.analysisFactor[0][0], 29.0);
        // Every other corner and channel exactly as before, the factors BL took from TL too.
        for (int k = 1; k < 4; ++k) {
            QCOMPARE(
                memcmp(after.colorMatrix[k], before.colorMatrix[k], sizeof after.colorMatrix[k]),
                0);
            for (int c = 0; c < 3; ++c) {
                QCOMPARE(after.powerFactor[c][k], before.powerFactor[c][k]);
                QCOMPARE(after.analysisFactor[c][k], before.analysisFactor[c][k]);
            }
        }
        QCOMPARE(before.powerFactor[0][2], 30.5);
        for (int row = 0; row < 3; ++row)
            for (int c = 1; c < 3; ++c)
                QCOMPARE(after.colorMatrix[0][row][c], before.colorMatrix[0][row][c]);

        // Nothing left to reset: refused, no second backup.
        const cal::WriteResult again = cal::resetCornerToFactory(m_file, QStringLiteral("635"), 0);
        QVERIFY(!again.written);
        QCOMPARE(backups(QDir(m_dir.path())).size(), 1);
    }

    void exportThenImportRoundTrips() {
        const QString exported = path(QStringLiteral("sent/copy.kvtcal"));
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("sent")));
        QVERIFY(cal::exportCalibration(m_file, exported).done);
        QVERIFY(cal::resetCornerToFactory(m_file, QStringLiteral("635"), 3).written);
        QVERIFY(readRaw(m_file) != goodFile());

        QVERIFY(cal::importCalibration(m_file, exported).done);
        QCOMPARE(readRaw(m_file), goodFile());
        QCOMPARE(readRaw(exported), goodFile());
        // Nothing to export, or nowhere to put it: said, and nothing written.
        const cal::FileChange none = cal::exportCalibration(path(QStringLiteral("none.kvtcal")),
                                                            path(QStringLiteral("out.kvtcal")));
        QVERIFY(!none.done && !none.notices.isEmpty());
        QVERIFY(!cal::exportCalibration(m_file, path(QStringLiteral("no/dir/x.kvtcal"))).done);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("out.kvtcal"))));
    }

    void overviewShowsWhatTheFileHolds() {
        const cal::CalibrationOverview o = cal::readCalibrationOverview(m_file);
        QStringList order;
        for (const cal::CornerRow& row : o.rows)
            if (row.corner == 0)
                order << row.wavelength;
        QCOMPARE(order, QStringList({"445", "450", "520", "635", "650"}));
        auto row = [&](const QString& wl, int corner) {
            for (const cal::CornerRow& r : o.rows)
                if (r.wavelength == wl && r.corner == corner)
                    return r;
            return cal::CornerRow{};
        };
        const cal::CornerRow br635 = row(QStringLiteral("635"), 3);
        QCOMPARE(br635.user[0], std::optional<double>(0.8));
        QVERIFY(!br635.user[1]);
        QCOMPARE(br635.factory[2], std::optional<double>(0.07));
        QVERIFY(br635.hasUserValues());
        QCOMPARE(row(QStringLiteral("635"), 1).powerFactor, std::optional<double>(31));
        QVERIFY(!row(QStringLiteral("635"), 2).hasUserValues());
        QCOMPARE(row(QStringLiteral("650"), 0).listedIn, QList<int>{0});
        QVERIFY(!row(QStringLiteral("650"), 0).calibrated);
        QCOMPARE(row(QStringLiteral("445"), 0).listedIn, QList<int>{2});
    }
};

QTEST_GUILESS_MAIN(TestCalibrationManager)
#include "tst_calibrationmanager.moc"
