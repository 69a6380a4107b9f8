// The window's measuring parts: one report of the session from labels to scenes, the ROI
// slots, the fitting of the spot view, and the camera selection that brings camera,
// calibration and stored set-up together. The measuring itself is the session's; these
// members forward the user's choices to it and show what it reports.

#include "BasCam.h"
#include "BeamAnalysisPanel.h"
#include "Calibration.h"
#include "DrawRect.h"
#include "Log.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "MeasureSession.h"
#include "Results.h"
#include "Settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsRectItem>
#include <QGraphicsScene>
#include <QMessageBox>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QRegion>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>

namespace st = lumetra::settings;
namespace ms = lumetra::measure;

namespace {

// How often the camera selection asks for its first image before it gives up.
constexpr int kFirstImageAttempts = 5;

// Width of the region's green outline on the full frame, in frame pixels.
constexpr int kOutlineWidth = 5;

} // namespace

namespace lumetra::app {

// The full frame, left unpainted under the opaque overlay: the overlay covers most of what
// the spot view shows, and painting converts every pixel it draws for the screen.
class FramePixmapItem : public QGraphicsPixmapItem {
public:
    QRect covered;

    void paint(QPainter* painter, const QStyleOptionGraphicsItem* option,
               QWidget* widget) override {
        if (covered.isEmpty()) {
            QGraphicsPixmapItem::paint(painter, option, widget);
            return;
        }
        painter->save();
        // A pixel inside the overlay's edge: at a fractional screen scale the two may round
        // apart.
        painter->setClipRegion(QRegion(pixmap().rect()).subtracted(covered.adjusted(1, 1, -1, -1)),
                               Qt::IntersectClip);
        QGraphicsPixmapItem::paint(painter, option, widget);
        painter->restore();
    }
};

} // namespace lumetra::app

void MainWindow::clearResults() {
    for (QLabel* l :
         {ui->divValue, ui->redDivValue, ui->greenDivValue, ui->blueDivValue, ui->rgValue,
          ui->bgValue, ui->rbValue, ui->valuePowerRed, ui->valuePowerGreen, ui->valuePowerBlue,
          ui->valuePowerTotal, ui->maxRValue, ui->maxGValue, ui->maxBValue})
        l->setText(QStringLiteral("N/A"));
    ui->warningLabel->setText(QString());
    ui->warningRoiLabel->setText(QString());
}

QLabel* MainWindow::resultLabel(ms::ResultText text) const {
    using T = ms::ResultText;
    switch (text) {
    case T::DivergenceAll:
        return ui->divValue;
    case T::DivergenceRed:
        return ui->redDivValue;
    case T::DivergenceGreen:
        return ui->greenDivValue;
    case T::DivergenceBlue:
        return ui->blueDivValue;
    case T::AlignmentRG:
        return ui->rgValue;
    case T::AlignmentBG:
        return ui->bgValue;
    case T::AlignmentRB:
        return ui->rbValue;
    case T::PeakRed:
        return ui->maxRValue;
    case T::PeakGreen:
        return ui->maxGValue;
    case T::PeakBlue:
        return ui->maxBValue;
    case T::PowerRed:
        return ui->valuePowerRed;
    case T::PowerGreen:
        return ui->valuePowerGreen;
    case T::PowerBlue:
        return ui->valuePowerBlue;
    case T::PowerTotal:
        return ui->valuePowerTotal;
    case T::ExposureWarning:
        return ui->warningLabel;
    case T::RegionWarning:
        return ui->warningRoiLabel;
    }
    return nullptr;
}

void MainWindow::showText(const ms::ResultTexts& texts, ms::ResultText text) {
    if (const auto& t = texts[text])
        resultLabel(text)->setText(*t);
}

void MainWindow::showReport(const lumetra::session::ReportPtr& report) {
    // The completing sample ends the run whatever the user did since: the session takes no
    // further sample until the run is ended.
    const bool completes = report->calibrationDone.has_value();
    // A report of a fill the user has left (new region, depth or camera) or of a stream
    // already stopped says nothing about what is set now.
    if (report->fillId == measuring->fillId() && measuring->isStreaming()) {
        using T = ms::ResultText;
        const ms::FrameResult& r = report->result;
        const bool calibrating = report->calibrationChannel >= 0;
        beamPanel->setData({r.analysis, r.stabilised, calibrating});
        // Frames are measured ahead of the one shown, so the panel cannot ask for the frame
        // it will draw: profiles are taken while it is visible (one row and one column per
        // beam).
        measuring->setAnalysisProfiles(beamPanel->isVisible());

        for (int i = 0; i < ms::PairCount; ++i)
            showText(r.texts, ms::pairText(ms::PairIndex(i)));
        showText(r.texts, T::RegionWarning);
        // A stabilised frame of a power calibration is a sample, not a power reading.
        if (!(r.stabilised && calibrating))
            for (T t : {T::PowerRed, T::PowerGreen, T::PowerBlue, T::PowerTotal})
                showText(r.texts, t);
        for (T t : {T::PeakRed, T::PeakGreen, T::PeakBlue, T::ExposureWarning})
            showText(r.texts, t);
        // The rate moves with nearly every frame: four times a second it can be read, and the
        // status bar is not repainted at every screen refresh for it.
        lastFrameRate = report->frameRate;
        if (!lastRateShown.isValid() || lastRateShown.elapsed() >= 250 ||
            !ui->statusbar->currentMessage().startsWith(QStringLiteral("Streaming - "))) {
            lastRateShown.start();
            showStreamingStatus();
        }

        lastFrame = report->frame;
        correctedImage = r.correctedImage;
        scheduleDraw();
        emit reportShown(report->sequence);
    }
    if (completes)
        completePowerCalibration(*report->calibrationDone);
}

