#include "ReportsController.h"

#include "BasCam.h"
#include "FrameExporter.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"
#include "Paths.h"
#include "PlotsPanel.h"
#include "ReportPdf.h"
#include "Settings.h"
#include "ToleranceValues.h"
#include "TolerancesDialog.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QDockWidget>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPainter>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QToolBar>

namespace st = lumetra::settings;
namespace tol = lumetra::tolerances;
using lumetra::session::ReportPtr;

namespace {

QIcon redDot() {
    QPixmap pm(32, 32);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(QColor(220, 0, 0));
    p.setPen(QPen(QColor(120, 0, 0), 2));
    p.drawEllipse(QRectF(5, 5, 22, 22));
    return QIcon(pm);
}

// A red frame drawn over a label: the label's own text, colour and style stay as they are.
class LimitFrame : public QWidget {
public:
    explicit LimitFrame(QLabel* label) : QWidget(label) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setGeometry(label->rect());
        label->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Resize)
            setGeometry(static_cast<QWidget*>(watched)->rect());
        return false;
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setPen(QPen(QColor(220, 0, 0), 2));
        p.drawRect(rect().adjusted(1, 1, -1, -1));
    }
};

QString elapsedText(double seconds) {
    const int s = int(seconds);
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600)
        .arg(s / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(s % 60, 2, 10, QLatin1Char('0'));
}

// The wavelengths of the calibration file that carry a column of the user's own.
QStringList userColumns(const QString& file) {
    QStringList out;
    if (!QFileInfo::exists(file))
        return out;
    QSettings s(file, QSettings::IniFormat);
    for (const QString& group : s.childGroups()) {
        s.beginGroup(group);
        if (s.childGroups().contains(QStringLiteral("user")))
            out << group;
        s.endGroup();
    }
    return out;
}

} // namespace

ReportsController::ReportsController(QMainWindow* window, Ui::MainWindow* ui,
                                     lumetra::session::MeasureSession* session, Hooks hooks)
    : QObject(window), m_window(window), m_ui(ui), m_session(session), m_hooks(std::move(hooks)) {
    m_clock.start();
    m_sinceStability.start();
    m_recorder.attach(session);
    connect(&m_recorder, &lumetra::session::Recorder::failed, this,
            &ReportsController::onRecordingFailed);
    connect(session, &lumetra::session::MeasureSession::cameraLost, this,
            [this] { m_cameraLost = true; });
    session->subscribe(this, [this](const ReportPtr& r) { onReport(r); });

    // Record: tool bar (red dot) and Reports menu.
    m_record = new QAction(redDot(), QStringLiteral("Record"), this);
    m_record->setObjectName(QStringLiteral("actionRecord"));
    m_record->setCheckable(true);
    m_record->setToolTip(QStringLiteral("Record every measured frame to a CSV file"));
    connect(m_record, &QAction::toggled, this, [this](bool on) {
        if (on && !m_recorder.isRecording() && !startRecording())
            m_record->setChecked(false);
        else if (!on && m_recorder.isRecording())
            stopRecording();
    });
    ui->toolBar->addSeparator();
    ui->toolBar->addAction(m_record);
    auto* unitLabel = new QLabel(QStringLiteral(" Unit "), ui->toolBar);
    m_unit = new QLineEdit(ui->toolBar);
    m_unit->setObjectName(QStringLiteral("unitEdit"));
    m_unit->setPlaceholderText(QStringLiteral("serial of the laser"));
    m_unit->setAccessibleName(QStringLiteral("Unit"));
    m_unit->setAccessibleDescription(QStringLiteral("Serial number of the laser under test"));
    m_unit->setMaximumWidth(160);
    unitLabel->setBuddy(m_unit);
    ui->toolBar->addWidget(unitLabel);
    ui->toolBar->addWidget(m_unit);

    ui->menuReports->insertAction(ui->actionSave_Report, m_record);
    addSaveFrames(ui);
    m_tolerancesAction = new QAction(QStringLiteral("Tolerances..."), this);
    m_tolerancesAction->setObjectName(QStringLiteral("actionTolerances"));
    ui->menuReports->addAction(m_tolerancesAction);
    connect(m_tolerancesAction, &QAction::triggered, this, &ReportsController::editTolerances);
    connect(ui->actionSave_Report, &QAction::triggered, this, &ReportsController::askSaveReport);

    // The menu bar shows what works: Reports, Calibration and Help.
    ui->menubar->show();

    m_recordingStatus = new QLabel(window);
    m_recordingStatus->setAccessibleName(QStringLiteral("Recording"));
    m_verdict = new QLabel(window);
    m_verdict->setAccessibleName(QStringLiteral("Tolerance verdict"));
    ui->statusbar->addPermanentWidget(m_recordingStatus);
    ui->statusbar->addPermanentWidget(m_verdict);
    ui->statusbar->addPermanentWidget(m_saveStatus);
    // The rate is shown in the status bar's message; once it gives way to another (the
    // stream stopped, the camera lost), the red goes with it.
    connect(ui->statusbar, &QStatusBar::messageChanged, this, [this] {
        if (m_session->isStreaming())
            return;
        const bool was = m_rateWatch.behind();
        m_rateWatch.reset();
        if (was)
            markFrameRate();
    });
    m_statusTimer.setInterval(500);
    connect(&m_statusTimer, &QTimer::timeout, this, &ReportsController::updateRecordingStatus);

    m_plots = new lumetra::ui::PlotsPanel();
    m_plots->setAccessibleName(QStringLiteral("Plots"));
    m_plotsDock = new QDockWidget(QStringLiteral("Plots"), window);
    m_plotsDock->setObjectName(QStringLiteral("plotsDock"));
    m_plotsDock->setAccessibleName(QStringLiteral("Plots"));
    m_plotsDock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                             QDockWidget::DockWidgetFloatable);
    m_plotsDock->setWidget(m_plots);
    window->addDockWidget(Qt::RightDockWidgetArea, m_plotsDock);
    m_plotsDock->hide(); // opened from the tool bar's context menu, like the beam analysis

    m_limits = tol::Tolerances::stored();
}

