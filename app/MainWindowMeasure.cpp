// The window's measuring parts: one camera image from crop to labels and scenes, the ROI
// slots, the fitting of the spot view, and the camera selection that brings camera,
// calibration and stored set-up together. The measuring itself is the measure layer's
// one-frame pipeline (the same code lumetra-measure runs); these members gather the
// window's state for it and apply its outcome to the widgets.

#include "BasCam.h"
#include "BeamAnalysisPanel.h"
#include "Calibration.h"
#include "FramePipeline.h"
#include "Log.h"
#include "MainWindow.h"
#include "MainWindowForm.h"
#include "Results.h"
#include "Settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMessageBox>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <optional>

namespace st = lumetra::settings;
namespace ms = lumetra::measure;

namespace {

// How often the camera selection asks for its first image before it gives up.
constexpr int kFirstImageAttempts = 5;

// Outline of one rectangle drawn into the image itself.
void DrawRect(QImage& image, const QRect& rect, int penWidth, const QColor& colour) {
    QPainter painter(&image);
    QPen pen(colour);
    pen.setWidthF(penWidth);
    painter.setPen(pen);
    painter.drawRects(&rect, 1);
}

// The exposure to start a camera with, from the stored "expo". A value that is no
// exposure at all (not a number, zero, negative: a damaged file) is taken as missing, since
// at the camera's shortest exposure no beam shows and automatic exposure would have nothing
// to work from. Any other value is brought into what both the camera and the exposure box
// can hold, so that the box shows what the camera uses.
float usableExposure(const QVariant& stored, float cameraMin, float cameraMax, double boxMin,
                     double boxMax) {
    bool ok = false;
    double us = stored.isValid() ? stored.toDouble(&ok) : double(st::kExpo.fallback);
    if (stored.isValid() && (!ok || !std::isfinite(us) || us <= 0.0))
        us = st::kExpo.fallback;
    double lo = boxMin, hi = boxMax;
    if (cameraMin > 0 && cameraMax >= cameraMin) {
        lo = std::max(lo, double(cameraMin));
        hi = std::min(hi, double(cameraMax));
        if (lo > hi) // the two ranges do not meet: the camera's own range rules
            lo = cameraMin, hi = cameraMax;
    }
    return float(std::clamp(us, lo, hi));
}

} // namespace

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

void MainWindow::postImageRequest() {
    // Posted, so the camera hands over the next image only once this handler has returned
    // to the event loop: one frame in the window at a time.
    QTimer::singleShot(0, this, [this] {
        if (cam)
            cam->requestImage();
    });
}

void MainWindow::ProcessFrame(QImage image) {
    if (!cam)
        return;
    try {
        if (image.isNull()) {
            postImageRequest();
            return;
        }
        QImage crop = image.copy(roiRect);
        if (stabCount < stabDepth)
            ++stabCount;

        QList<MeasurePair> results;
        if (cam->isGrabbing())
            results = ComputeMeasures(std::move(crop));

        lastFrame = image;
        DrawRect(image, roiRect, 5, Qt::green);
        if (!cam)
            return;

        if (!results.isEmpty()) {
            for (int i = 0; i < ms::PairCount; ++i)
                showText(frameTexts, ms::pairText(ms::PairIndex(i)));
        }

        const QPixmap frame = QPixmap::fromImage(image);
        if (mainScene) {
            mainScene->clear();
            mainScene->setSceneRect(frame.rect());
            mainScene->addPixmap(frame);
            QGraphicsPixmapItem* overlay = mainScene->addPixmap(QPixmap::fromImage(correctedImage));
            overlay->setPos(roiRect.x() + ms::kCorrectionMargin,
                            roiRect.y() + ms::kCorrectionMargin);
        }
        if (previewScene) {
            const QSize view = ui->previewGraphics->size();
            const QPixmap scaled =
                frame.scaled(qRound(view.width() * 0.99), qRound(view.height() * 0.99),
                             Qt::KeepAspectRatio, Qt::FastTransformation);
            previewScene->clear();
            previewScene->setSceneRect(scaled.rect());
            previewScene->addPixmap(scaled);
        }
        if (!results.isEmpty() && ui->statusbar && cam->isGrabbing())
            ui->statusbar->showMessage(QStringLiteral("Streaming - ") +
                                           QString::number(cam->frameRate(), 'g', 6) +
                                           QStringLiteral(" FPS"),
                                       0);
    } catch (const std::exception& e) {
        qDebug() << "Except" << e.what();
    } catch (...) {
        qDebug() << "Except";
    }
    // Also after a failed frame: a dropped frame must not stall the stream.
    if (cam)
        postImageRequest();
}

