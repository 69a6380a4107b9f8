#include "HelpController.h"

#include "MainWindowForm.h"
#include "Settings.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

static void registerManualResources() {
    Q_INIT_RESOURCE(manual);
}

namespace lumetra::app {

namespace st = lumetra::settings;

namespace {

// How often the tour offer looks again while another box is open.
constexpr int kOfferRetryMs = 200;

// The orange of the corner buttons' hover, so the highlight reads as "this one".
const QColor kHighlight(0xFF, 0xCC, 0x55);

class HighlightFrame : public QWidget {
public:
    explicit HighlightFrame(QWidget* parent) : QWidget(parent) {
        // The window stays usable under the tour: clicks pass through the frame.
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setAccessibleName(QStringLiteral("Tour highlight"));
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        // A ring: what is highlighted stays in sight and stays itself.
        setMask(QRegion(rect()) - QRegion(rect().adjusted(5, 5, -5, -5)));
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(kHighlight, 3));
        p.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
    }
};

// The heading blocks of the manual, in order: level and text.
struct Heading {
    int level;
    QString text;
    int position;
};

QList<Heading> headings(const QTextDocument* doc) {
    QList<Heading> out;
    for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
        const int level = b.blockFormat().headingLevel();
        if (level >= 1 && level <= 3)
            out.append({level, b.text(), b.position()});
    }
    return out;
}

} // namespace

