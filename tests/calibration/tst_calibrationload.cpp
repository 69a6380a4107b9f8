// Loading a calibration for three wavelengths: key precedence, defaults, raw mode, the
// inversion and its stop rule, the notices in order and their exact texts, and files that
// are hand-edited, damaged or hold what cannot be used.

#include "Calibration.h"
#include "CalibrationTestFiles.h"
#include "TestSupport.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtTest>

#include <cstring>

using namespace lumetra::calibration;
using caltest::writeRaw;

namespace {

const std::array<QString, 3> kStd = {QStringLiteral("635"), QStringLiteral("520"),
                                     QStringLiteral("445")};
const QString kFile = QStringLiteral("_calibration_0.kvtcal");

QList<Notice::Kind> kinds(const Notices& ns) {
    QList<Notice::Kind> out;
    for (const auto& n : ns)
        out << n.kind;
    return out;
}

Notices ofKind(const Notices& ns, Notice::Kind kind) {
    Notices out;
    for (const auto& n : ns)
        if (n.kind == kind)
            out << n;
    return out;
}

// Every corner's matrix times its unmixing coefficients is the identity.
void verifyInverse(const CalibrationData& d, int corner, double tol) {
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            double s = 0;
            for (int m = 0; m < 3; ++m)
                s += d.unmixCoef[3 * i + m][corner] * d.colorMatrix[corner][m][j];
            QVERIFY2(std::fabs(s - (i == j ? 1.0 : 0.0)) <= tol,
                     qPrintable(QStringLiteral("corner %1 (%2,%3) = %4")
                                    .arg(corner)
                                    .arg(i)
                                    .arg(j)
                                    .arg(s, 0, 'g', 17)));
        }
}

void fillSentinel(CalibrationData& d) {
    for (int e = 0; e < 9; ++e)
        for (int k = 0; k < 4; ++k)
            d.unmixCoef[e][k] = 100 + 10 * e + k;
}

} // namespace

class TestCalibrationLoad : public QObject {
    Q_OBJECT
private slots:
    void fileName();
    void missingWavelengthsWarnInOrderAndUseDefaults();
    void noWarningWhileACalibrationRuns();
    void userKeyOverridesOneRowAndCornerOnly();
    void sectionWithOnlyUserKeysCountsAsCalibrated();
    void powerFallsBackToTopLeft();
    void rawModeGivesIdentityAndUnitFactors();
    void singularCornerStopsInversion();
    void wavelengthTextIsUsedVerbatim();
    void nonNumbersReadAsZeroAndUnusableFactorsAsMissing();
    void sameWavelengthInTwoChannels();
    void acceptsForeignIniWriters();
    void handEditedFilesReadLikeTheOriginal();
    void filesThatCannotBeReadAreReportedOnce();
    void sectionsThatCannotBeReadAsWrittenAreReported();
    void nearlySingularMatricesAreRefused();
    void inverseOfRandomMatrices();
    void logTexts();
};

void TestCalibrationLoad::fileName() {
    QCOMPARE(calibrationFileName(123), QStringLiteral("_calibration_123.kvtcal"));
    QCOMPARE(calibrationFileName(0), QStringLiteral("_calibration_0.kvtcal"));
    QCOMPARE(calibrationFileName(40012345), QStringLiteral("_calibration_40012345.kvtcal"));
    // By the camera's text: numbers as before, other serials by their text, made safe.
    QCOMPARE(calibrationFileName(QStringLiteral("0040012345")), calibrationFileName(40012345));
    QCOMPARE(calibrationFileName(QString()), calibrationFileName(0));
    QCOMPARE(calibrationFileName(QStringLiteral(" a/b\\c:d*e?\"<>|\x01 ")),
             QStringLiteral("_calibration_a_b_c_d_e______.kvtcal"));
    QCOMPARE(serialName(QString(200, QLatin1Char('x'))).size(), 64);
}

