// The per-frame step of a power calibration: normalisation, the user keys of the selected
// corner, the five-sample count and the power factor at completion, run against the
// loader the way the window chains them.

#include "Calibration.h"
#include "CalibrationTestFiles.h"
#include "TestSupport.h"

#include <QSettings>
#include <QtTest>

using namespace lumetra::calibration;
using caltest::readRaw;
using caltest::writeRaw;

namespace {
const QString kFile = QStringLiteral("_calibration_0.kvtcal");
const std::array<QString, 3> kStd = {QStringLiteral("635"), QStringLiteral("520"),
                                     QStringLiteral("445")};

QVariant stored(const QString& key) {
    QSettings s(kFile, QSettings::IniFormat);
    return s.value(key);
}

// Runs samples until the run completes (at most `limit`); returns how many were taken.
int sampleUntilDone(const QString& wl, int corner, const std::array<float, 3>& signal, int& count,
                    SampleResult* last = nullptr, int limit = 10) {
    for (int n = 1; n <= limit; ++n) {
        const SampleResult r = writeCalibrationSample(kFile, wl, corner, signal, count);
        if (last)
            *last = r;
        if (r.completed || r.refused)
            return n;
    }
    return -1;
}
} // namespace

class TestPowerCalibration : public QObject {
    Q_OBJECT
private slots:
    void cornerAndChannelSelection();
    void normalisation();
    void noCornerWritesTopLeftKeys();
    void unitSignalWrittenUnchanged();
    void newWavelengthCreatesItsSection();
    void sampleCountCarriesOver();
    void completionGivesSignalLengthPerMicrosecondPerWatt();
    void zeroSignalGivesInvalidMatrixAndNoFactor();
    void damagedFileRefusesSamples();
    void dialogTexts();
};

void TestPowerCalibration::cornerAndChannelSelection() {
    QCOMPARE(selectedCorner(false, false, false, false), 0);
    QCOMPARE(selectedCorner(false, false, false, true), 1);
    QCOMPARE(selectedCorner(true, false, false, false), 2);
    QCOMPARE(selectedCorner(false, true, false, false), 3);
    QCOMPARE(selectedCorner(false, false, true, false), 0);
    // Tested in the order BL, BR, TL, TR.
    QCOMPARE(selectedCorner(false, true, true, true), 3);
    QCOMPARE(selectedCorner(true, true, false, false), 2);

    const bool none[3] = {false, false, false};
    const bool gb[3] = {false, true, true};
    const bool all[3] = {true, true, true};
    QCOMPARE(channelToServe(none), -1);
    QCOMPARE(channelToServe(gb), 1);
    QCOMPARE(channelToServe(all), 0);
}

void TestPowerCalibration::normalisation() {
    auto n = normalisedSignal({3.0f, 4.0f, 0.0f});
    QCOMPARE(n[0], 0.6f);
    QCOMPARE(n[1], 0.8f);
    QCOMPARE(n[2], 0.0f);
    // Computed in single precision throughout.
    const std::array<float, 3> big = {12345.678f, 2345.5f, 345.25f};
    n = normalisedSignal(big);
    const float len = std::sqrt(big[0] * big[0] + big[1] * big[1] + big[2] * big[2]);
    QCOMPARE(n[0], big[0] / len);
    QCOMPARE(n[2], big[2] / len);
    // Within 0.00001 of 1 or of 0: unchanged.
    const std::array<float, 3> nearOne = {1.000009f, 0.0f, 0.0f};
    QCOMPARE(normalisedSignal(nearOne), nearOne);
    const std::array<float, 3> nearZero = {0.000009f, 0.0f, 0.0f};
    QCOMPARE(normalisedSignal(nearZero), nearZero);
    const std::array<float, 3> justOff = {1.00005f, 0.0f, 0.0f};
    QCOMPARE(normalisedSignal(justOff)[0], 1.0f);
    const std::array<float, 3> small = {0.00002f, 0.0f, 0.0f};
    QCOMPARE(normalisedSignal(small)[0], 1.0f);
}

void TestPowerCalibration::noCornerWritesTopLeftKeys() {
    testsupport::TempWorkDir dir;
    int count = 0;
    const int corner = selectedCorner(false, false, false, false);
    const SampleResult r = writeCalibrationSample(kFile, "635", corner, {30, 40, 0}, count);
    QVERIFY(!r.refused && !r.completed);
    QCOMPARE(count, 1);
    QCOMPARE(r.raw, (std::array<float, 3>{30, 40, 0}));
    QCOMPARE(r.normalised, (std::array<float, 3>{0.6f, 0.8f, 0.0f}));
    QCOMPARE(stored("635/user/M0x_TL").toDouble(), double(0.6f));
    QCOMPARE(stored("635/user/M1x_TL").toDouble(), double(0.8f));
    QCOMPARE(stored("635/user/M2x_TL").toDouble(), 0.0);
    QSettings s(kFile, QSettings::IniFormat);
    s.beginGroup("635");
    QCOMPARE(s.childKeys(), QStringList());
    s.beginGroup("user");
    QCOMPARE(s.childKeys(), (QStringList{"M0x_TL", "M1x_TL", "M2x_TL"}));
    // The sub-keys sit in the wavelength's own section.
    QVERIFY(readRaw(kFile).contains("[635]"));
    QVERIFY(readRaw(kFile).contains("user\\M1x_TL="));
}