ReportsController::~ReportsController() {
    m_recorder.stop();
}

void ReportsController::onReport(const ReportPtr& r) {
    if (!r)
        return;
    m_serial = r->cameraSerial;
    // The window has handled this report just before (it subscribed first); it leaves out
    // reports of a fill already left or of a stream already stopped.
    if (m_session->isStreaming()) {
        showFrameRate(*r);
        // The shown texts are gathered only for frames being saved.
        if (r->fillId == m_session->fillId() && m_exporter->isSaving())
            m_exporter->offer(r, shownTexts());
    }
    const double now = m_clock.elapsed() / 1000.0;
    m_plots->addResult(now, r->result);
    if (r->result.stabilised) {
        m_live.add(lumetra::measure::stabilitySample(r->result, now));
        // The live figures follow at most twice a second, and only while they are seen.
        if (m_plotsDock->isVisible() && m_sinceStability.elapsed() >= 500) {
            m_plots->setStability(m_live.window(m_plots->stabilityWindow()));
            m_sinceStability.restart();
        }
    }
    if (r->result.analysis.profiles)
        m_lastProfiles = r;
    if (!r->result.measured || !r->result.stabilised)
        return;
    m_last = r;
    evaluate();
}

void ReportsController::addSaveFrames(Ui::MainWindow* ui) {
    m_exporter = new FrameExporter(this);
    m_saveFrames = new QAction(QStringLiteral("Save frames"), this);
    m_saveFrames->setObjectName(QStringLiteral("actionSaveFrames"));
    m_saveFrames->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    m_saveFrames->setToolTip(
        QStringLiteral("Save the next frames as PNG with the command that re-measures them"));
    connect(m_saveFrames, &QAction::triggered, this, [this] {
        QString error;
        if (!saveFrames(&error))
            QMessageBox::warning(m_window, QStringLiteral("Save frames"), error);
    });
    ui->toolBar->addAction(m_saveFrames);
    // 0 stands for the stabiliser depth, which is what rebuilds the stabilised result.
    m_saveCount = new QSpinBox(ui->toolBar);
    m_saveCount->setObjectName(QStringLiteral("saveFramesCount"));
    m_saveCount->setRange(0, FrameExporter::kMaxFrames);
    m_saveCount->setSpecialValueText(QStringLiteral("depth"));
    m_saveCount->setSuffix(QStringLiteral(" frames"));
    m_saveCount->setAccessibleName(QStringLiteral("Frames to save"));
    m_saveCount->setToolTip(QStringLiteral("How many frames Save frames writes"));
    ui->toolBar->addWidget(m_saveCount);
    ui->menuReports->insertAction(ui->actionSave_Report, m_saveFrames);

    m_saveStatus = new QLabel(m_window);
    m_saveStatus->setAccessibleName(QStringLiteral("Saving frames"));
    connect(m_exporter, &FrameExporter::progress, this, [this](int written, int total) {
        m_saveStatus->setText(QStringLiteral("Saving frames %1/%2").arg(written).arg(total));
    });
    connect(m_exporter, &FrameExporter::finished, this, [this](const QString& folder) {
        m_saveStatus->setText(QStringLiteral("Frames saved: ") + folder);
        emit framesSaved(folder);
    });
    connect(m_exporter, &FrameExporter::failed, this, [this](const QString& message) {
        m_saveStatus->setText(QStringLiteral("Frames not saved"));
        QMessageBox::warning(m_window, QStringLiteral("Save frames"), message);
    });
}