void TestCalibrationLoad::missingWavelengthsWarnInOrderAndUseDefaults() {
    testsupport::TempWorkDir dir;
    // No file at all, and distinct texts so the order of the warnings is visible.
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, {"638", "521", "446"}, 0, false, d);
    QCOMPARE(kinds(r.notices),
             (QList<Notice::Kind>{Notice::Kind::Warning, Notice::Kind::Warning,
                                  Notice::Kind::Warning, Notice::Kind::Log, Notice::Kind::Log,
                                  Notice::Kind::Log, Notice::Kind::Log}));
    QCOMPARE(r.notices[0].title, QStringLiteral("Wavelength not calibrated"));
    QCOMPARE(r.notices[0].text, QStringLiteral("638nm is not calibrated:\n- Please, start the "
                                               "calibration on each corner for the "
                                               "corresponding wavelength."));
    QVERIFY(r.notices[1].text.startsWith(QStringLiteral("521nm is not calibrated:")));
    QVERIFY(r.notices[2].text.startsWith(QStringLiteral("446nm is not calibrated:")));
    QCOMPARE(r.uncalibratedChannels, (QList<int>{0, 1, 2}));
    QCOMPARE(r.singularCorner, -1);

    const double def[3][3] = {{0.978, 0.074, 0.027}, {0.209, 0.956, 0.064}, {0.039, 0.286, 0.998}};
    for (int k = 0; k < 4; ++k) {
        for (int row = 0; row < 3; ++row)
            for (int col = 0; col < 3; ++col)
                QCOMPARE(d.colorMatrix[k][row][col], def[row][col]);
        verifyInverse(d, k, 1e-12);
        QCOMPARE(d.powerFactor[0][k], 29.0);
        QCOMPARE(d.powerFactor[1][k], 59.0);
        QCOMPARE(d.powerFactor[2][k], 43.0);
    }
    // Reading never creates the file.
    QVERIFY(!QFile::exists(kFile));
}

void TestCalibrationLoad::noWarningWhileACalibrationRuns() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[520]\nM0x_TL=0.5\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, true, d);
    QVERIFY(ofKind(r.notices, Notice::Kind::Warning).isEmpty());
    // The uncalibrated channels still get the default column.
    QCOMPARE(r.uncalibratedChannels, (QList<int>{0, 2}));
    QCOMPARE(d.colorMatrix[3][2][0], 0.039);
    QCOMPARE(d.colorMatrix[0][0][1], 0.5);
    QCOMPARE(ofKind(r.notices, Notice::Kind::Log).size(), 4);
}

void TestCalibrationLoad::userKeyOverridesOneRowAndCornerOnly() {
    testsupport::TempWorkDir dir;
    // Factory column for every corner, then one user value for camera green in TR.
    writeRaw(kFile, "[635]\n"
                    "M0x_TL=0.91\nM1x_TL=0.11\nM2x_TL=0.01\n"
                    "M0x_TR=0.92\nM1x_TR=0.12\nM2x_TR=0.02\n"
                    "M0x_BL=0.93\nM1x_BL=0.13\nM2x_BL=0.03\n"
                    "M0x_BR=0.94\nM1x_BR=0.14\nM2x_BR=0.04\n"
                    "user\\M1x_TR=0.5\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
    // "Loads R" comes first, then the warnings of the two uncalibrated channels.
    QCOMPARE(r.notices.value(0), (Notice{Notice::Kind::Debug, {}, QStringLiteral("Loads R")}));
    QCOMPARE(ofKind(r.notices, Notice::Kind::Debug).size(), 1);
    QCOMPARE(r.notices.value(1).text.left(3), QStringLiteral("520"));
    QCOMPARE(r.notices.value(2).text.left(3), QStringLiteral("445"));
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(d.colorMatrix[k][0][0], 0.91 + 0.01 * k);
        QCOMPARE(d.colorMatrix[k][1][0], k == 1 ? 0.5 : 0.11 + 0.01 * k);
        QCOMPARE(d.colorMatrix[k][2][0], 0.01 + 0.01 * k);
        // Green and blue columns keep their defaults.
        QCOMPARE(d.colorMatrix[k][1][1], 0.956);
        QCOMPARE(d.colorMatrix[k][2][2], 0.998);
        verifyInverse(d, k, 1e-12);
    }
}

