// The real main window measuring the simulated sensor head from end to end: what the labels
// show against the scene's truth, automatic exposure, the exposure warning, the stream
// action and the scenes.

#include "E2eKit.h"

#include "Log.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPainter>
#include <QStatusBar>
#include <QTest>

using namespace e2e;

namespace {

using testsupport::todaysLog;

// The kit's three beams with the green one on the corner's centre.
QVariantMap centredThreeBeams() {
    QVariantMap k = e2e::threeBeams();
    k.insert(QStringLiteral("G_offset"), QStringLiteral("0,0"));
    return k;
}

// One green beam of 10 W in the bottom-right corner of a 640 x 480 sensor. Its peak is
// about 0.138 counts per exposure microsecond, so 210..249 needs roughly 1.52..1.80 ms.
QVariantMap greenOnly() {
    QVariantMap k = quietHead(640, 480);
    k.insert({{QStringLiteral("R_power"), 0.0},
              {QStringLiteral("G_power"), 10.0},
              {QStringLiteral("B_power"), 0.0}});
    return k;
}
const QRect kGreenRoi(380, 260, 200, 200);

} // namespace

class TestE2eMeasure : public QObject {
    Q_OBJECT
private slots:
    void measuresAgreeWithTheHead_data() {
        QTest::addColumn<QString>("formats");
        QTest::newRow("RGB8") << QStringLiteral("RGB8");
        // Demosaiced frames hold to the same tolerances.
        QTest::newRow("Bayer") << QStringLiteral("BayerGB8");
    }
    void measuresAgreeWithTheHead() {
        QFETCH(QString, formats);
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        QVariantMap keys = centredThreeBeams();
        keys.insert(QStringLiteral("pixelFormats"), formats);
        setHeadKeys(keys);
        const QRect roi(740, 520, 440, 480);
        storeSettings({{QStringLiteral("autoexpo"), false},
                       {QStringLiteral("expo"), 2000.0},
                       {QStringLiteral("rect"), roi},
                       {QStringLiteral("SelButton"), QStringLiteral("BR")}});
        auto w = openWindow();
        Ui::MainWindow* ui = w->form();
        selectCamera(*w);

        QCOMPARE(answer.count(), 0); // calibration present, all wavelengths calibrated
        QVERIFY(w->camera()->isOpen());
        QVERIFY(ui->exposureSpin->isEnabled());
        QVERIFY(ui->actionStartStream->isEnabled());
        QCOMPARE(ui->exposureSpin->value(), 2.0);
        QVERIFY(todaysLog().contains(QStringLiteral("Power Loaded Bot Right\t29\t59\t43")));
        // The still image is on screen with the stored region.
        QVERIFY(testsupport::waitUntil([&] { return greenOutline(*w).has_value(); }));

        QVERIFY(streamUntilMeasured(*w));
        QCOMPARE(ui->actionStartStream->text(), QStringLiteral("Stop Streaming"));
        QVERIFY(ui->actionStartStream->isChecked());
        FrameCounter frames(*w);
        QVERIFY(frames.waitFrames(2));

        // Divergence. The window reports (last - first) * 0.01 - 0.02 mrad, where first and
        // last are the outermost pixel columns (rows) holding 5 pixels above half maximum.
        // For a Gaussian of FWHM F (mrad) those lie inside +-F/2 by less than one pixel each
        // (the 5-pixel count costs nothing measurable at these widths), so last - first is in
        // (F/0.01 - 2, F/0.01] pixels and the shown value in (F - 0.04, F - 0.02]. Rounding
        // of the pixel values moves the half-maximum crossing by well under half a pixel
        // (slope of about 3 counts per pixel there), hence 0.005 of slack on each side.
        const auto head = readHead();
        QLabel* const divLabels[3] = {ui->redDivValue, ui->greenDivValue, ui->blueDivValue};
        for (int c = 0; c < 3; ++c) {
            const auto p = pairOf(divLabels[c]->text());
            QVERIFY2(p, qPrintable(divLabels[c]->text()));
            const double fx = head.beams[c].divergenceX, fy = head.beams[c].divergenceY;
            QVERIFY2(p->x() > fx - 0.045 && p->x() <= fx - 0.015,
                     qPrintable(QStringLiteral("channel %1 x %2").arg(c).arg(p->x())));
            QVERIFY2(p->y() > fy - 0.045 && p->y() <= fy - 0.015,
                     qPrintable(QStringLiteral("channel %1 y %2").arg(c).arg(p->y())));
        }
        QVERIFY(ui->divValue->text().contains(QLatin1Char('[')));

        // Alignment: offsets between the configured beam centres, x right, y up.
        struct Align {
            QLabel* label;
            int a, b;
        };
        for (const Align& al :
             {Align{ui->rgValue, 0, 1}, Align{ui->bgValue, 2, 1}, Align{ui->rbValue, 0, 2}}) {
            const auto p = pairOf(al.label->text());
            QVERIFY2(p, qPrintable(al.label->text()));
            const double ex = head.beams[al.a].offsetX - head.beams[al.b].offsetX;
            const double ey = head.beams[al.a].offsetY - head.beams[al.b].offsetY;
            QVERIFY2(std::abs(p->x() - ex) <= 0.02 + 1e-9 && std::abs(p->y() - ey) <= 0.02 + 1e-9,
                     qPrintable(al.label->text() + QStringLiteral(" vs %1 %2").arg(ex).arg(ey)));
        }

        // Power within 3 % of what the beams carry.
        QLabel* const powLabels[3] = {ui->valuePowerRed, ui->valuePowerGreen, ui->valuePowerBlue};
        double total = 0;
        for (int c = 0; c < 3; ++c) {
            const auto p = wattsOf(powLabels[c]->text());
            QVERIFY2(p, qPrintable(powLabels[c]->text()));
            const double truth = head.beams[c].power;
            total += truth;
            QVERIFY2(std::abs(*p - truth) <= 0.03 * truth,
                     qPrintable(powLabels[c]->text() + QStringLiteral(" vs %1").arg(truth)));
        }
        const auto t = wattsOf(ui->valuePowerTotal->text());
        QVERIFY(t);
        QVERIFY(std::abs(*t - total) <= 0.03 * total);

        // Peaks near 140 of 255: 54 %, no exposure warning, exposure untouched.
        for (QLabel* l : {ui->maxRValue, ui->maxGValue, ui->maxBValue}) {
            const auto pc = percentOf(l->text());
            QVERIFY2(pc && *pc >= 45 && *pc <= 65, qPrintable(l->text()));
        }
        QCOMPARE(ui->warningLabel->text(), QString());
        QCOMPARE(ui->exposureSpin->value(), 2.0);

        // Status bar, spot view and preview.
        const QString status = ui->statusbar->currentMessage();
        QVERIFY2(status.startsWith(QStringLiteral("Streaming - ")) &&
                     status.endsWith(QStringLiteral(" FPS")),
                 qPrintable(status));
        // The rate is shown four times a second at most, not with every frame.
        int rateTexts = 0;
        QElapsedTimer watched;
        watched.start();
        const QMetaObject::Connection counting =
            QObject::connect(ui->statusbar, &QStatusBar::messageChanged, [&](const QString& text) {
                rateTexts += text.startsWith(QStringLiteral("Streaming - ")) ? 1 : 0;
            });
        QTest::qWait(2000);
        QObject::disconnect(counting);
        QVERIFY2(rateTexts <= watched.elapsed() / 250 + 1, qPrintable(QString::number(rateTexts)));
        QCOMPARE(overlayPos(*w), std::optional<QPoint>(roi.topLeft() + QPoint(5, 5)));
        const auto outline = greenOutline(*w);
        QVERIFY(outline);
        QVERIFY2(std::abs(outline->left() - roi.left()) <= 3 &&
                     std::abs(outline->right() - roi.right()) <= 3 &&
                     std::abs(outline->top() - roi.top()) <= 3 &&
                     std::abs(outline->bottom() - roi.bottom()) <= 3,
                 qPrintable(QStringLiteral("%1 %2 %3 %4")
                                .arg(outline->left())
                                .arg(outline->top())
                                .arg(outline->right())
                                .arg(outline->bottom())));
        QCOMPARE(ui->graphicsView->scene()->sceneRect(), QRectF(0, 0, 1280, 1024));
        QCOMPARE(ui->graphicsView->size(), QSize(1282, 1026));
        // The spot view as painted: the overlay where it lies, the frame everywhere beyond
        // the outline.
        {
            QGraphicsScene* scene = ui->graphicsView->scene();
            QList<QGraphicsPixmapItem*> pix;
            for (QGraphicsItem* it : scene->items(Qt::AscendingOrder))
                if (auto* p = qgraphicsitem_cast<QGraphicsPixmapItem*>(it))
                    pix.append(p);
            QCOMPARE(pix.size(), 2);
            const QImage frame = pix[0]->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
            const QImage over = pix[1]->pixmap().toImage().convertToFormat(QImage::Format_RGB32);
            QImage shown(frame.size(), QImage::Format_RGB32);
            shown.fill(Qt::magenta); // no colour of these frames: shows what went unpainted
            {
                QPainter painter(&shown);
                scene->render(&painter, QRectF(shown.rect()), scene->sceneRect());
            }
            const QRect overRect(pix[1]->pos().toPoint(), over.size());
            // The outline: five pixels wide on the region's edge.
            const QRect outside = roi.adjusted(-3, -3, 3, 3), inside = roi.adjusted(3, 3, -3, -3);
            int wrong = 0;
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x) {
                    const QPoint at(x, y);
                    if (overRect.contains(at))
                        wrong += shown.pixel(at) != over.pixel(at - overRect.topLeft());
                    else if (!outside.contains(at) || inside.contains(at))
                        wrong += shown.pixel(at) != frame.pixel(at);
                }
            QCOMPARE(wrong, 0);
        }
        const QList<QGraphicsItem*> prev = ui->previewGraphics->scene()->items();
        QCOMPARE(prev.size(), 1);
        const QSize pv = static_cast<QGraphicsPixmapItem*>(prev.first())->pixmap().size();
        const QSize view = ui->previewGraphics->size();
        const QSize box(qRound(view.width() * 0.99), qRound(view.height() * 0.99));
        QVERIFY(pv.width() <= box.width() && pv.height() <= box.height());
        QVERIFY(pv.width() == box.width() || pv.height() == box.height());

