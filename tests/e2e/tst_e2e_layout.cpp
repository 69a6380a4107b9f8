// The window as a first start shows it, at its default size and maximised on a full-HD
// screen, with every result label holding the widest text it can be given at once: no
// label is cut and the right column never scrolls sideways.

#include "E2eKit.h"

#include "BeamAnalysisPanel.h"

#include <QApplication>
#include <QDockWidget>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

using namespace e2e;

namespace {

// Widest texts: widths and offsets up to a full 1200-pixel region (0.01 mrad per pixel),
// three-digit watts, a full peak level, a sensor about to be shut down.
void fillWidest(MainWindow& w) {
    Ui::MainWindow* ui = w.form();
    for (QLabel* l : {ui->redDivValue, ui->greenDivValue, ui->blueDivValue, ui->divValue})
        l->setText(QStringLiteral("9.99 x 9.99 [9.99]"));
    for (QLabel* l : {ui->rgValue, ui->bgValue, ui->rbValue})
        l->setText(QStringLiteral("-11.99 x -11.99"));
    for (QLabel* l :
         {ui->valuePowerRed, ui->valuePowerGreen, ui->valuePowerBlue, ui->valuePowerTotal})
        l->setText(QStringLiteral("999.99 W"));
    for (QLabel* l : {ui->maxRValue, ui->maxGValue, ui->maxBValue})
        l->setText(QStringLiteral("100%"));
    ui->temperatureLabel->setText(QStringLiteral("Sensor temperature: -99.9"));
    auto* dock = w.findChild<QDockWidget*>(QStringLiteral("beamAnalysisDock"));
    const QString cells[5] = {QStringLiteral("12.00 x 12.00"), QStringLiteral("12.00 x 12.00"),
                              QStringLiteral("Processing..."), QStringLiteral("999.99 W"),
                              QStringLiteral("255.00")};
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 5; ++col)
            if (auto* l = dock->findChild<QLabel*>(QStringLiteral("beam%1%2").arg(row).arg(col)))
                l->setText(cells[col]);
}

// Every label of the result column and of the shown docks whole and in sight; the result
// column without a horizontal scroll bar.
void nothingCut(MainWindow& w) {
    QTest::qWait(50); // layouts settle over a few posted events
    QApplication::processEvents();
    Ui::MainWindow* ui = w.form();
    // A label of the result column must be in its visible part, one of a dock in the window.
    QList<QPair<QLabel*, QWidget*>> labels;
    for (QLabel* l : ui->scrollAreaWidgetContents_2->findChildren<QLabel*>())
        labels.append({l, ui->scrollArea_2->viewport()});
    for (QDockWidget* d : w.findChildren<QDockWidget*>())
        if (d->isVisible())
            for (QLabel* l : d->findChildren<QLabel*>())
                labels.append({l, &w});
    int checked = 0;
    for (const auto& [l, clip] : labels) {
        if (!l->isVisible() || l->wordWrap())
            continue;
        ++checked;
        const QSize hint = l->sizeHint();
        const QRect seen(l->mapTo(clip, QPoint(0, 0)), l->size());
        const QString what = QStringLiteral("%1 \"%2\": hint %3 x %4, given %5 x %6 at %7, %8")
                                 .arg(l->accessibleName(), l->text())
                                 .arg(hint.width())
                                 .arg(hint.height())
                                 .arg(l->width())
                                 .arg(l->height())
                                 .arg(seen.x())
                                 .arg(seen.y());
        QVERIFY2(hint.width() <= l->width() && hint.height() <= l->height(), qPrintable(what));
        QVERIFY2(clip->rect().contains(seen), qPrintable(what));
    }
    QVERIFY(checked >= 30);
    QVERIFY2(!ui->scrollArea_2->horizontalScrollBar()->isVisible(),
             qPrintable(QStringLiteral("result column %1 wide, its contents %2")
                            .arg(ui->scrollArea_2->viewport()->width())
                            .arg(ui->scrollAreaWidgetContents_2->minimumSizeHint().width())));
    // The spot view keeps a usable share.
    QVERIFY2(ui->scrollArea->width() >= 250, qPrintable(QString::number(ui->scrollArea->width())));
}

} // namespace

class TestE2eLayout : public QObject {
    Q_OBJECT
private slots:
    void widestTextsFitFirstStartAndMaximised() {
        testsupport::TempWorkDir dir;
        testsupport::ModalAnswerer answer; // the version notes of a first start
        QVERIFY(placeDemoFiles());
        auto w = openWindow();
        QCOMPARE(w->size(), QSize(1100, 850));
        selectCamera(*w);
        QVERIFY(w->camera()->isOpen());
        fillWidest(*w);
        nothingCut(*w);
        if (QTest::currentTestFailed())
            return;
        w->showMaximized();
        QVERIFY(testsupport::waitUntil([&] { return w->width() >= 1900; }));
        nothingCut(*w);
        if (QTest::currentTestFailed())
            return;
        // Dragged beside the result column, the beam analysis stacks its profiles again.
        w->addDockWidget(Qt::RightDockWidgetArea, w->beamAnalysisDock());
        QVERIFY(testsupport::waitUntil(
            [&] { return w->beamAnalysisPanel()->orientation() == Qt::Vertical; }));
        nothingCut(*w);
    }
};

int main(int argc, char** argv) {
    // A full-HD screen, as on the bench PCs.
    QTemporaryDir config;
    if (!testsupport::useOffscreenScreen(config, 1920, 1080))
        return 2;
    QApplication app(argc, argv);
    TestE2eLayout test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_e2e_layout.moc"