void TestCalibrationLoad::sectionWithOnlyUserKeysCountsAsCalibrated() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[520]\nuser\\M0x_BL=0.1\nuser\\M1x_BL=0.8\nuser\\M2x_BL=0.3\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
    QCOMPARE(r.uncalibratedChannels, (QList<int>{0, 2}));
    const Notices warnings = ofKind(r.notices, Notice::Kind::Warning);
    QCOMPARE(warnings.size(), 2);
    QVERIFY(warnings[0].text.startsWith(QStringLiteral("635nm")));
    QVERIFY(warnings[1].text.startsWith(QStringLiteral("445nm")));
    QCOMPARE(d.colorMatrix[2][0][1], 0.1);
    QCOMPARE(d.colorMatrix[2][1][1], 0.8);
    QCOMPARE(d.colorMatrix[2][2][1], 0.3);
    for (int k : {0, 1, 3}) {
        QCOMPARE(d.colorMatrix[k][0][1], 0.074);
        QCOMPARE(d.colorMatrix[k][1][1], 0.956);
        QCOMPARE(d.colorMatrix[k][2][1], 0.286);
    }
}

void TestCalibrationLoad::powerFallsBackToTopLeft() {
    testsupport::TempWorkDir dir;
    // The beam analysis's factors are read per corner alone, never from [Power].
    writeRaw(kFile, "[Power]\n635_TL=12.5\n520_TR=7\n[PowerIso11146]\n635_TL=31\n445_BR=40\n");
    CalibrationData d;
    loadCalibration(kFile, kStd, 0, false, d);
    for (int k = 0; k < 4; ++k) {
        QCOMPARE(d.powerFactor[0][k], 12.5);
        QCOMPARE(d.powerFactor[1][k], k == 1 ? 7.0 : 59.0);
        QCOMPARE(d.powerFactor[2][k], 43.0);
        QCOMPARE(d.analysisFactor[0][k], k == 0 ? 31.0 : 29.0);
        QCOMPARE(d.analysisFactor[1][k], 59.0);
        QCOMPARE(d.analysisFactor[2][k], k == 3 ? 40.0 : 43.0);
    }
    QCOMPARE(powerLogLines(d), (QStringList{"Power Loaded Top Left\t12.5\t59\t43",
                                            "Power Loaded Top Right\t12.5\t7\t43",
                                            "Power Loaded Bot Left\t12.5\t59\t43",
                                            "Power Loaded Bot Right\t12.5\t59\t43"}));
}

void TestCalibrationLoad::rawModeGivesIdentityAndUnitFactors() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[635]\nM0x_TL=0.7\nM1x_TL=0.2\n[Power]\n635_TL=12.5\n445_BR=3\n");
    CalibrationData d;
    fillSentinel(d);
    const LoadResult r = loadCalibration(kFile, kStd, -1, true, d);
    QCOMPARE(r.singularCorner, -1);
    const Notices logs = ofKind(r.notices, Notice::Kind::Log);
    QCOMPARE(logs.size(), 4);
    const char* heads[4] = {"Top Left", "Top Right", "Bot Left", "Bot Right"};
    for (int k = 0; k < 4; ++k) {
        for (int e = 0; e < 9; ++e)
            QCOMPARE(d.unmixCoef[e][k], (e % 4 == 0) ? 1.0 : 0.0);
        for (int c = 0; c < 3; ++c)
            QVERIFY(d.powerFactor[c][k] == 1.0 && d.analysisFactor[c][k] == 1.0);
        QCOMPARE(logs[k].text, QStringLiteral("Cal Loaded ") + QLatin1String(heads[k]) +
                                   QStringLiteral("\n\t1\t0\t0\n\t0\t1\t0\n\t0\t0\t1\n"));
    }
}