void MainWindow::scheduleDraw() {
    // Every frame is measured and its labels shown; the scenes show the newest frame at
    // most once per screen refresh, so drawing never holds measuring back.
    if (drawTimer->isActive())
        return;
    const QScreen* screen = this->screen();
    const double hz = screen && screen->refreshRate() >= 1.0 ? screen->refreshRate() : 60.0;
    const qint64 period = qint64(std::ceil(1000.0 / hz));
    const qint64 since = lastDraw.isValid() ? lastDraw.elapsed() : period;
    drawTimer->start(int(std::max<qint64>(0, period - since)));
}

void MainWindow::ProcessFrame(QImage image) {
    lastDraw.start();
    if (image.isNull())
        return;
    try {
        lastFrame = image;
        const QRect roi = measuring->roi();
        // The frame stays as measured (for the next redraw and the recorder): the outline
        // is an item of its own above it, as copying the whole frame to draw into it cost
        // more of this thread than anything else it does per frame. The pixmaps keep the
        // images' format: converting the whole frame and overlay for the screen would cost
        // more than the measuring's spare time, while painting converts only the part in
        // sight.
        // The items stay and take the new pictures: rebuilding them each time cost more than
        // their painting.
        if (mainScene) {
            if (!frameItem) {
                frameItem = new lumetra::app::FramePixmapItem;
                mainScene->addItem(frameItem);
                roiItem = mainScene->addRect(QRectF(), QPen(Qt::green, kOutlineWidth));
                overlayItem = mainScene->addPixmap(QPixmap());
            }
            mainScene->setSceneRect(QRectF(image.rect()));
            frameItem->setPixmap(QPixmap::fromImage(image, Qt::NoFormatConversion));
            roiItem->setRect(roi);
            const QPoint overlayAt(roi.x() + ms::kCorrectionMargin,
                                   roi.y() + ms::kCorrectionMargin);
            overlayItem->setPixmap(QPixmap::fromImage(correctedImage, Qt::NoFormatConversion));
            overlayItem->setPos(overlayAt);
            frameItem->covered =
                correctedImage.isNull() ? QRect() : QRect(overlayAt, correctedImage.size());
        }
        if (previewScene) {
            // Scaled first, then outlined at least one pixel wide: a 5-pixel stroke scaled
            // down by sampling could vanish.
            const QSize view = ui->previewGraphics->size();
            QImage scaled = image.scaled(qRound(view.width() * 0.99), qRound(view.height() * 0.99),
                                         Qt::KeepAspectRatio, Qt::FastTransformation);
            if (!scaled.isNull() && image.width() > 0) {
                const double f = double(scaled.width()) / image.width();
                const QRect small(qRound(roi.x() * f), qRound(roi.y() * f),
                                  std::max(1, qRound(roi.width() * f)),
                                  std::max(1, qRound(roi.height() * f)));
                DrawRect(scaled, small, std::max(1, qRound(kOutlineWidth * f)), Qt::green);
            }
            if (!previewItem)
                previewItem = previewScene->addPixmap(QPixmap());
            previewScene->setSceneRect(QRectF(scaled.rect()));
            previewItem->setPixmap(QPixmap::fromImage(std::move(scaled), Qt::NoFormatConversion));
        }
    } catch (const std::exception& e) {
        qDebug() << "Except" << e.what();
    } catch (...) {
        qDebug() << "Except";
    }
}

void MainWindow::RectPosUpdate(QPoint pos) {
    BasCam* cam = camera();
    if (!cam->isOpen())
        return;
    const int cw = cam->width();
    const int ch = cam->height();
    if (pos.x() < 20 || pos.y() < 20 || pos.x() + 20 > cw || pos.y() + 20 > ch)
        return;
    takeRoiFromMouse();
    const QRect roi = measuring->roi();
    const int w = roi.width();
    const int h = roi.height();
    if (pos.x() - w / 2 > 5 && pos.y() - h / 2 > 5 && pos.x() + w / 2 + 5 < cw &&
        pos.y() + h / 2 + 5 < ch)
        measuring->setRoi(QRect(pos.x() - w / 2, pos.y() - h / 2, w, h));
    else
        measuring->setRoi(QRect(pos.x(), pos.y(), 15, 15));
    // The outline follows the mouse at once, also while streaming.
    ProcessFrame(lastFrame.copy());
}

