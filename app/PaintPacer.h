#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTimer>

class QWidget;

namespace lumetra::app {

// Paints and lays out a window at most once per screen refresh. A fast stream changes the
// result labels, the status bar and the scenes two hundred times a second; Qt lays the
// window out again after each new label text and repaints it, and most of that never
// reaches the screen while it takes processor time the measuring needs. Between two
// refreshes the changes gather and are laid out and painted together; the widgets' texts
// change at once as before.
class PaintPacer : public QObject {
public:
    explicit PaintPacer(QWidget* window);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    qint64 periodMs() const;
    // Whether a request comes too soon after the last one handled; if so, the timer will
    // hand it on.
    bool hold();

    QWidget* m_window;
    QElapsedTimer m_last; // the last layout or painting handed on
    bool m_paintHeld = false;
    bool m_releasing = false; // the timer hands the held requests on
    QList<QPointer<QWidget>> m_layoutsHeld;
    QTimer m_later;
};

} // namespace lumetra::app
