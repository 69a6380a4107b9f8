#include "PaintPacer.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>
#include <QWidget>

#include <cmath>
#include <utility>

namespace lumetra::app {

PaintPacer::PaintPacer(QWidget* window) : QObject(window), m_window(window) {
    m_later.setSingleShot(true);
    connect(&m_later, &QTimer::timeout, this, [this] {
        // Qt posts no further request for a held one until it is handled: the changes
        // gathered meanwhile are handled here together, layouts first.
        m_releasing = true;
        m_last.start();
        for (const QPointer<QWidget>& w : std::exchange(m_layoutsHeld, {})) {
            QEvent request(QEvent::LayoutRequest);
            if (w)
                QCoreApplication::sendEvent(w, &request);
        }
        if (std::exchange(m_paintHeld, false)) {
            QEvent request(QEvent::UpdateRequest);
            QCoreApplication::sendEvent(m_window, &request);
        }
        m_releasing = false;
    });
    // Layout requests go to the widget that holds the changed layout, anywhere in the window.
    qApp->installEventFilter(this);
}

qint64 PaintPacer::periodMs() const {
    const QScreen* screen = m_window->screen();
    const double hz = screen && screen->refreshRate() >= 1.0 ? screen->refreshRate() : 60.0;
    return qint64(std::ceil(1000.0 / hz));
}

bool PaintPacer::hold() {
    const qint64 since = m_last.isValid() ? m_last.elapsed() : -1;
    const qint64 period = periodMs();
    if (since < 0 || since >= period) {
        m_last.start();
        return false;
    }
    if (!m_later.isActive())
        m_later.start(int(period - since));
    return true;
}

bool PaintPacer::eventFilter(QObject* watched, QEvent* event) {
    // Widgets first: the calls other threads post to their relays in this thread are not
    // ours to read before the relay takes them over.
    if (m_releasing || !watched->isWidgetType())
        return false;
    const QEvent::Type type = event->type();
    if (type == QEvent::UpdateRequest && watched == m_window) {
        if (!hold())
            return false;
        m_paintHeld = true;
        return true;
    }
    if (type == QEvent::LayoutRequest) {
        auto* w = static_cast<QWidget*>(watched);
        // Only this window's, and not while it is hidden (showing lays it out at once).
        if (w->window() != m_window || !m_window->isVisible() || !hold())
            return false;
        if (!m_layoutsHeld.contains(w))
            m_layoutsHeld.append(w);
        return true;
    }
    return false;
}

} // namespace lumetra::app