bool ReportsController::saveFrames(QString* error) {
    if (!m_session->isStreaming()) {
        *error = QStringLiteral("Start the stream first: frames are saved as they are measured.");
        return false;
    }
    const QString dir = recordingsFolder(true);
    if (dir.isEmpty()) {
        *error = QStringLiteral("No recordings folder chosen.");
        return false;
    }
    FrameExporter::Setup setup;
    setup.calibrationFile = m_session->calibrationFile();
    if (m_hooks.wavelengths)
        setup.wavelengths = m_hooks.wavelengths();
    setup.calibration = m_session->calibrationData();
    setup.redBoost = m_session->redBoost();
    const QString beside =
        QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("lumetra-measure"));
    setup.measureProgram =
        QFileInfo(beside).isExecutable() ? beside : QStringLiteral("lumetra-measure");
    const int count = m_saveCount->value() > 0 ? m_saveCount->value() : m_session->stabDepth();
    return m_exporter->start(dir, m_serial, count, setup, error);
}

lumetra::measure::ResultTexts ReportsController::shownTexts() const {
    // Labels keep their text when a frame leaves one unset (a power calibration's sample):
    // what the window shows, not what the frame said.
    lumetra::measure::ResultTexts shown;
    for (int t = 0; t < lumetra::measure::kResultTextCount; ++t) {
        const auto text = lumetra::measure::ResultText(t);
        if (const QLabel* label = m_hooks.label ? m_hooks.label(text) : nullptr)
            shown[text] = label->text();
    }
    return shown;
}

void ReportsController::showFrameRate(const lumetra::session::FrameReport& r) {
    const bool was = m_rateWatch.behind();
    if (m_rateWatch.add(r.sequence, m_session->measuredFrames(), r.time.toMSecsSinceEpoch(),
                        r.frameRate) != was)
        markFrameRate();
}

void ReportsController::markFrameRate() {
    m_ui->statusbar->setStyleSheet(
        m_rateWatch.behind() ? QStringLiteral("QStatusBar { color: #FF5544; }") : QString());
}

void ReportsController::setLimits(const tol::Tolerances& limits) {
    m_limits = limits;
    m_limits.store();
    evaluate();
}

void ReportsController::evaluate() {
    if (!m_limits.any() || !m_last) {
        for (QWidget* f : std::as_const(m_frames))
            f->hide();
        // Even clearing an empty label lays the status bar out and repaints it, on every
        // frame.
        if (!m_verdict->text().isEmpty())
            m_verdict->clear();
        return;
    }
    const tol::Evaluation e = m_limits.evaluate(lumetra::session::toleranceValues(m_last->result));
    // A label is framed when any quantity it shows is out of its limits.
    QHash<QLabel*, bool> out;
    for (int i = 0; i < tol::kQuantityCount; ++i) {
        const auto text = lumetra::session::labelOf(tol::Quantity(i));
        QLabel* label = text && m_hooks.label ? m_hooks.label(*text) : nullptr;
        if (!label)
            continue;
        const tol::Verdict v = e.verdict[size_t(i)];
        out[label] = out.value(label) || v == tol::Verdict::Fail || v == tol::Verdict::NoValue;
    }
    for (auto it = out.cbegin(); it != out.cend(); ++it)
        mark(it.key(), it.value());
    m_verdict->setText(QStringLiteral("Tolerances: ") + e.summary());
    // Setting a style sheet polishes the label anew even when it is the same one.
    const QString colour = e.pass() ? QStringLiteral("color: rgb(0, 130, 0);")
                                    : QStringLiteral("color: rgb(200, 0, 0);");
    if (m_verdict->styleSheet() != colour)
        m_verdict->setStyleSheet(colour);
}

void ReportsController::mark(QLabel* label, bool on) {
    // A label gets its frame when it first fails; labels that never did have no entry.
    QWidget* f = m_frames.value(label);
    if (!f && on)
        m_frames.insert(label, f = new LimitFrame(label));
    // Left as it is when unchanged: raising it again repaints the label on every frame.
    if (f && f->isHidden() == on) {
        f->setVisible(on);
        if (on)
            f->raise();
    }
}

bool ReportsController::isMarked(QLabel* label) const {
    const QWidget* f = m_frames.value(label);
    return f && !f->isHidden();
}