void TestCalibrationLoad::singularCornerStopsInversion() {
    testsupport::TempWorkDir dir;
    // In TR the red and green wavelengths have identical columns; every value is an exact
    // binary fraction, so the determinant is exactly zero. BL would be fine but is never
    // reached.
    writeRaw(kFile, "[635]\nM0x_TR=0.5\nM1x_TR=0.25\nM2x_TR=0.125\n"
                    "[520]\nM0x_TR=0.5\nM1x_TR=0.25\nM2x_TR=0.125\nM0x_BL=0.0625\n"
                    "[446]\nM0x_TR=0\nM1x_TR=0\nM2x_TR=1\n");
    CalibrationData d;
    fillSentinel(d);
    const LoadResult r = loadCalibration(kFile, {"635", "520", "446"}, 0, false, d);
    QCOMPARE(r.singularCorner, 1);
    const Notices critical = ofKind(r.notices, Notice::Kind::Critical);
    QCOMPARE(critical.size(), 1);
    QCOMPARE(critical[0].title, QStringLiteral("Invalid parameters"));
    QCOMPARE(critical[0].text,
             QStringLiteral("Invalid color matrix, please retry the calibration"));
    // Order: debug, the critical box, then the four log entries.
    QCOMPARE(kinds(r.notices),
             (QList<Notice::Kind>{Notice::Kind::Debug, Notice::Kind::Critical, Notice::Kind::Log,
                                  Notice::Kind::Log, Notice::Kind::Log, Notice::Kind::Log}));
    verifyInverse(d, 0, 1e-12);
    for (int k = 1; k < 4; ++k)
        for (int e = 0; e < 9; ++e)
            QCOMPARE(d.unmixCoef[e][k], 100.0 + 10 * e + k);
    // The log still shows what the corners hold.
    QCOMPARE(r.notices[3].text, QStringLiteral("Cal Loaded Top Right\n\t101\t111\t121\n\t131\t141\t"
                                               "151\n\t161\t171\t181\n"));
    // A zero column (all user keys 0) is caught the same way.
    writeRaw(kFile, "[635]\nuser\\M0x_TL=0\nuser\\M1x_TL=0\nuser\\M2x_TL=0\n");
    fillSentinel(d);
    const LoadResult z = loadCalibration(kFile, kStd, 0, false, d);
    QCOMPARE(z.singularCorner, 0);
    // The warnings come before the critical box.
    QCOMPARE(kinds(z.notices).mid(0, 4),
             (QList<Notice::Kind>{Notice::Kind::Debug, Notice::Kind::Warning, Notice::Kind::Warning,
                                  Notice::Kind::Critical}));
    QCOMPARE(d.unmixCoef[4][0], 140.0);
}

void TestCalibrationLoad::wavelengthTextIsUsedVerbatim() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[635]\nM0x_TL=0.5\n[Power]\n635_TL=5\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, {"635 ", "520", "445"}, 0, false, d);
    const Notices warnings = ofKind(r.notices, Notice::Kind::Warning);
    QCOMPARE(warnings.size(), 3);
    QVERIFY(warnings[0].text.startsWith(QStringLiteral("635 nm is not calibrated")));
    QCOMPARE(d.colorMatrix[0][0][0], 0.978);
    QCOMPARE(d.powerFactor[0][0], 29.0);
    // A text with a separator can never name a section, even if a nested group exists.
    writeRaw(kFile, "[6]\n50\\M0x_TL=0.5\n");
    const LoadResult s = loadCalibration(kFile, {"6/50", "520", "445"}, 0, false, d);
    QCOMPARE(s.uncalibratedChannels, (QList<int>{0, 1, 2}));
    QCOMPARE(d.colorMatrix[0][0][0], 0.978);
}

