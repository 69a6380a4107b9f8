// The steps of a power calibration: normalisation, five samples that write nothing, and
// the completion that stores the column of the selected corner and its power factor in
// one write, with its doubts; run against the loader the way the window chains them.

#include "Calibration.h"
#include "CalibrationTestFiles.h"
#include "TestSupport.h"

#include <QDir>
#include <QSettings>
#include <QtTest>

using namespace lumetra::calibration;
using caltest::writeRaw;

namespace {
const QString kFile = QStringLiteral("_calibration_0.kvtcal");
const std::array<QString, 3> kStd = {QStringLiteral("635"), QStringLiteral("520"),
                                     QStringLiteral("445")};

QVariant stored(const QString& key) {
    return QSettings(kFile, QSettings::IniFormat).value(key);
}

// Takes samples until the run completes; returns how many were taken.
int sampleUntilDone(const std::array<float, 3>& signal, int& count) {
    for (int n = 1; n <= 10; ++n)
        if (takeCalibrationSample(signal, count).completed)
            return n;
    return -1;
}

// The completion as the window runs it when nothing is doubted or asked.
CompletionPlan complete(const std::array<QString, 3>& wl, int channel, int corner,
                        const std::array<float, 3>& raw, double exposureUs = 1000,
                        double watts = 1) {
    const CompletionPlan plan =
        planCalibrationCompletion(kFile, wl, channel, corner, raw, exposureUs, watts, -1);
    if (!plan.refused)
        writeCalibration(kFile, plan.changes);
    return plan;
}

// The factory response of a channel's laser scaled to a signal: the pure beam.
std::array<float, 3> factoryBeam(int channel, float scale) {
    return {float(scale * defaultMatrixValue(0, channel)),
            float(scale * defaultMatrixValue(1, channel)),
            float(scale * defaultMatrixValue(2, channel))};
}
} // namespace