QString ReportsController::recordingsFolder(bool ask) {
    st::File s;
    QString dir = s.value(st::kRecordingsDir);
    if (!dir.isEmpty() && QFileInfo(dir).isDir())
        return dir;
    if (!ask)
        return {};
    const QString offer = QFileInfo(lumetra::paths::recordingsDir()).absoluteFilePath();
    QDir().mkpath(offer);
    dir = QFileDialog::getExistingDirectory(m_window, QStringLiteral("Recordings folder"), offer);
    if (!dir.isEmpty())
        s.setValue(st::kRecordingsDir, dir);
    return dir;
}

bool ReportsController::startRecording() {
    const QString dir = recordingsFolder(true);
    if (dir.isEmpty())
        return false;
    const QString serial = m_session->isOpen() ? m_serial : QString();
    const QString file = QDir(dir).filePath(lumetra::session::Recorder::defaultFileName(
        serial.isEmpty() ? QStringLiteral("recording") : serial, m_unit->text(),
        QDateTime::currentDateTime()));
    m_cameraLost = false;
    if (!m_recorder.start(file, m_unit->text().trimmed())) {
        QMessageBox::warning(m_window, QStringLiteral("Recording"), m_recorder.errorString());
        return false;
    }
    const QSignalBlocker block(m_record);
    m_record->setChecked(true);
    m_statusTimer.start();
    updateRecordingStatus();
    return true;
}

void ReportsController::stopRecording() {
    m_recorder.stop();
    m_statusTimer.stop();
    const QSignalBlocker block(m_record);
    m_record->setChecked(false);
    updateRecordingStatus();
}

void ReportsController::updateRecordingStatus() {
    const QString name = QFileInfo(m_recorder.filePath()).fileName();
    if (name.isEmpty())
        return;
    m_recordingStatus->setText(QStringLiteral("%1 %2 - %3 rows - %4")
                                   .arg(m_recorder.isRecording() ? QStringLiteral("Recording")
                                                                 : QStringLiteral("Recorded"),
                                        name)
                                   .arg(m_recorder.rows())
                                   .arg(elapsedText(m_recorder.elapsedSeconds())));
}

void ReportsController::onRecordingFailed(const QString& message) {
    stopRecording();
    // A lost camera has its own box already; the status bar says why the recording ended.
    if (m_cameraLost)
        m_window->statusBar()->showMessage(message);
    else
        QMessageBox::warning(m_window, QStringLiteral("Recording stopped"), message);
}

bool ReportsController::saveReport(const QString& pdfPath, QString* error) {
    if (!m_last) {
        if (error)
            *error = QStringLiteral("No measured frame to report yet.");
        return false;
    }
    lumetra::session::ReportContent c;
    c.when = QDateTime::currentDateTime();
    c.serial = m_last->cameraSerial;
    if (BasCam* cam = m_session->camera())
        for (const auto& e : cam->cameraList())
            if (e.serial == c.serial)
                c.cameraName = e.name;
    c.unit = m_unit->text().trimmed();
    if (m_hooks.wavelengths)
        c.wavelengths = m_hooks.wavelengths();
    const QString calFile = m_session->calibrationFile();
    c.calibrationPresent = QFileInfo::exists(calFile);
    c.userColumns = userColumns(calFile);
    const auto data = m_session->calibrationData();
    const int corner = m_last->corner ? int(*m_last->corner) : 0;
    for (int ch = 0; ch < 3; ++ch)
        c.powerFactors[size_t(ch)] = data.powerFactor[ch][corner];
    c.frame = m_last;
    if (m_lastProfiles)
        c.analysis = m_lastProfiles->result.analysis;
    if (m_recorder.rows() > 0)
        c.stability = m_recorder.stability();
    c.limits = m_limits;
    return lumetra::session::writeReport(c, pdfPath, error);
}

void ReportsController::askSaveReport() {
    if (!m_last) {
        QMessageBox::information(m_window, QStringLiteral("Save Report"),
                                 QStringLiteral("No measured frame to report yet."));
        return;
    }
    QString dir = recordingsFolder(false);
    if (dir.isEmpty())
        dir = QFileInfo(lumetra::paths::recordingsDir()).absoluteFilePath();
    const QString name = lumetra::session::defaultReportName(m_last->cameraSerial, m_unit->text(),
                                                             QDateTime::currentDateTime());
    const QString path =
        QFileDialog::getSaveFileName(m_window, QStringLiteral("Save Report"),
                                     QDir(dir).filePath(name), QStringLiteral("PDF (*.pdf)"));
    if (path.isEmpty())
        return;
    QString error;
    if (!saveReport(path, &error))
        QMessageBox::warning(m_window, QStringLiteral("Save Report"), error);
    else
        m_window->statusBar()->showMessage(QStringLiteral("Report saved: ") + path, 5000);
}

void ReportsController::editTolerances() {
    lumetra::ui::TolerancesDialog d(m_limits, m_window);
    if (d.exec() == QDialog::Accepted)
        setLimits(d.limits());
}