QString manualMarkdown() {
    static const bool registered = [] {
        registerManualResources();
        return true;
    }();
    Q_UNUSED(registered);
    QFile f(QStringLiteral(":/manual/manual.md"));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

HelpController::HelpController(QMainWindow* window, Ui::MainWindow* ui, QWidget* recordButton)
    : QObject(window), m_window(window), m_ui(ui) {
    QWidget* startButton = ui->toolBar->widgetForAction(ui->actionStartStream);
    m_steps = {
        {QStringLiteral("Sensor head"),
         QStringLiteral("Pick your camera (or the simulated sensor head) here; Lumetra opens it, "
                        "loads its calibration file and shows a still image."),
         {ui->listCamComboBox},
         {}},
        {QStringLiteral("Start Streaming"),
         QStringLiteral("Starts and stops the live measurement once a sensor head is selected."),
         {startButton},
         {}},
        {QStringLiteral("Spot selection"),
         QStringLiteral("Tell Lumetra which of the head's four corners the beams enter: each "
                        "corner has its own calibration."),
         {ui->groupBox_3},
         {}},
        {QStringLiteral("Region of interest"),
         QStringLiteral("The green rectangle in the spot view is what is measured: click to "
                        "centre it, drag to size it (at most 1200 x 1200 pixels)."),
         {ui->scrollArea},
         {}},
        {QStringLiteral("Auto ROI"),
         QStringLiteral("While checked, Lumetra moves the region onto the beams of the selected "
                        "corner by itself; drawing a region unchecks it."),
         {ui->autoRoiCheckBox},
         {}},
        {QStringLiteral("Results"),
         QStringLiteral("Divergence (FWHM, mrad), alignment between the beams (mrad) and power "
                        "(W) of the selected corner; N/A until the stabilizer is full."),
         {ui->groupBox, ui->groupBox_2, ui->powerGroup},
         {}},
        {QStringLiteral("Power calibration"),
         QStringLiteral("With only that beam on, press Calibrate and enter the power it "
                        "carries; the factor is stored in the camera's calibration file."),
         {ui->calRPushButton, ui->calGPushButton, ui->calBPushButton},
         {}},
        {QStringLiteral("Record"),
         QStringLiteral("Writes every measured frame as one row of a CSV file until pressed "
                        "again."),
         {recordButton},
         {}},
        {QStringLiteral("Save Report"),
         QStringLiteral("In the Reports menu: a one-page PDF of the last measurement, with a CSV "
                        "of the same values beside it."),
         {ui->menubar},
         [ui] { return ui->menubar->actionGeometry(ui->menuReports->menuAction()); }},
    };

    window->installEventFilter(this);
    connect(ui->actionShow_manual, &QAction::triggered, this, &HelpController::showManual);
    connect(ui->actionStep_by_Step, &QAction::triggered, this, &HelpController::startTour);
    ui->menuHelp->menuAction()->setVisible(true);
}

HelpController::~HelpController() {
    endTour();
}

bool HelpController::eventFilter(QObject* watched, QEvent* event) {
    // Closing the window closes the manual with it.
    if (watched == m_window && event->type() == QEvent::Close && m_manual)
        m_manual->close();
    return QObject::eventFilter(watched, event);
}

QWidget* HelpController::manualWindow() const {
    return m_manual;
}

void HelpController::buildManualWindow() {
    // The window's own: it goes with it and never keeps the program running alone.
    auto* w = new QWidget(m_window, Qt::Window);
    w->setObjectName(QStringLiteral("manualWindow"));
    w->setWindowTitle(QStringLiteral("Lumetra manual"));
    w->setAccessibleName(QStringLiteral("Lumetra manual"));
    w->resize(1000, 760);

    m_contents = new QTreeWidget(w);
    m_contents->setObjectName(QStringLiteral("manualContents"));
    m_contents->setHeaderHidden(true);
    m_contents->setAccessibleName(QStringLiteral("Manual contents"));
    m_browser = new QTextBrowser(w);
    m_browser->setObjectName(QStringLiteral("manualBrowser"));
    m_browser->setAccessibleName(QStringLiteral("Manual text"));
    m_browser->setOpenLinks(false);
    m_browser->setMarkdown(manualMarkdown());

    // The contents: the manual's own headings (the title is the window's).
    QTreeWidgetItem* parent = nullptr;
    for (const Heading& h : headings(m_browser->document())) {
        if (h.level == 1)
            continue;
        QTreeWidgetItem* item = (h.level == 3 && parent) ? new QTreeWidgetItem(parent)
                                                         : new QTreeWidgetItem(m_contents);
        if (h.level == 2)
            parent = item;
        item->setText(0, h.text);
        item->setData(0, Qt::UserRole, h.position);
    }
    m_contents->expandAll();
    auto goTo = [browser = m_browser](QTreeWidgetItem* item) {
        if (!item)
            return;
        const int pos = item->data(0, Qt::UserRole).toInt();
        QTextCursor c(browser->document());
        c.setPosition(pos);
        browser->setTextCursor(c);
        // The heading at the top of the view, not merely somewhere in it.
        const QRectF r = browser->document()->documentLayout()->blockBoundingRect(
            browser->document()->findBlock(pos));
        browser->verticalScrollBar()->setValue(int(r.top()));
    };
    // The list picks its first entry by itself on focus (no previous entry then): only the
    // reader's choices move the text.
    connect(m_contents, &QTreeWidget::currentItemChanged, m_browser,
            [goTo](QTreeWidgetItem* item, QTreeWidgetItem* previous) {
                if (previous)
                    goTo(item);
            });
    connect(m_contents, &QTreeWidget::itemClicked, m_browser, goTo);

    auto* split = new QSplitter(Qt::Horizontal, w);
    split->addWidget(m_contents);
    split->addWidget(m_browser);
    split->setStretchFactor(1, 1);
    split->setSizes({260, 740});
    auto* layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(split);
    m_manual = w;
}

void HelpController::showManual() {
    if (!m_manual)
        buildManualWindow();
    m_manual->show();
    m_manual->raise();
    m_manual->activateWindow();
}

void HelpController::startTour() {
    endTour();
    m_tour = new TourOverlay(m_window, m_steps);
    connect(m_tour, &TourOverlay::finished, this, [this] {
        if (m_tour) {
            m_tour->deleteLater();
            m_tour = nullptr;
        }
    });
    m_tour->show(0);
}

void HelpController::endTour() {
    if (m_tour) {
        TourOverlay* t = m_tour;
        m_tour = nullptr;
        delete t;
    }
}

void HelpController::offerTourOnce() {
    if (st::File().value(st::kTourOffered))
        return;
    QTimer::singleShot(0, this, &HelpController::showOffer);
}

void HelpController::showOffer() {
    // A window already closing (an installer started) has nothing to show around.
    if (!m_window->isVisible())
        return;
    // After any other box (the folder warning, the update question): one at a time.
    if (QApplication::activeModalWidget()) {
        QTimer::singleShot(kOfferRetryMs, this, &HelpController::showOffer);
        return;
    }
    {
        st::File s;
        if (s.value(st::kTourOffered))
            return;
        // Remembered first: a run that ends with the box open does not ask again.
        s.setValue(st::kTourOffered, true);
        s.sync();
    }
    QMessageBox box(QMessageBox::Question, QStringLiteral("Step by Step"),
                    QStringLiteral("New to Lumetra? A short tour shows each control of the "
                                   "window in turn.\nHelp > Step by Step runs it at any time."),
                    QMessageBox::NoButton, m_window);
    QPushButton* take = box.addButton(QStringLiteral("Take the tour"), QMessageBox::AcceptRole);
    QPushButton* later = box.addButton(QStringLiteral("Not now"), QMessageBox::RejectRole);
    box.setDefaultButton(later);
    box.setEscapeButton(later);
    box.exec();
    if (box.clickedButton() == take)
        startTour();
}

// --- TourOverlay -------------------------------------------------------------------------

TourOverlay::TourOverlay(QMainWindow* window, QList<HelpController::Step> steps)
    : QObject(window), m_window(window), m_steps(std::move(steps)) {
    m_frame = new HighlightFrame(window);

    m_bubble = new QFrame(window);
    m_bubble->setObjectName(QStringLiteral("tourBubble"));
    m_bubble->setAccessibleName(QStringLiteral("Step by Step tour"));
    m_bubble->setStyleSheet(QStringLiteral(
        "#tourBubble {background-color:#444; border:2px solid #FC5; border-radius:6px;}"
        "QLabel {color:#EEE;}"));
    m_bubble->setFixedWidth(320);
    m_title = new QLabel(m_bubble);
    QFont bold = m_title->font();
    bold.setBold(true);
    bold.setPointSize(bold.pointSize() + 1);
    m_title->setFont(bold);
    m_title->setAccessibleName(QStringLiteral("Tour step title"));
    m_text = new QLabel(m_bubble);
    m_text->setWordWrap(true);
    m_text->setAccessibleName(QStringLiteral("Tour step text"));
    m_counter = new QLabel(m_bubble);
    m_counter->setAccessibleName(QStringLiteral("Tour step number"));
    m_back = new QPushButton(QStringLiteral("Back"), m_bubble);
    m_back->setAccessibleName(QStringLiteral("Previous tour step"));
    m_next = new QPushButton(QStringLiteral("Next"), m_bubble);
    m_next->setAccessibleName(QStringLiteral("Next tour step"));
    m_next->setDefault(true);
    m_close = new QPushButton(QStringLiteral("Close"), m_bubble);
    m_close->setAccessibleName(QStringLiteral("Close the tour"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_counter);
    buttons->addStretch(1);
    buttons->addWidget(m_back);
    buttons->addWidget(m_next);
    buttons->addWidget(m_close);
    auto* layout = new QVBoxLayout(m_bubble);
    layout->addWidget(m_title);
    layout->addWidget(m_text);
    layout->addLayout(buttons);

    connect(m_back, &QPushButton::clicked, this, &TourOverlay::back);
    connect(m_next, &QPushButton::clicked, this, &TourOverlay::next);
    connect(m_close, &QPushButton::clicked, this, &TourOverlay::close);
    window->installEventFilter(this);
    m_bubble->installEventFilter(this);
}

TourOverlay::~TourOverlay() {
    // The window may be going first (its children with it).
    if (m_window)
        m_window->removeEventFilter(this);
    delete m_frame;
    delete m_bubble;
}

bool TourOverlay::isActive() const {
    return m_current >= 0 && m_bubble->isVisible();
}

void TourOverlay::show(int step) {
    if (step < 0 || step >= count())
        return;
    m_current = step;
    const HelpController::Step& s = m_steps[step];
    m_title->setText(s.title);
    m_text->setText(s.text);
    m_counter->setText(QStringLiteral("%1 of %2").arg(step + 1).arg(count()));
    m_back->setEnabled(step > 0);
    m_next->setText(step + 1 < count() ? QStringLiteral("Next") : QStringLiteral("Finish"));
    m_next->setAccessibleName(step + 1 < count() ? QStringLiteral("Next tour step")
                                                 : QStringLiteral("Finish the tour"));
    // Controls scrolled out of the right column are brought into sight first, the middle
    // of the group when it is wider than the column.
    QScrollArea* area = nullptr;
    QRect inArea;
    for (const QPointer<QWidget>& w : s.widgets) {
        for (QWidget* p = w ? w->parentWidget() : nullptr; p && !area; p = p->parentWidget()) {
            auto* a = qobject_cast<QScrollArea*>(p);
            if (a && a->widget() && a->widget()->isAncestorOf(w))
                area = a;
        }
        if (area && area->widget()->isAncestorOf(w))
            inArea = inArea.united(QRect(w->mapTo(area->widget(), QPoint()), w->size()));
    }
    if (area && !inArea.isEmpty()) {
        const QSize view = area->viewport()->size();
        area->ensureVisible(inArea.center().x(), inArea.center().y(),
                            qMin(inArea.width() / 2 + 10, view.width() / 2),
                            qMin(inArea.height() / 2 + 10, view.height() / 2));
    }
    place();
    m_frame->show();
    m_bubble->show();
    m_frame->raise();
    m_bubble->raise();
    m_next->setFocus();
}

QRect TourOverlay::highlighted() const {
    if (m_current < 0)
        return {};
    const HelpController::Step& s = m_steps[m_current];
    QRect area;
    for (int i = 0; i < s.widgets.size(); ++i) {
        QWidget* w = s.widgets[i];
        if (!w)
            continue;
        QRect r = (i == 0 && s.part) ? s.part() : w->rect();
        r = QRect(w->mapTo(m_window, r.topLeft()), r.size());
        area = area.united(r);
    }
    return area;
}

void TourOverlay::place() {
    const QRect target = highlighted();
    m_frame->setGeometry(target.adjusted(-5, -5, 5, 5));

    m_bubble->adjustSize();
    const QSize b = m_bubble->size();
    const QRect win = m_window->rect();
    constexpr int gap = 12;
    // Beside the target where it fits (left first: the controls are on the right), else
    // below, else above, else inside a target as large as the window (the spot view) at
    // its lower right; always inside the window.
    QPoint at;
    if (target.left() - gap - b.width() >= win.left())
        at = QPoint(target.left() - gap - b.width(), target.top());
    else if (target.right() + gap + b.width() <= win.right())
        at = QPoint(target.right() + gap, target.top());
    else if (target.bottom() + gap + b.height() <= win.bottom())
        at = QPoint(target.left(), target.bottom() + gap);
    else if (target.top() - gap - b.height() >= win.top())
        at = QPoint(target.left(), target.top() - gap - b.height());
    else
        at = QPoint(target.right() - gap - b.width(), target.bottom() - gap - b.height());
    at.setX(qBound(win.left(), at.x(), qMax(win.left(), win.right() - b.width())));
    at.setY(qBound(win.top(), at.y(), qMax(win.top(), win.bottom() - b.height())));
    m_bubble->move(at);
}

void TourOverlay::next() {
    if (m_current + 1 < count())
        show(m_current + 1);
    else
        close();
}

void TourOverlay::back() {
    if (m_current > 0)
        show(m_current - 1);
}

void TourOverlay::close() {
    m_frame->hide();
    m_bubble->hide();
    m_current = -1;
    emit finished();
}

bool TourOverlay::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_window && m_current >= 0 &&
        (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest))
        QTimer::singleShot(0, this, [this] {
            if (m_current >= 0)
                place();
        });
    if (watched == m_bubble && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        close();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

} // namespace lumetra::app
