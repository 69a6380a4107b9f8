#include "DrawRect.h"

#include <QPainter>
#include <QPen>

#include <vector>

namespace {

void strokeRect(QImage& image, const QRect& rect, int penWidth, const QColor& colour) {
    QPainter painter(&image);
    QPen pen(colour);
    pen.setWidthF(penWidth);
    painter.setPen(pen);
    painter.drawRects(&rect, 1);
}

// The pixels a stroke covers, as runs along the lines. A stroke over a full frame is
// split into pool tasks by Qt's painting and waited for, each time; the outline only
// changes with the region, so its pixels are found once and then set directly.
struct Outline {
    QSize size;
    QRect rect;
    int penWidth = -1;
    struct Run {
        int y, x0, x1; // x1 past the last pixel
    };
    std::vector<Run> runs;

    void update(const QSize& s, const QRect& r, int pen) {
        if (s == size && r == rect && pen == penWidth)
            return;
        size = s;
        rect = r;
        penWidth = pen;
        runs.clear();
        // Aliased coverage does not depend on the image's format.
        QImage mask(s, QImage::Format_Grayscale8);
        mask.fill(0);
        strokeRect(mask, r, pen, Qt::white);
        for (int y = 0; y < s.height(); ++y) {
            const uchar* line = mask.constScanLine(y);
            for (int x = 0; x < s.width();) {
                if (!line[x]) {
                    ++x;
                    continue;
                }
                const int x0 = x;
                while (x < s.width() && line[x])
                    ++x;
                runs.push_back({y, x0, x});
            }
        }
    }
};

} // namespace

void DrawRect(QImage& image, const QRect& rect, int penWidth, const QColor& colour) {
    if (image.format() != QImage::Format_RGB888 || colour.alpha() != 255) {
        strokeRect(image, rect, penWidth, colour);
        return;
    }
    thread_local Outline outline;
    outline.update(image.size(), rect, penWidth);
    const uchar rgb[3] = {uchar(colour.red()), uchar(colour.green()), uchar(colour.blue())};
    for (const Outline::Run& run : outline.runs) {
        uchar* p = image.scanLine(run.y) + 3 * run.x0;
        for (int x = run.x0; x < run.x1; ++x, p += 3) {
            p[0] = rgb[0];
            p[1] = rgb[1];
            p[2] = rgb[2];
        }
    }
}