QList<MeasurePair> MainWindow::ComputeMeasures(QImage crop) {
    if (!pipeline)
        pipeline = std::make_shared<ms::FramePipeline>(ms::eventLoopWaiter());

    // None checked means no channel shift and the top-left coefficients.
    const int k = selectedCorner();
    std::optional<ms::Corner> corner;
    if (ui->blSelButton->isChecked() || ui->brSelButton->isChecked() ||
        ui->tlSelButton->isChecked() || ui->trSelButton->isChecked())
        corner = ms::Corner(k);
    const int calChannel = lumetra::calibration::channelToServe(calibrationActive);

    ms::FrameInput in;
    in.crop = std::move(crop);
    in.stabCount = stabCount;
    in.stabDepth = stabDepth;
    in.corner = corner;
    ms::UnmixMatrix analysisUnmix;
    for (int i = 0; i < 9; ++i) {
        in.unmix[i] = calibration.unmixCoef[i][k];
        analysisUnmix[i] = calibration.analysisUnmix[i][k];
    }
    in.analysisUnmix = analysisUnmix;
    for (int c = 0; c < 3; ++c) {
        in.powerFactor[c] = calibration.powerFactor[c][k];
        in.analysisFactor[c] = calibration.analysisFactor[c][k];
    }
    in.exposureUs = exposureUs;
    in.redBoost = redBoost;
    in.calibrationRunning = calChannel >= 0;
    in.analysisProfiles = beamPanel->wantsProfiles();

    // Stabiliser bands, colour correction and spot tasks; the wait inside keeps the event
    // loop running, and no other frame can start meanwhile (the request is not re-armed).
    const ms::FrameResult r = pipeline->process(std::move(in));
    if (!r.measured)
        return {};

    for (int c = 0; c < 3; ++c)
        cornerSignal[c] = r.cornerSignal[c];
    beamPanel->setData({r.analysis, r.stabilised, calChannel >= 0});

    using T = ms::ResultText;
    frameTexts = r.texts;
    showText(r.texts, T::RegionWarning);
    if (!r.stabilised) {
        for (T t : {T::PowerRed, T::PowerGreen, T::PowerBlue, T::PowerTotal})
            showText(r.texts, t);
    } else if (calChannel >= 0) {
        // This frame is a sample of the running power calibration, not a power reading.
        const int maxima[3] = {r.maxR, r.maxG, r.maxB};
        const ms::BeamChannelResult& beam = r.analysis.channel[calChannel];
        lumetra::calibration::AnalysisSample sample;
        sample.usable = beam.valid;
        sample.cameraSums = beam.cameraSums;
        sample.reason = r.analysis.analysed ? beam.reason : QStringLiteral("no reading");
        calibrationSampleStep(calChannel, maxima[calChannel], sample);
    } else {
        for (T t : {T::PowerRed, T::PowerGreen, T::PowerBlue, T::PowerTotal})
            showText(r.texts, t);
    }

    for (T t : {T::PeakRed, T::PeakGreen, T::PeakBlue})
        showText(r.texts, t);
    correctedImage = r.correctedImage;

    showText(r.texts, T::ExposureWarning);
    if (r.exposureFactor && ui->autoExpoCheckBox->isChecked()) {
        ui->exposureSpin->setValue(ui->exposureSpin->value() * *r.exposureFactor);
        emit ui->exposureSpin->editingFinished();
    }

    return QList<MeasurePair>(r.pairs.begin(), r.pairs.end());
}

void MainWindow::RectPosUpdate(QPoint pos) {
    if (!cam || !cam->isOpen())
        return;
    const int cw = cam->width();
    const int ch = cam->height();
    if (pos.x() < 20 || pos.y() < 20 || pos.x() + 20 > cw || pos.y() + 20 > ch)
        return;
    stabCount = 0;
    const int w = roiRect.width();
    const int h = roiRect.height();
    if (pos.x() - w / 2 > 5 && pos.y() - h / 2 > 5 && pos.x() + w / 2 + 5 < cw &&
        pos.y() + h / 2 + 5 < ch)
        roiRect = QRect(pos.x() - w / 2, pos.y() - h / 2, w, h);
    else
        roiRect = QRect(pos.x(), pos.y(), 15, 15);
    if (!cam->isGrabbing())
        ProcessFrame(lastFrame.copy());
}

