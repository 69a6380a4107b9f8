#pragma once
// The spot view: a graphics view that reports left presses and drags in its own pixel
// coordinates. The window sizes it to the camera image (plus its 2-pixel frame) and sets
// the scene rectangle to the image, so these positions are camera pixels as they are.

#include <QGraphicsView>
#include <QPoint>

class QMouseEvent;

class CustomGV : public QGraphicsView {
    Q_OBJECT
public:
    explicit CustomGV(QWidget* parent = nullptr);

signals:
    void gvClickedLeft(QPoint mousePos);
    void gvMove(QPoint mousePos);

protected:
    // A press counts when the left button is among the held buttons; nothing is passed
    // on to the view, which must not start its own selection or scrolling.
    void mousePressEvent(QMouseEvent* event) override;
    // Move events only arrive while a button is held (no mouse tracking), so every one
    // of them is a drag.
    void mouseMoveEvent(QMouseEvent* event) override;
};
