// The "Beam analysis" panel of the real window on a noisy simulated head with a black
// level: what it shows against the head's truth, N/A with the reason for the beam that is
// off, its refresh limit while streaming, and its open state kept in basini.ini.

#include "BeamAnalysisPanel.h"
#include "E2eKit.h"

#include <QDockWidget>
#include <QElapsedTimer>
#include <QMenu>
#include <QTest>

using namespace e2e;
using lumetra::ui::BeamAnalysisPanel;

namespace {

// Green and blue beams of 10 W, red off, on a floor of 2 counts with 1 count of noise. At
// 2.5 ms the camera's green peaks near 190 of 255. The ROI holds 3 x the blue's D4sigma.
QVariantMap noisyHead() {
    QVariantMap k = quietHead(1600, 1200);
    k.insert({{QStringLiteral("noise"), 1.0},
              {QStringLiteral("background"), 2.0},
              {QStringLiteral("R_power"), 0.0},
              {QStringLiteral("G_power"), 10.0},
              {QStringLiteral("G_divergence"), QStringLiteral("0.80,0.80")},
              {QStringLiteral("B_power"), 10.0},
              {QStringLiteral("B_divergence"), QStringLiteral("1.00,0.70")}});
    return k;
}
const QRect kRoi(920, 620, 560, 560);

std::optional<QPointF> mradPair(const QString& text) {
    return pairOf(text);
}

bool near(double value, double truth, double share) {
    return std::abs(value / truth - 1) <= share;
}

} // namespace

class TestE2eBeamPanel : public QObject {
    Q_OBJECT
private slots:
    void panelReadsTheHead() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        setHeadKeys(noisyHead());
        storeSettings({{QStringLiteral("autoexpo"), false},
                       {QStringLiteral("expo"), 2500.0},
                       {QStringLiteral("rect"), kRoi},
                       {QStringLiteral("SelButton"), QStringLiteral("BR")}});
        auto w = openWindow();
        BeamAnalysisPanel* panel = w->beamAnalysisPanel();
        QVERIFY(w->beamAnalysisDock()->isVisible()); // open by default
        QCOMPARE(w->beamAnalysisDock()->windowTitle(), QStringLiteral("Beam analysis"));
        selectCamera(*w);
        QVERIFY(streamUntilMeasured(*w));
        QVERIFY(
            testsupport::waitUntil([&] { return mradPair(panel->cellText(1, 0)).has_value(); }));

        // Green 0.80 mrad FWHM (D4sigma 1.36), blue 1.00 x 0.70 (1.70 x 1.19), 10 W each.
        const double d4 = 4 / (2 * std::sqrt(2 * std::log(2.0)));
        const QPointF g = *mradPair(panel->cellText(1, 0)), gf = *mradPair(panel->cellText(1, 1));
        const QPointF b = *mradPair(panel->cellText(2, 0)), bf = *mradPair(panel->cellText(2, 1));
        QVERIFY2(near(g.x(), 0.8 * d4, 0.03) && near(g.y(), 0.8 * d4, 0.03),
                 qPrintable(panel->cellText(1, 0)));
        QVERIFY2(near(gf.x(), 0.8, 0.03) && near(gf.y(), 0.8, 0.03),
                 qPrintable(panel->cellText(1, 1)));
        QVERIFY2(near(b.x(), 1.0 * d4, 0.03) && near(b.y(), 0.7 * d4, 0.03),
                 qPrintable(panel->cellText(2, 0)));
        QVERIFY2(near(bf.x(), 1.0, 0.03) && near(bf.y(), 0.7, 0.03),
                 qPrintable(panel->cellText(2, 1)));
        QVERIFY2(near(*wattsOf(panel->cellText(1, 3)), 10, 0.03),
                 qPrintable(panel->cellText(1, 3)));
        QVERIFY2(near(*wattsOf(panel->cellText(2, 3)), 10, 0.03),
                 qPrintable(panel->cellText(2, 3)));
        // The beam that is off: N/A with the reason, no profile; its channel's floor shows.
        for (int col = 0; col < 4; ++col) {
            QCOMPARE(panel->cellText(0, col), QStringLiteral("N/A"));
            QCOMPARE(panel->cellToolTip(0, col),
                     QString::fromLatin1(lumetra::measure::kReasonTooWeak));
        }
        QVERIFY(panel->cellText(0, 4).toDouble() > 2.0);
        for (int axis = 0; axis < 2; ++axis) {
            QCOMPARE(panel->profilePoints(axis, 0), 0);
            QVERIFY(panel->profilePoints(axis, 1) > 100 && panel->fitPoints(axis, 1) > 100);
            QVERIFY(panel->profilePoints(axis, 2) > 100 && panel->fitPoints(axis, 2) > 100);
        }

        // While streaming, at most one redraw per refresh period.
        FrameCounter frames(*w);
        const int before = panel->redraws();
        QElapsedTimer t;
        t.start();
        QVERIFY(frames.waitFrames(12));
        // Several reports can be shown in one turn of the event loop, before the refresh.
        QVERIFY(testsupport::waitUntil([&] { return panel->redraws() > before; }));
        const qint64 ms = t.elapsed();
        const int redraws = panel->redraws() - before;
        QVERIFY(redraws >= 1);
        QVERIFY2(redraws <= ms / BeamAnalysisPanel::kRefreshMs + 2,
                 qPrintable(QStringLiteral("%1 redraws in %2 ms").arg(redraws).arg(ms)));
        w->form()->actionStartStream->setChecked(false);
    }

    void openStateIsRemembered() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        storeSettings({});
        {
            auto w = openWindow();
            QVERIFY(w->beamAnalysisDock()->isVisible());
            w->beamAnalysisDock()->close();
            // Closed, it is opened again from the window's context menu.
            QCOMPARE(w->contextMenuPolicy(), Qt::DefaultContextMenu);
            std::unique_ptr<QMenu> menu(w->createPopupMenu());
            QVERIFY(menu && menu->actions().contains(w->beamAnalysisDock()->toggleViewAction()));
        }
        QCOMPARE(testsupport::storedSetting(QStringLiteral("BeamAnalysis")).toBool(), false);
        {
            auto w = openWindow();
            QVERIFY(w->beamAnalysisDock()->isHidden());
            w->beamAnalysisDock()->show();
        }
        auto w = openWindow();
        QVERIFY(w->beamAnalysisDock()->isVisible());
    }
};

QTEST_MAIN(TestE2eBeamPanel)
#include "tst_e2e_beam_panel.moc"