class TestPowerCalibration : public QObject {
    Q_OBJECT
private slots:
    void cornerAndChannelSelection();
    void normalisation();
    void samplesWriteNothingUntilTheRunCompletes();
    void completionGivesSignalLengthPerMicrosecondPerWatt();
    void zeroOrNearlyRepeatedColumnsGiveNoFactor();
    void doubtfulCalibrations();
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

void TestPowerCalibration::samplesWriteNothingUntilTheRunCompletes() {
    testsupport::TempWorkDir dir;
    int count = 0;
    const SampleResult first = takeCalibrationSample({30, 40, 0}, count);
    QCOMPARE(first.raw, (std::array<float, 3>{30, 40, 0}));
    QCOMPARE(first.normalised, (std::array<float, 3>{0.6f, 0.8f, 0.0f}));
    QVERIFY(!first.completed);
    // The count carries over to the next run of the channel; a run cut short writes nothing.
    QCOMPARE(sampleUntilDone({4, 5, 6}, count), 4);
    QCOMPARE(sampleUntilDone({4, 5, 6}, count), 5);
    QVERIFY(QDir().isEmpty());
    // The process-wide counters start at zero and are per channel.
    QCOMPARE(calibrationSampleCount(), (std::array<int, 3>{0, 0, 0}));
    takeCalibrationSample({1, 1, 1}, calibrationSampleCount()[1]);
    QCOMPARE(calibrationSampleCount(), (std::array<int, 3>{0, 1, 0}));
    calibrationSampleCount()[1] = 0;
}

void TestPowerCalibration::completionGivesSignalLengthPerMicrosecondPerWatt() {
    testsupport::TempWorkDir dir;
    // Factory data for the other corners stays as it is.
    writeRaw(kFile, "[520]\nM0x_BL=0.1\nM1x_BL=0.9\nM2x_BL=0.3\n[Power]\n520_TL=50\n");
    const int corner = selectedCorner(false, false, false, true); // TR
    const double exposureUs = 2500, watts = 0.25;
    const std::array<float, 3> raw = {1.5e5f, 9.0e5f, 2.5e5f};
    const CompletionPlan p = complete(kStd, 1, corner, raw, exposureUs, watts);
    QVERIFY(p.hasFactor && p.notices.isEmpty());
    const double length =
        std::sqrt(double(raw[0]) * raw[0] + double(raw[1]) * raw[1] + double(raw[2]) * raw[2]);
    QVERIFY(std::fabs(p.factor / (length / exposureUs / watts) - 1) < 1e-6);
    // Written as a double, with the corner's three user keys and nothing else.
    QCOMPARE(stored("Power/520_TR").toDouble(), p.factor);
    QVERIFY(stored("Power/520_TR").toString().size() > 9);
    QSettings f(kFile, QSettings::IniFormat);
    f.beginGroup("520/user");
    QCOMPARE(f.childKeys(), (QStringList{"M0x_TR", "M1x_TR", "M2x_TR"}));

    // The reload gives the same factor and measures the calibrated power again; the other
    // corners keep what the file held.
    CalibrationData d;
    loadCalibration(kFile, kStd, 0, true, d);
    QVERIFY(std::fabs(d.powerFactor[1][corner] / p.factor - 1) < 1e-12);
    QCOMPARE(d.powerFactor[1][2], 50.0);
    QCOMPARE(d.colorMatrix[2][1][1], 0.9);
    const double signal = d.unmixCoef[3][corner] * raw[0] + d.unmixCoef[4][corner] * raw[1] +
                          d.unmixCoef[5][corner] * raw[2];
    QVERIFY(std::fabs(signal / exposureUs / d.powerFactor[1][corner] - watts) < 1e-6 * watts);

    // A wavelength only listed so far gets its section and counts as calibrated.
    complete({"650", "520", "445"}, 0, corner, factoryBeam(0, 1e5f));
    QCOMPARE(loadCalibration(kFile, {"650", "520", "445"}, 0, false, d).uncalibratedChannels,
             (QList<int>{2}));
}

void TestPowerCalibration::zeroOrNearlyRepeatedColumnsGiveNoFactor() {
    testsupport::TempWorkDir dir;
    writeRaw(kFile, "[Power]\n635_TL=12\n");
    const CompletionPlan p = complete(kStd, 0, 0, {0, 0, 0});
    QVERIFY(!p.hasFactor);
    QCOMPARE(p.notices.value(0).kind, Notice::Kind::Log);
    QCOMPARE(stored("635/user/M1x_TL").toDouble(), 0.0);
    QCOMPARE(stored("Power/635_TL").toDouble(), 12.0);
    CalibrationData d;
    const LoadResult r = loadCalibration(kFile, kStd, 0, true, d);
    QCOMPARE(r.singularCorner, 0);
    QCOMPARE(r.notices.value(1).title, QStringLiteral("Invalid parameters"));
    // A column that only nearly repeats another one gives no factor either.
    QVERIFY(!complete(kStd, 2, 1, factoryBeam(1, 1e5f)).hasFactor);
    QVERIFY(!stored("Power/445_TR").isValid());
    // A text the file cannot hold as a section is refused before anything is written.
    const CompletionPlan slash = complete({"6/50", "520", "445"}, 0, 0, {3, 4, 0});
    QVERIFY(slash.refused && slash.changes.isEmpty());
    QCOMPARE(slash.notices.value(0).title, QStringLiteral("Invalid wavelength"));
}

void TestPowerCalibration::doubtfulCalibrations() {
    testsupport::TempWorkDir dir;
    auto doubts = [](int channel, const std::array<float, 3>& raw, int max) {
        return planCalibrationCompletion(kFile, kStd, channel, 0, raw, 1000, 1, max).doubts;
    };
    // A pure beam, even through a response far from the factory one, at a good level.
    QVERIFY(doubts(0, factoryBeam(0, 1e6f), 220).isEmpty());
    QVERIFY(doubts(1, {0.2e6f, 0.8e6f, 0.4e6f}, 128).isEmpty());
    QVERIFY(doubts(2, {0.1e6f, 0.25e6f, 0.9e6f}, 249).isEmpty());
    // All three beams on: the column once stored for 635, or the three factory beams.
    QCOMPARE(doubts(0, {0.355e6f, 0.683e6f, 0.638e6f}, 220),
             QStringList{"the other beams carry 78% of the signal: only the 635nm beam must be "
                         "shot into the sensor"});
    std::array<float, 3> all{};
    for (int c = 0; c < 3; ++c)
        for (int r = 0; r < 3; ++r)
            all[r] += factoryBeam(c, 1e6f)[r];
    QCOMPARE(doubts(1, all, 220).size(), 1);
    // Levels far from the asked 80-90 %.
    QCOMPARE(doubts(0, factoryBeam(0, 1e6f), 67),
             QStringList{"\"Max 635\" is 26%: it should be around 80-90%"});
    QCOMPARE(doubts(0, factoryBeam(0, 1e6f), 255),
             QStringList{"\"Max 635\" is 100%: it should be around 80-90%, the sensor saturates"});
    QVERIFY(!QFile::exists(kFile)); // nothing of a plan reaches the file before it is written
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
