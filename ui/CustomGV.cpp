#include "CustomGV.h"

#include <QMouseEvent>

CustomGV::CustomGV(QWidget* parent) : QGraphicsView(parent) {}

void CustomGV::mousePressEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton)
        emit gvClickedLeft(event->position().toPoint());
}

void CustomGV::mouseMoveEvent(QMouseEvent* event) {
    emit gvMove(event->position().toPoint());
}
