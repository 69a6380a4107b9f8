#pragma once
// The window's Help side: the user manual (Markdown compiled into the resources, shown in
// a browser window with its table of contents) and the Step by Step tour over the real
// window, offered once after the version notes of a first start.

#include <QList>
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QString>

#include <functional>

class QLabel;
class QMainWindow;
class QPushButton;
class QTextBrowser;
class QTreeWidget;
class QWidget;
namespace Ui {
class MainWindow;
}

namespace lumetra::app {

// The manual's Markdown source, as the program ships it.
QString manualMarkdown();

class TourOverlay;

class HelpController : public QObject {
    Q_OBJECT
public:
    // One stop of the tour: what is highlighted and what it says.
    struct Step {
        QString title;
        QString text;
        // The widgets whose union is highlighted; all must exist.
        QList<QPointer<QWidget>> widgets;
        // Optional: a part of the first widget (a menu title on the menu bar).
        std::function<QRect()> part;
    };

    HelpController(QMainWindow* window, Ui::MainWindow* ui, QWidget* recordButton);
    ~HelpController() override;

    void showManual();
    void startTour();
    void endTour();

    // Offers the tour once per installation: after the version notes of a first start,
    // as soon as no other box is open. Remembered before it is shown.
    void offerTourOnce();

    QWidget* manualWindow() const;
    QTextBrowser* manualBrowser() const { return m_browser; }
    QTreeWidget* manualContents() const { return m_contents; }
    TourOverlay* tour() const { return m_tour; }
    const QList<Step>& steps() const { return m_steps; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildManualWindow();
    void showOffer();

    QMainWindow* m_window;
    Ui::MainWindow* m_ui;
    QList<Step> m_steps;
    QPointer<QWidget> m_manual;
    QTextBrowser* m_browser = nullptr;
    QTreeWidget* m_contents = nullptr;
    TourOverlay* m_tour = nullptr;
};

// The tour's highlight frame and its bubble (text, Back, Next, Close) over the window.
class TourOverlay : public QObject {
    Q_OBJECT
public:
    TourOverlay(QMainWindow* window, QList<HelpController::Step> steps);
    ~TourOverlay() override;

    void show(int step);
    int current() const { return m_current; }
    int count() const { return static_cast<int>(m_steps.size()); }
    bool isActive() const;
    // The highlighted area in window coordinates.
    QRect highlighted() const;
    QWidget* bubble() const { return m_bubble; }
    QPushButton* nextButton() const { return m_next; }
    QPushButton* backButton() const { return m_back; }
    QPushButton* closeButton() const { return m_close; }
    QLabel* textLabel() const { return m_text; }

public slots:
    void next();
    void back();
    void close();

signals:
    void finished();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void place();

    QMainWindow* m_window;
    QList<HelpController::Step> m_steps;
    int m_current = -1;
    // Children of the window, which may delete them first when it closes.
    QPointer<QWidget> m_frame;
    QPointer<QWidget> m_bubble;
    QLabel* m_title = nullptr;
    QLabel* m_text = nullptr;
    QLabel* m_counter = nullptr;
    QPushButton* m_back = nullptr;
    QPushButton* m_next = nullptr;
    QPushButton* m_close = nullptr;
};

} // namespace lumetra::app
