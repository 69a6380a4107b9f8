// The Reports side's widgets without a camera: the tolerances dialog keeps only limits
// that make sense, and the plots keep bounded points per span however long they run.

#include "PlotsPanel.h"
#include "TolerancesDialog.h"

#include <QLineEdit>
#include <QTest>

namespace tol = lumetra::tolerances;
using lumetra::ui::PlotsPanel;

class TstReportsUi : public QObject {
    Q_OBJECT
private slots:
    void tolerancesDialogKeepsSensibleLimits() {
        tol::Tolerances start;
        start.setLimit(tol::Quantity::PowerRed, {0.5, 1.5});
        lumetra::ui::TolerancesDialog d(start);
        QCOMPARE(d.lowerBox(tol::Quantity::PowerRed)->text(), QStringLiteral("0.5"));

        // A lower limit above the upper one, or a word, keeps the dialog open and the
        // limits as they were.
        d.lowerBox(tol::Quantity::AlignmentRGX)->setText(QStringLiteral("0.2"));
        d.upperBox(tol::Quantity::AlignmentRGX)->setText(QStringLiteral("0.1"));
        d.accept();
        QCOMPARE(d.result(), int(QDialog::Rejected));
        QVERIFY(!d.limits().limit(tol::Quantity::AlignmentRGX).any());
        d.upperBox(tol::Quantity::AlignmentRGX)->setText(QStringLiteral("high"));
        d.accept();
        QCOMPARE(d.result(), int(QDialog::Rejected));

        // The user's own decimal comma is read too; an emptied box is no limit.
        QLocale::setDefault(QLocale(QLocale::German));
        d.upperBox(tol::Quantity::AlignmentRGX)->setText(QStringLiteral("0,25"));
        d.upperBox(tol::Quantity::PowerRed)->clear();
        d.accept();
        QLocale::setDefault(QLocale::c());
        QCOMPARE(d.result(), int(QDialog::Accepted));
        QCOMPARE(d.limits().limit(tol::Quantity::AlignmentRGX).lower, 0.2);
        QCOMPARE(d.limits().limit(tol::Quantity::AlignmentRGX).upper, 0.25);
        QCOMPARE(d.limits().limit(tol::Quantity::PowerRed).lower, 0.5);
        QVERIFY(!d.limits().limit(tol::Quantity::PowerRed).upper);
    }

    void plotsKeepBoundedPointsPerSpan() {
        PlotsPanel p;
        p.show();
        // Two hours at 20 frames a second, the red power falling out for a while.
        lumetra::measure::FrameResult r;
        r.measured = true;
        for (int i = 0; i < 2 * 3600 * 20; ++i) {
            const double t = i / 20.0;
            const double red = t > 7170 && t < 7180 ? std::nan("") : 1.0;
            r.power = std::array<double, 3>{red, 2.0, 3.0};
            p.addResult(t, r);
        }
        const int bins = int(60 / PlotsPanel::kBinSeconds);
        const int expect[3][2] = {{1, bins}, {10, 10 * bins}, {60, 60 * bins}};
        for (const auto& e : expect) {
            p.setSpanMinutes(e[0]);
            QVERIFY(QTest::qWaitFor([&] { return p.seriesPoints(PlotsPanel::Power, 1) > 0; }));
            QTest::qWait(PlotsPanel::kRefreshMs * 2);
            // One point per bin over the span (the bin the span starts in may count too).
            const int green = p.seriesPoints(PlotsPanel::Power, 1);
            QVERIFY2(green >= e[1] && green <= e[1] + 1, qPrintable(QString::number(green)));
            // Red lacks the bins without a power.
            const int gap = int(10 / PlotsPanel::kBinSeconds);
            QVERIFY(std::abs(p.seriesPoints(PlotsPanel::Power, 0) - (green - gap)) <= 2);
        }
    }
};

QTEST_MAIN(TstReportsUi)
#include "tst_reports_ui.moc"