void TestCalibrationLoad::nonNumbersReadAsZeroAndUnusableFactorsAsMissing() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[635]\nM0x_TL=abc\nuser\\M1x_TR=nan\nM2x_BL=inf\nM0x_BR=1,2\n"
                    "[520]\nM1x_TL=0x10\n[Power]\n635_TL=x\n520_TL=\n445_TL=20\n445_TR=0\n"
                    "445_BL=-3\n445_BR=1e-320\n635_BR=nan\n[PowerIso11146]\n520_BL=-1\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
    QCOMPARE(d.colorMatrix[0][0][0], 0.0);
    QCOMPARE(d.colorMatrix[1][1][0], 0.0);
    QCOMPARE(d.colorMatrix[2][2][0], 0.0);
    QCOMPARE(d.colorMatrix[3][0][0], 0.0);
    QCOMPARE(d.colorMatrix[0][1][1], 0.0);
    for (int k = 0; k < 4; ++k)
        for (int e = 0; e < 9; ++e)
            QVERIFY(std::isfinite(d.unmixCoef[e][k]));
    // A factor that is no positive number is missing: its start value, TL's for the others.
    for (int k = 0; k < 4; ++k)
        QVERIFY(d.powerFactor[0][k] == 29 && d.powerFactor[1][k] == 59 &&
                d.powerFactor[2][k] == 20 && d.analysisFactor[1][k] == 59);
    QCOMPARE(r.problems.size(), 7);
    QCOMPARE(r.problems.last(), QStringLiteral("The calibration file _calibration_0.kvtcal holds "
                                               "the beam analysis power factor 520_BL = \"-1\", "
                                               "which is not a positive number; 59 is used "
                                               "instead."));
    QCOMPARE(r.problems[0], QStringLiteral("The calibration file _calibration_0.kvtcal holds the "
                                           "power factor 635_TL = \"x\", which is not a positive "
                                           "number; 29 is used instead."));
    // After the one "not calibrated" box (no [445]), a box and a log line for each.
    const Notices warnings = ofKind(r.notices, Notice::Kind::Warning);
    QCOMPARE(warnings.size(), 1 + 7);
    QVERIFY(warnings[1].fileProblem && warnings[1].title == "Calibration file problem");
    QCOMPARE(ofKind(r.notices, Notice::Kind::Log).size(), 7 + 4);
}

void TestCalibrationLoad::sameWavelengthInTwoChannels() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[635]\nM0x_TL=0.5\nM1x_TL=0.25\nM2x_TL=0.125\n"
                    "[446]\nM0x_TL=0\nM1x_TL=0\nM2x_TL=1\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, {"635", "635", "446"}, 0, false, d);
    QVERIFY(r.uncalibratedChannels.isEmpty());
    QCOMPARE(d.colorMatrix[0][0][1], 0.5);
    QCOMPARE(d.colorMatrix[0][1][1], 0.25);
    QCOMPARE(r.singularCorner, 0);
}

