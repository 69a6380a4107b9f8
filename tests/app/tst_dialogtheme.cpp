// Dialogs parented to the main window must be readable: the text a user reads in each kind
// of message box, and in the progress dialog, stands out from the background it is drawn
// on, as rendered.

#include "MainWindow.h"
#include "TestSupport.h"

#include <QtTest>

#include <QAbstractButton>
#include <QHash>
#include <QLabel>
#include <QMessageBox>
#include <QProgressDialog>

namespace {

// WCAG contrast ratio between a rendered widget's background (its commonest colour) and
// the colour that differs most from it (its text).
double renderedContrast(QWidget* widget) {
    const auto luminance = [](QRgb c) {
        const auto channel = [](int v) {
            const double s = v / 255.0;
            return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
    };
    const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    const QRgb background = std::max_element(counts.cbegin(), counts.cend()).key();
    double best = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        const double a = luminance(it.key()), b = luminance(background);
        best = std::max(best, (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05));
    }
    return best;
}

} // namespace

class TstDialogTheme : public QObject {
    Q_OBJECT
private slots:
    void childDialogsAreReadable() {
        testsupport::TempWorkDir dir;
        testsupport::storeSettings({});
        MainWindow window;
        window.show();

        const QList<QMessageBox::Icon> kinds{QMessageBox::Information, QMessageBox::Warning,
                                             QMessageBox::Critical, QMessageBox::Question};
        for (QMessageBox::Icon kind : kinds) {
            QMessageBox box(kind, QStringLiteral("Title"),
                            QStringLiteral("Calibration file not found for this camera"),
                            QMessageBox::Ok | QMessageBox::Cancel, &window);
            box.show();
            QVERIFY(QTest::qWaitForWindowExposed(&box));
            auto* text = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
            QVERIFY(text);
            const double textContrast = renderedContrast(text);
            QVERIFY2(
                textContrast >= 4.5,
                qPrintable(
                    QStringLiteral("box %1: text contrast %2").arg(int(kind)).arg(textContrast)));
            const double buttonContrast = renderedContrast(box.button(QMessageBox::Ok));
            QVERIFY2(buttonContrast >= 4.5, qPrintable(QStringLiteral("box %1: button contrast %2")
                                                           .arg(int(kind))
                                                           .arg(buttonContrast)));
        }

        window.updateProgressDial(10, 100);
        auto* progress = window.findChild<QProgressDialog*>();
        QVERIFY(progress);
        QVERIFY(QTest::qWaitForWindowExposed(progress));
        QLabel* label = progress->findChild<QLabel*>();
        QVERIFY(label);
        QVERIFY(renderedContrast(label) >= 4.5);
    }
};

QTEST_MAIN(TstDialogTheme)
#include "tst_dialogtheme.moc"
