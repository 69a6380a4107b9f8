// The status bar's frame rate turns red while the window measures fewer frames than the
// camera delivers, and only then: driven with the reports' counts and times, never with a
// clock.

#include "FrameRateWatch.h"

#include <QTest>

class TstFrameRateWatch : public QObject {
    Q_OBJECT
private slots:
    void behindOnlyWhileFramesWaitOrComeFasterThanMeasured() {
        FrameRateWatch watch;
        quint64 seq = 0;
        qint64 t = 0;
        // `frames` reports against a 30 fps camera, measured `periodsMs` apart in turn, shown
        // `waiting` reports behind the newest; the verdict after the last.
        const auto run = [&](int frames, std::initializer_list<qint64> periodsMs,
                             quint64 waiting = 0) {
            bool behind = false;
            for (int i = 0; i < frames; ++i) {
                t += periodsMs.begin()[i % periodsMs.size()];
                ++seq;
                behind = watch.add(seq, seq + waiting, t, 30.0);
            }
            return behind;
        };
        QVERIFY(!run(40, {33}));
        QVERIFY(!run(40, {10, 56})); // uneven measuring that keeps up on average
        QVERIFY(!run(5, {33}, FrameRateWatch::kWaiting));
        QVERIFY(run(1, {33}, FrameRateWatch::kWaiting + 1)); // reports waiting
        QVERIFY(!run(FrameRateWatch::kFrames, {33}));
        QVERIFY(!run(3, {50}));                      // a few late frames among many on time
        QVERIFY(run(FrameRateWatch::kFrames, {50})); // 20 of 30 frames measured
        QVERIFY(!run(FrameRateWatch::kFrames, {33}));
        QVERIFY(run(40, {38, 40})); // 25.6 fps: short of the camera beyond its rounding
        watch.reset();
        QVERIFY(!watch.behind());
        QVERIFY(!run(FrameRateWatch::kFrames - 1, {100})); // a new stream: not enough frames
    }
};

QTEST_GUILESS_MAIN(TstFrameRateWatch)
#include "tst_frameratewatch.moc"