void TestCalibrationLoad::acceptsForeignIniWriters() {
    testsupport::TempWorkDir dir;
    // BOM, CRLF, quoted values, spaces around '=', a [635\user] section and a sub-key.
    writeRaw(kFile, "\xEF\xBB\xBF[635]\r\nM0x_TL = \"0.5\"\r\nM1x_TL=0.25 \r\n"
                    "user\\M2x_TL=\"0.125\"\r\n\r\n[635\\user]\r\nM0x_BR=0.75\r\n"
                    "[Power]\r\n635_TR=\"2.5\"\r\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
    QCOMPARE(r.uncalibratedChannels, (QList<int>{1, 2}));
    QCOMPARE(d.colorMatrix[0][0][0], 0.5);
    QCOMPARE(d.colorMatrix[0][1][0], 0.25);
    QCOMPARE(d.colorMatrix[0][2][0], 0.125);
    QCOMPARE(d.colorMatrix[3][0][0], 0.75);
    QCOMPARE(d.powerFactor[0][1], 2.5);
    QCOMPARE(d.powerFactor[0][0], 29.0);
}

void TestCalibrationLoad::handEditedFilesReadLikeTheOriginal() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, caltest::goodFile());
    CalibrationData good;
    const LoadResult g = loadCalibration(kFile, kStd, 0, false, good);
    QCOMPARE(kinds(g.notices).count(Notice::Kind::Warning), 0);
    QCOMPARE(good.colorMatrix[3][0][0], 0.8);
    QCOMPARE(good.powerFactor[2][3], 41.5);
    for (const auto& [name, bytes] : caltest::handEdits()) {
        writeRaw(kFile, bytes);
        CalibrationData d;
        const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
        QVERIFY2(kinds(r.notices) == kinds(g.notices), name);
        QVERIFY2(std::memcmp(&d, &good, sizeof d) == 0, name);
    }
}

void TestCalibrationLoad::filesThatCannotBeReadAreReportedOnce() {
    testsupport::TempWorkDir dir;
    const QList<QPair<QByteArray, QString>> files = {
        {"[635]\nM0x_TL=0.5\n[Pow", "is not a valid ini file"},
        {"", "is empty"},
        {"; nothing but a comment\n[635]\n", "holds no calibration data"},
        {QByteArray(kMaxCalibrationFileBytes + 1, '\n'), "is larger than 2 MB (2097153 bytes)"}};
    for (const auto& [bytes, detail] : files) {
        writeRaw(kFile, bytes);
        CalibrationData d;
        const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
        // One warning and its log line instead of three "not calibrated" boxes; defaults.
        QCOMPARE(
            kinds(r.notices).mid(0, 3),
            (QList<Notice::Kind>{Notice::Kind::Warning, Notice::Kind::Log, Notice::Kind::Log}));
        QCOMPARE(r.notices[0].text, "The calibration file _calibration_0.kvtcal " + detail +
                                        ".\nThe default calibration is used until it is "
                                        "repaired or removed.");
        QCOMPARE(d.colorMatrix[2][1][0], 0.209);
    }
    QVERIFY(QFile::remove(kFile) && QDir().mkdir(kFile));
    CalibrationData d;
    QCOMPARE(loadCalibration(kFile, kStd, 0, false, d).conditionDetail, "is not a regular file");
}

void TestCalibrationLoad::sectionsThatCannotBeReadAsWrittenAreReported() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[635/x]\nM0x_TL=0.5\n[635\\user]\nM1x_TL=0.25\n[635]\nuser\\a\\M0x_BR=1\n"
                    "[R_Wavelengths]\n6/50=true\n650=true\n[Power]\n635\\x_TL=3\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
    QStringList where;
    for (const QString& p : r.problems)
        where << p.section(QStringLiteral(" has "), 1).section(QStringLiteral(" whose"), 0, 0);
    QCOMPARE(where,
             (QStringList{"a section [635/user/a]", "a section [635/x]",
                          "an entry 635/x_TL in [Power]", "an entry 6/50 in [R_Wavelengths]"}));
    QCOMPARE(r.notices[0].text, r.problems[0]);
    QCOMPARE(d.colorMatrix[0][1][0], 0.25); // the user sub-section is read, silently
}