        // Stop.
        ui->actionStartStream->setChecked(false);
        QCOMPARE(ui->actionStartStream->text(), QStringLiteral("Start Streaming"));
        QVERIFY(!w->camera()->isGrabbing());
        QCOMPARE(answer.count(), 0);
    }

    void automaticExposureConverges_data() {
        QTest::addColumn<double>("startMs");
        QTest::newRow("ten times too short") << 0.17;
        QTest::newRow("five times too long") << 8.3;
    }

    void automaticExposureConverges() {
        QFETCH(double, startMs);
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        setHeadKeys(greenOnly());
        storeSettings({{QStringLiteral("autoexpo"), true},
                       {QStringLiteral("expo"), startMs * 1000.0},
                       {QStringLiteral("rect"), kGreenRoi}});
        auto w = openWindow();
        Ui::MainWindow* ui = w->form();
        selectCamera(*w);
        QCOMPARE(ui->exposureSpin->value(), startMs);
        ui->actionStartStream->setChecked(true);

        auto inBand = [&] {
            const int p = largestPercent(ui);
            return p >= 82 && p <= 97; // 210..249 of 255 as whole percent
        };
        // Settled: in the band, and the exposure rests there over the next frames. (On the
        // way down from saturation the stabiliser still holds brighter frames, so the peak
        // may cross the band once before it settles.)
        FrameCounter frames(*w);
        QDeadlineTimer deadline(60000);
        bool settledInBand = false;
        double settled = 0;
        while (!settledInBand && !deadline.hasExpired()) {
            if (!testsupport::waitUntil(inBand, int(deadline.remainingTime())))
                break;
            settled = ui->exposureSpin->value();
            QVERIFY(frames.waitFrames(12));
            settledInBand = inBand() && ui->exposureSpin->value() == settled;
        }
        QVERIFY2(settledInBand, qPrintable(QStringLiteral("peak %1 at %2 ms")
                                               .arg(largestPercent(ui))
                                               .arg(ui->exposureSpin->value())));
        QCOMPARE(ui->warningLabel->text(), QString());
        QVERIFY2(settled >= 1.45 && settled <= 1.90, qPrintable(QString::number(settled)));
        // The camera got the value the spin box shows.
        QVERIFY(std::abs(w->camera()->exposure() - settled * 1000.0) < 1.0);
        ui->actionStartStream->setChecked(false);
        QCOMPARE(answer.count(), 0);
    }

    void saturationWarnsWithoutAutomaticExposure() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer;
        QVERIFY(placeDemoFiles());
        setHeadKeys(greenOnly());
        storeSettings({{QStringLiteral("autoexpo"), false},
                       {QStringLiteral("expo"), 8000.0},
                       {QStringLiteral("rect"), kGreenRoi}});
        auto w = openWindow();
        Ui::MainWindow* ui = w->form();
        selectCamera(*w);
        QVERIFY(streamUntilMeasured(*w));
        FrameCounter frames(*w);
        QVERIFY(frames.waitFrames(5));
        QCOMPARE(ui->warningLabel->text(),
                 QStringLiteral("Exposure too high, the measure is incorrect"));
        QCOMPARE(ui->maxGValue->text(), QStringLiteral("100%"));
        QCOMPARE(ui->exposureSpin->value(), 8.0);

        // Switching automatic exposure on brings it down. The session measures ahead of the
        // window, so the next frames shown may still be ones measured before the switch.
        ui->autoExpoCheckBox->setChecked(true);
        QVERIFY(testsupport::waitUntil([&] { return ui->exposureSpin->value() < 8.0; }, 10000));
        ui->actionStartStream->setChecked(false);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TestE2eMeasure test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e_measure.moc"