void TestPowerCalibration::unitSignalWrittenUnchanged() {
    testsupport::TempWorkDir dir;
    int count = 0;
    const std::array<float, 3> unit = {0.36f, 0.48f, 0.8f};
    const SampleResult r = writeCalibrationSample(kFile, "445", 3, unit, count);
    QCOMPARE(r.normalised, unit);
    QCOMPARE(stored("445/user/M0x_BR").toDouble(), double(0.36f));
    QCOMPARE(stored("445/user/M1x_BR").toDouble(), double(0.48f));
    QCOMPARE(stored("445/user/M2x_BR").toDouble(), double(0.8f));
}

void TestPowerCalibration::newWavelengthCreatesItsSection() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[635]\nM0x_TL=0.9\n[R_Wavelengths]\n650=true\n");
    CalibrationData d;
    QCOMPARE(loadCalibration(kFile, {"650", "520", "445"}, 0, false, d).uncalibratedChannels,
             (QList<int>{0, 1, 2}));
    int count = 0;
    const std::array<float, 3> s = {200, 20, 5};
    writeCalibrationSample(kFile, "650", selectedCorner(false, false, false, true), s, count);
    QSettings f(kFile, QSettings::IniFormat);
    QVERIFY(f.childGroups().contains("650"));
    QCOMPARE(f.value("635/M0x_TL").toDouble(), 0.9);
    QCOMPARE(f.value("R_Wavelengths/650").toBool(), true);
    const LoadResult r = loadCalibration(kFile, {"650", "520", "445"}, 0, false, d);
    QCOMPARE(r.uncalibratedChannels, (QList<int>{1, 2}));
    const auto n = normalisedSignal(s);
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(d.colorMatrix[1][row][0], double(n[row]));
        QCOMPARE(d.colorMatrix[0][row][0], defaultMatrixValue(row, 0));
    }
}

void TestPowerCalibration::sampleCountCarriesOver() {
    testsupport::TempWorkDir dir;
    int count = 0;
    for (int i = 0; i < 3; ++i)
        QVERIFY(!writeCalibrationSample(kFile, "635", 0, {1, 2, 3}, count).completed);
    QCOMPARE(count, 3);
    // A later run of the same channel finishes after the two samples still missing.
    QCOMPARE(sampleUntilDone("635", 2, {4, 5, 6}, count), 2);
    QCOMPARE(count, 0);
    // And the next run takes five again.
    QCOMPARE(sampleUntilDone("635", 2, {4, 5, 6}, count), 5);
    // The process-wide counters start at zero and are per channel.
    QCOMPARE(calibrationSampleCount(), (std::array<int, 3>{0, 0, 0}));
    writeCalibrationSample(kFile, "520", 0, {1, 1, 1}, calibrationSampleCount()[1]);
    QCOMPARE(calibrationSampleCount(), (std::array<int, 3>{0, 1, 0}));
    calibrationSampleCount()[1] = 0;
}

void TestPowerCalibration::completionGivesSignalLengthPerMicrosecondPerWatt() {
    testsupport::TempWorkDir dir;
    // Factory data for the other corners stays as it is.
    writeRaw(kFile, "[520]\nM0x_BL=0.1\nM1x_BL=0.9\nM2x_BL=0.3\n[Power]\n520_TL=50\n");
    const int corner = 1; // TR
    const double exposureUs = 2500, watts = 0.25;
    const bool active[3] = {false, true, false};
    const std::array<float, 3> raw = {1.5e5f, 9.0e5f, 2.5e5f};

    int count = 0;
    SampleResult last;
    QCOMPARE(sampleUntilDone("520", corner, raw, count, &last), 5);
    QVERIFY(last.completed);
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, active[0] || active[1] || active[2], d);
    for (const Notice& n : r.notices)
        QVERIFY(n.kind == Notice::Kind::Log);
    QCOMPARE(r.singularCorner, -1);
    const PowerFactorResult p =
        storePowerFactor(kFile, "520", 1, corner, last.raw, d.unmixCoef, exposureUs, watts);
    QVERIFY(p.stored);
    QVERIFY(p.notices.isEmpty());
    const double length =
        std::sqrt(double(raw[0]) * raw[0] + double(raw[1]) * raw[1] + double(raw[2]) * raw[2]);
    QVERIFY(std::fabs(p.factor / (length / exposureUs / watts) - 1) < 1e-6);
    QCOMPARE(stored("Power/520_TR").toDouble(), p.factor);
    // Written as a double: the text holds more than single precision.
    QVERIFY(stored("Power/520_TR").toString().size() > 9);

    // After the reload the pipeline measures the calibrated power again, and the
    // factors of the other corners are those of the file.
    d = CalibrationData();
    loadCalibration(kFile, kStd, 0, false, d);
    QCOMPARE(d.powerFactor[1][corner], p.factor);
    QCOMPARE(d.powerFactor[1][0], 50.0);
    QCOMPARE(d.powerFactor[1][2], 50.0);
    QCOMPARE(d.colorMatrix[2][1][1], 0.9);
    const double signal = d.unmixCoef[3][corner] * raw[0] + d.unmixCoef[4][corner] * raw[1] +
                          d.unmixCoef[5][corner] * raw[2];
    QVERIFY(std::fabs(signal / exposureUs / d.powerFactor[1][corner] - watts) < 1e-6 * watts);
}