void TestCalibrationLoad::nearlySingularMatricesAreRefused() {
    testsupport::TempWorkDir dir;
    // Two columns equal up to rounding: the determinant is about 1e-18, not zero.
    writeRaw(kFile, "[635]\nM0x_TL=0.1\nM1x_TL=0.7\nM2x_TL=0.3\n"
                    "[520]\nM0x_TL=0.30000000000000004\nM1x_TL=2.1\nM2x_TL=0.9\n");
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, false, d);
    QVERIFY(determinant3x3(d.colorMatrix[0]) != 0.0);
    QCOMPARE(r.singularCorner, 0);
    QCOMPARE(ofKind(r.notices, Notice::Kind::Critical).size(), 1);
    // Scale alone does not matter.
    const double scaled[3][3] = {{1e-9, 0, 0}, {0, 2e-9, 0}, {0, 1e-9, 3e-9}};
    double inv[3][3];
    QVERIFY(invertible3x3(scaled, inv));
}

void TestCalibrationLoad::inverseOfRandomMatrices() {
    QRandomGenerator rng(20240605);
    for (int n = 0; n < 2000; ++n) {
        double a[3][3];
        // Diagonally dominant: well conditioned whatever the off-diagonal draws are.
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                a[i][j] = (i == j ? 3.0 : 0.0) + rng.bounded(2.0) - 1.0;
        const double scale = std::pow(10.0, rng.bounded(6.0) - 3.0);
        for (auto& row : a)
            for (double& v : row)
                v *= scale;
        double inv[3][3];
        QVERIFY(invert3x3(a, inv));
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double s = 0;
                for (int m = 0; m < 3; ++m)
                    s += inv[i][m] * a[m][j];
                QVERIFY(std::fabs(s - (i == j ? 1.0 : 0.0)) <= 1e-12);
            }
    }
    // No tolerance band: only an exactly zero determinant is refused.
    const double tiny[3][3] = {{1e-102, 0, 0}, {0, 1e-102, 0}, {0, 0, 1e-102}};
    double tinyInv[3][3];
    QVERIFY(determinant3x3(tiny) != 0.0);
    QVERIFY(invert3x3(tiny, tinyInv));
    QCOMPARE(tinyInv[1][1], 1e102);
    const double flat[3][3] = {{1, 2, 3}, {2, 4, 6}, {0, 0, 1}};
    QVERIFY(!invert3x3(flat, tinyInv));
    QCOMPARE(tinyInv[1][1], 1e102); // untouched

    // Through the corner routine: elements stored row-major per corner.
    double m[4][3][3] = {};
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 3; ++i)
            m[k][i][i] = 1 << (k + i);
    m[2][0][2] = 4;
    double coef[9][4] = {};
    QCOMPARE(invertColorMatrices(m, coef), -1);
    QCOMPARE(coef[0][3], 1.0 / 8);
    QCOMPARE(coef[4][3], 1.0 / 16);
    QCOMPARE(coef[8][3], 1.0 / 32);
    QCOMPARE(coef[2][2], -4.0 / (4 * 16)); // row 0, column 2 of the inverse
    QCOMPARE(coef[6][2], 0.0);
}

void TestCalibrationLoad::logTexts() {
    CalibrationData d;
    const double values[9] = {1.0 / 3, -2.5, 1234567, 0, 1e-7, 0.1 + 0.2, 1, -0.000123456789, 42};
    for (int e = 0; e < 9; ++e)
        d.unmixCoef[e][2] = values[e];
    QCOMPARE(calibrationLogText(d, 2),
             QStringLiteral("Cal Loaded Bot Left\n\t0.333333\t-2.5\t1.23457e+06\n\t0\t1e-07\t0.3\n"
                            "\t1\t-0.000123457\t42\n"));
    QCOMPARE(calibrateButtonText("650"), QStringLiteral("Calibrate 650"));
    QCOMPARE(maxLabelText("650"), QStringLiteral("Max 650 = "));
    d.powerFactor[1][3] = 1.0 / 7;
    QCOMPARE(powerLogLines(d).value(3), QStringLiteral("Power Loaded Bot Right\t0\t0.142857\t0"));
}

QTEST_GUILESS_MAIN(TestCalibrationLoad)
#include "tst_calibrationload.moc"