void MainWindow::RectSizeUpdate(QPoint pos) {
    BasCam* cam = camera();
    if (!cam->isOpen())
        return;
    const int cw = cam->width();
    const int ch = cam->height();
    const QRect roi = measuring->roi();
    const int cx = roi.x() + roi.width() / 2;
    const int cy = roi.y() + roi.height() / 2;
    const int w = qMin(2 * std::abs(pos.x() - cx), ms::kMaxRoiSide);
    const int h = qMin(2 * std::abs(pos.y() - cy), ms::kMaxRoiSide);
    takeRoiFromMouse();
    // A refused size still begins a new fill, as a moved region does.
    if (w > 10 && h > 10 && cx - w / 2 > 5 && cy - h / 2 > 5 && cx + w / 2 + 5 < cw &&
        cy + h / 2 + 5 < ch)
        measuring->setRoi(QRect(cx - w / 2, cy - h / 2, w, h));
    else
        measuring->restartFill();
    // The outline follows the mouse at once, also while streaming.
    ProcessFrame(lastFrame.copy());
}

void MainWindow::fitSpotView() {
    BasCam* cam = camera();
    if (!cam->isOpen())
        return;
    ui->graphicsView->setFixedSize(cam->width() + 2, cam->height() + 2);
    QCoreApplication::processEvents();
    ui->scrollAreaWidgetContents->adjustSize();

    // The region in sight; a position the user left stored wins while the region is theirs.
    const st::File s;
    if (ui->autoRoiCheckBox->isChecked() || !s.contains(st::kBarH) || !s.contains(st::kBarV)) {
        showRoiInSpotView(measuring->roi(), true);
        return;
    }
    ui->scrollArea->horizontalScrollBar()->setValue(s.value(st::kBarH));
    ui->scrollArea->verticalScrollBar()->setValue(s.value(st::kBarV));
}

void MainWindow::camList_IndexChanged(int index) {
    BasCam* cam = camera();
    measuring->openListedCamera(index - 1);

    ui->exposureSpin->setEnabled(false);
    ui->actionStartStream->setChecked(false);
    QCoreApplication::processEvents();
    ui->actionStartStream->setEnabled(false);
    // Results must never mix frames of two cameras, nor stay from a camera no longer
    // selected: the session begins a new fill and the labels start over.
    clearResults();
    autoRoiReason.clear();
    showStreamingStatus();

    if (index < 1)
        return;

    // A new camera: its file's problems are worth saying once more.
    shownFileProblems.clear();
    if (!QFile::exists(measuring->calibrationFile())) {
        QMessageBox::warning(nullptr, QStringLiteral("Calibration file not found"),
                             QStringLiteral("Calibration file has not been found for serial "
                                            "number ") +
                                 lumetra::calibration::serialName(cam->serialText()) +
                                 QStringLiteral("\nThe measure values may be incorrect"),
                             QMessageBox::Ok);
    }

    setCalibrationButtonsEnabled(true);

    UpdateCalibrations(0);

    for (const QString& line : lumetra::calibration::powerLogLines(measuring->calibrationData()))
        writeLog(line);

    // Full sensor, the stored exposure and region; the exposure box follows the session.
    measuring->applyStartState();
    ui->exposureSpin->setValue(measuring->exposureMs());

    fitSpotView();

    // The first image, with a bound: a camera that delivers nothing must not hang the
    // window.
    QImage first;
    for (int attempt = 0; attempt < kFirstImageAttempts && first.isNull(); ++attempt) {
        cam->grabOne(false);
        first = cam->lastImage();
    }
    if (first.isNull()) {
        writeLog(QStringLiteral("No image from the camera after ") +
                 QString::number(kFirstImageAttempts) + QStringLiteral(" attempts"));
        QMessageBox::warning(nullptr, QStringLiteral("No image"),
                             QStringLiteral("The sensor did not deliver an image after ") +
                                 QString::number(kFirstImageAttempts) +
                                 QStringLiteral(" attempts.\nCheck the connection, then "
                                                "select the sensor again."),
                             QMessageBox::Ok);
        // Back to the placeholder: the regular path closes the camera and keeps the
        // acquisition controls locked; the calibration buttons need an open camera too.
        setCalibrationButtonsEnabled(false);
        if (ui->listCamComboBox->currentIndex() != 0)
            ui->listCamComboBox->setCurrentIndex(0);
        else
            camList_IndexChanged(0);
        return;
    }
    ProcessFrame(first);

    ui->exposureSpin->setEnabled(true);
    ui->actionStartStream->setEnabled(true);

    refreshWavelengthLists();
}
