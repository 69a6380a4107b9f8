// A window whose label changes every millisecond is painted and laid out at most once per
// screen refresh, keeps being painted while the changes go on, and shows the last text at
// its full width.

#include "PaintPacer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QScreen>
#include <QTest>
#include <QThread>
#include <QVBoxLayout>

#include <cmath>

namespace {

// Counts the label's paintings (and the text each one showed) and the window's layouts.
class Paints : public QObject {
public:
    explicit Paints(QLabel* label) : m_label(label) {}
    int count = 0;
    int layouts = 0;
    QString lastText;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched == m_label) {
            ++count;
            lastText = m_label->text();
        } else if (event->type() == QEvent::LayoutRequest) {
            ++layouts;
        }
        return false;
    }

private:
    QLabel* m_label;
};

} // namespace

class TstPaintPacer : public QObject {
    Q_OBJECT
private slots:
    void paintsAtMostOncePerRefresh() {
        QWidget window;
        // Shown as wide as the widest text below: a label outgrowing its window resizes it,
        // and the platform may expose and paint a resized window at once, outside the pacer
        // (CI counted such paints beyond one per refresh). The texts still change the
        // label's size hint, so each asks for a new layout.
        auto* label = new QLabel(QString(41, QLatin1Char('x')));
        (new QVBoxLayout(&window))->addWidget(label);
        new lumetra::app::PaintPacer(&window);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        label->setText(QStringLiteral("0"));
        QTest::qWait(50);
        Paints paints(label);
        label->installEventFilter(&paints);
        window.installEventFilter(&paints);

        constexpr int kMs = 600;
        QElapsedTimer clock;
        clock.start();
        int n = 0;
        while (clock.elapsed() < kMs) {
            label->setText(QString(++n % 40 + 1, QLatin1Char('x'))); // each a new width
            QCoreApplication::processEvents();
            QThread::usleep(1000);
        }
        const double hz =
            window.screen()->refreshRate() >= 1.0 ? window.screen()->refreshRate() : 60.0;
        const int period = int(std::ceil(1000.0 / hz));
        const int painted = paints.count;
        const qint64 ran = clock.elapsed(); // a loaded machine runs past kMs
        QVERIFY2(n > 3 * (kMs / period), "the text changed too seldom to tell");
        // Unpaced, it would be about one paint per change (n); a few more than one per
        // refresh are allowed for a loaded machine's late timer.
        QVERIFY2(painted <= ran / period + 4, qPrintable(QString::number(painted)));
        QVERIFY2(painted >= kMs / period / 4, qPrintable(QString::number(painted)));
        QVERIFY2(paints.layouts <= ran / period + 2, qPrintable(QString::number(paints.layouts)));
        QTRY_COMPARE(paints.lastText, label->text());
        QTRY_VERIFY(label->width() >= label->sizeHint().width());
    }
};

QTEST_MAIN(TstPaintPacer)
#include "tst_paintpacer.moc"