void MainWindow::RectSizeUpdate(QPoint pos) {
    if (!cam || !cam->isOpen())
        return;
    stabCount = 0;
    const int cw = cam->width();
    const int ch = cam->height();
    const int cx = roiRect.x() + roiRect.width() / 2;
    const int cy = roiRect.y() + roiRect.height() / 2;
    const int w = qMin(2 * std::abs(pos.x() - cx), ms::kMaxRoiSide);
    const int h = qMin(2 * std::abs(pos.y() - cy), ms::kMaxRoiSide);
    if (w > 10 && h > 10 && cx - w / 2 > 5 && cy - h / 2 > 5 && cx + w / 2 + 5 < cw &&
        cy + h / 2 + 5 < ch)
        roiRect = QRect(cx - w / 2, cy - h / 2, w, h);
    if (!cam->isGrabbing())
        ProcessFrame(lastFrame.copy());
}

void MainWindow::fitSpotView() {
    if (!cam || !cam->isOpen())
        return;
    const int w = cam->width();
    const int h = cam->height();
    ui->graphicsView->setFixedSize(w + 2, h + 2);
    QCoreApplication::processEvents();
    ui->scrollAreaWidgetContents->adjustSize();

    const st::File s;
    QScrollBar* bh = ui->scrollArea->horizontalScrollBar();
    bh->setValue(s.value(st::kBarH, bh->maximum() / 2));
    QScrollBar* bv = ui->scrollArea->verticalScrollBar();
    bv->setValue(s.value(st::kBarV, bv->maximum() / 2));

    // A region that does not lie inside the image, or has no area or a negative corner
    // (a damaged "rect"), would crop nothing or outside the frame: the centred half-size
    // region replaces it, no larger than the ROI limit.
    const QRect& r = roiRect;
    const bool inside = r.x() >= 0 && r.y() >= 0 && r.width() > 0 && r.height() > 0 &&
                        r.x() + r.width() <= w - 1 && r.y() + r.height() <= h - 1;
    if (!inside) {
        const int rw = qMin(w / 2, ms::kMaxRoiSide);
        const int rh = qMin(h / 2, ms::kMaxRoiSide);
        roiRect =
            QRect(rw == w / 2 ? w / 4 : (w - rw) / 2, rh == h / 2 ? h / 4 : (h - rh) / 2, rw, rh);
    }
}

void MainWindow::camList_IndexChanged(int index) {
    if (!cam)
        return;
    cam->openCamera(index - 1);

    ui->exposureSpin->setEnabled(false);
    ui->actionStartStream->setChecked(false);
    QCoreApplication::processEvents();
    ui->actionStartStream->setEnabled(false);
    // Results must never mix frames of two cameras, nor stay from a camera no longer
    // selected: the stabiliser fills anew and the labels start over.
    stabCount = 0;
    clearResults();

    if (index < 1)
        return;

    // A new camera: its file's problems are worth saying once more.
    shownFileProblems.clear();
    if (!QFile::exists(calibrationFile())) {
        QMessageBox::warning(nullptr, QStringLiteral("Calibration file not found"),
                             QStringLiteral("Calibration file has not been found for serial "
                                            "number ") +
                                 lumetra::calibration::serialName(cam->serialText()) +
                                 QStringLiteral("\nThe measure values may be incorrect"),
                             QMessageBox::Ok);
    }

    setCalibrationButtonsEnabled(true);

    UpdateCalibrations(0);

    for (const QString& line : lumetra::calibration::powerLogLines(calibration))
        writeLog(line);

    {
        const st::File s;
        cam->setRotation(180);
        cam->setOffsetX(0);
        cam->setOffsetY(0);
        cam->setWidth(5000);
        cam->setHeight(5000);
        cam->setExposure(usableExposure(s.stored(st::kExpo), cam->exposure(1), cam->exposure(2),
                                        ui->exposureSpin->minimum() * 1000.0,
                                        ui->exposureSpin->maximum() * 1000.0));

        const int w = cam->width();
        const int h = cam->height();
        roiRect =
            s.value(st::kRect, QRect(w / 4, h / 4, st::kRectDefaultSize, st::kRectDefaultSize));
        if (roiRect.width() > ms::kMaxRoiSide)
            roiRect.setWidth(ms::kMaxRoiSide);
        if (roiRect.height() > ms::kMaxRoiSide)
            roiRect.setHeight(ms::kMaxRoiSide);
    }

    ui->exposureSpin->setValue(cam->exposure() / 1000.0);
    exposureUs = static_cast<float>(ui->exposureSpin->value() * 1000.0);

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

    ui->exposureSpin->setEnabled(true);
    ui->actionStartStream->setEnabled(true);

    refreshWavelengthLists();
}
