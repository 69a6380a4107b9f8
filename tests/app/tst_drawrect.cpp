// The region's outline drawn into frames: pixel for pixel what QPainter's stroke draws,
// for regions anywhere in or beyond the frame, any pen, and a region that changes or not.

#include <QPainter>
#include <QtTest>

#include <random>

#include "DrawRect.h"

class TestDrawRect : public QObject {
    Q_OBJECT
private slots:
    void sameAsTheStroke();
};

void TestDrawRect::sameAsTheStroke() {
    std::mt19937 rng(11);
    const auto noisy = [&](QSize size, QImage::Format format) {
        QImage image(size, format);
        for (int y = 0; y < image.height(); ++y) {
            uchar* line = image.scanLine(y);
            for (qsizetype i = 0; i < image.bytesPerLine(); ++i)
                line[i] = uchar(rng());
        }
        return image;
    };
    const auto check = [&](QSize size, QRect rect, int pen, QColor colour,
                           QImage::Format format = QImage::Format_RGB888) {
        const QImage before = noisy(size, format);
        QImage expected = before.copy();
        {
            QPainter painter(&expected);
            QPen p(colour);
            p.setWidthF(pen);
            painter.setPen(p);
            painter.drawRects(&rect, 1);
        }
        // Twice: the second call takes the outline found by the first.
        for (int call = 0; call < 2; ++call) {
            QImage drawn = before.copy();
            DrawRect(drawn, rect, pen, colour);
            QVERIFY2(drawn == expected, qPrintable(QStringLiteral("%1 x %2, rect %3,%4 %5 x %6, "
                                                                  "pen %7, call %8")
                                                       .arg(size.width())
                                                       .arg(size.height())
                                                       .arg(rect.x())
                                                       .arg(rect.y())
                                                       .arg(rect.width())
                                                       .arg(rect.height())
                                                       .arg(pen)
                                                       .arg(call)));
        }
    };
    // The window's case: the largest region on a full frame.
    check({1920, 1200}, {360, 0, 1200, 1199}, 5, Qt::green);
    // Several regions and pens on each frame size: the outline follows each change.
    for (int i = 0; i < 100; ++i) {
        const QSize size(2 + int(rng() % 90), 2 + int(rng() % 70));
        const auto coordinate = [&](int extent) { return int(rng() % (extent + 20)) - 10; };
        for (int j = 0; j < 3; ++j) {
            const QRect rect(coordinate(size.width()), coordinate(size.height()),
                             int(rng() % (size.width() + 10)), int(rng() % (size.height() + 10)));
            check(size, rect, 1 + int(rng() % 8), QColor::fromRgb(rng() & 0xffffff));
        }
    }
    // Other formats and translucent colours take QPainter's own way.
    check({40, 30}, {5, 5, 20, 10}, 3, QColor(0, 255, 0, 128));
    check({40, 30}, {5, 5, 20, 10}, 3, Qt::green, QImage::Format_RGB32);
}

QTEST_MAIN(TestDrawRect)
#include "tst_drawrect.moc"
