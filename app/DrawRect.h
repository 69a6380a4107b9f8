#pragma once
// The region's outline drawn into an image (the preview's small copy of the frame).

#include <QColor>
#include <QImage>
#include <QRect>

// Outline of one rectangle drawn into the image: the stroke of a pen of that width and
// colour, as QPainter draws it (no antialiasing).
// \context any thread; each thread keeps its own outline for the next call.
void DrawRect(QImage& image, const QRect& rect, int penWidth, const QColor& colour);