void TestPowerCalibration::zeroSignalGivesInvalidMatrixAndNoFactor() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[Power]\n635_TL=12\n");
    int count = 0;
    SampleResult last;
    QCOMPARE(sampleUntilDone("635", 0, {0, 0, 0}, count, &last), 5);
    QCOMPARE(last.normalised, (std::array<float, 3>{0, 0, 0}));
    for (int row = 0; row < 3; ++row)
        QCOMPARE(stored(QStringLiteral("635/user/M%1x_TL").arg(row)).toDouble(), 0.0);

    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, true, d);
    QCOMPARE(r.singularCorner, 0);
    QCOMPARE(r.notices.value(1).kind, Notice::Kind::Critical);
    QCOMPARE(r.notices.value(1).title, QStringLiteral("Invalid parameters"));
    const PowerFactorResult p =
        storePowerFactor(kFile, "635", 0, 0, last.raw, d.unmixCoef, 1000, 1);
    QVERIFY(!p.stored);
    QCOMPARE(p.factor, 0.0);
    QCOMPARE(p.notices.size(), 1);
    QCOMPARE(p.notices[0].kind, Notice::Kind::Log);
    QCOMPARE(stored("Power/635_TL").toDouble(), 12.0);
}

void TestPowerCalibration::damagedFileRefusesSamples() {
    testsupport::TempWorkDir dir;
    const QByteArray damaged = "[635]\nM0x_TL=0.9\nM1x_TL=\"0.2\n";
    writeRaw(kFile, damaged);
    int count = 2;
    const SampleResult r = writeCalibrationSample(kFile, "635", 0, {3, 4, 0}, count);
    QVERIFY(r.refused);
    QVERIFY(!r.completed);
    QCOMPARE(count, 2);
    QCOMPARE(r.notices.size(), 1);
    QCOMPARE(r.notices[0].kind, Notice::Kind::Warning);
    QCOMPARE(readRaw(kFile), damaged);

    double coef[9][4] = {};
    coef[0][0] = coef[4][0] = coef[8][0] = 1;
    const PowerFactorResult p = storePowerFactor(kFile, "635", 0, 0, {3, 4, 0}, coef, 1, 1);
    QVERIFY(!p.stored);
    QCOMPARE(p.factor, 3.0);
    QCOMPARE(readRaw(kFile), damaged);

    // A byte-order mark alone is no damage: the write goes through and keeps the data.
    writeRaw(kFile, "\xEF\xBB\xBF[635]\r\nM0x_TL=0.9\r\n");
    QVERIFY(!writeCalibrationSample(kFile, "635", 0, {3, 4, 0}, count).refused);
    QCOMPARE(stored("635/M0x_TL").toDouble(), 0.9);
    QCOMPARE(stored("635/user/M1x_TL").toDouble(), double(0.8f));
    QVERIFY(!readRaw(kFile).startsWith("\xEF\xBB\xBF"));
    // A text the file cannot hold as a section is refused as well.
    QVERIFY(writeCalibrationSample(kFile, "6/50", 0, {3, 4, 0}, count).refused);
}

void TestPowerCalibration::dialogTexts() {
    QCOMPARE(calibrationDialogTitle("650"), QStringLiteral("Calibration of 650"));
    QCOMPARE(calibrationDoneTitle("650"), QStringLiteral("Calibration of 650 done"));
    QCOMPARE(calibrationDoneText("650"), QStringLiteral("Calibration of 650 done!"));
    const QString label = calibrationDialogLabel("650");
    QVERIFY(label.startsWith(QStringLiteral("Calibration of 650nm is about to begin.\n")));
    QVERIFY(label.contains(QStringLiteral("- please shoot only the 650nm beam into the "
                                          "KVT-S-300.\n")));
    QVERIFY(label.contains(QStringLiteral("- \"Max 650\" should be around 80-90%.\n")));
    QVERIFY(label.endsWith(QStringLiteral("calibration process (~1s)")));
}

QTEST_GUILESS_MAIN(TestPowerCalibration)
#include "tst_powercalibration.moc"
