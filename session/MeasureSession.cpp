#include "MeasureSession.h"

#include "AutoRoi.h"
#include "BasCam.h"
#include "FramePipeline.h"
#include "Log.h"
#include "Paths.h"
#include "Settings.h"
#include "ThreadHandOver.h"
#include "ThreadPriority.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace lumetra::session {

namespace cal = lumetra::calibration;
namespace ms = lumetra::measure;
namespace st = lumetra::settings;
using lumetra::threads::CallRelay;
using lumetra::threads::handOver;
using lumetra::threads::post;
using lumetra::threads::takeOver;

namespace {

// The exposure to start a camera with, from the stored "expo". A value that is no exposure
// at all (a damaged file) is taken as missing; any other is brought into what both the
// camera and the exposure control can hold, so that the control shows what the camera uses.
float usableExposure(const QVariant& stored, float cameraMin, float cameraMax) {
    bool ok = false;
    double us = stored.isValid() ? stored.toDouble(&ok) : double(st::kExpo.fallback);
    if (stored.isValid() && (!ok || !std::isfinite(us) || us <= 0.0))
        us = st::kExpo.fallback;
    double lo = MeasureSession::kExposureMinMs * 1000.0;
    double hi = MeasureSession::kExposureMaxMs * 1000.0;
    if (cameraMin > 0 && cameraMax >= cameraMin) {
        lo = std::max(lo, double(cameraMin));
        hi = std::min(hi, double(cameraMax));
        if (lo > hi) // the two ranges do not meet: the camera's own range rules
            lo = cameraMin, hi = cameraMax;
    }
    return float(std::clamp(us, lo, hi));
}

void logNotices(const cal::Notices& notices) {
    for (const cal::Notice& n : notices) {
        if (n.kind == cal::Notice::Kind::Debug)
            qDebug().noquote() << n.text;
        else if (n.kind == cal::Notice::Kind::Log)
            writeLog(n.text);
        else
            writeLog(n.title + QStringLiteral(": ") + n.text);
    }
}

} // namespace

// What the owner and the measuring thread share, under one lock.
struct MeasureSession::Shared {
    mutable std::mutex mutex;
    QRect roi;
    std::optional<ms::Corner> corner = ms::Corner::BR;
    int stabDepth = st::kStab.fallback;
    int stabCount = 0;
    quint64 fillId = 1;
    int redBoost = 1;
    bool autoExposure = st::kAutoExpo.fallback;
    double exposureMs = 0;
    float exposureUs = 0;
    cal::CalibrationData calibration;
    QString serial;
    bool autoRoi = false;
    bool autoRoiNow = true; // evaluate on the next frame, whatever the time
    bool analysisProfiles = false;
    // The last measured frame's corner signal: what a calibration sample takes.
    std::array<float, 3> cornerSignal{};
    // The power-calibration run.
    int calChannel = -1;
    bool calCompleting = false; // the fifth sample is taken, the run not yet ended
    double calPower = 0;
    bool autoExposureBeforeRun = false;
    // Exposure writes from either thread, one at a time.
    std::mutex exposureMutex;
};

// The subscribers' relays, shared with them: a relay that goes first takes itself out, a
// session that goes first leaves them an empty list.
struct MeasureSession::Subscribers {
    std::mutex mutex;
    std::vector<QObject*> relays;
};

namespace {

// Receives the reports of one subscription in its context's thread (a child of it).
class ReportRelay : public CallRelay {
public:
    ReportRelay(std::shared_ptr<MeasureSession::Subscribers> list,
                std::function<void(const ReportPtr&)> fn)
        : m_list(std::move(list)), fn(std::move(fn)) {}
    ~ReportRelay() override {
        std::lock_guard<std::mutex> lock(m_list->mutex);
        auto& r = m_list->relays;
        r.erase(std::remove(r.begin(), r.end(), this), r.end());
    }

private:
    std::shared_ptr<MeasureSession::Subscribers> m_list;

public:
    const std::function<void(const ReportPtr&)> fn;
};

} // namespace

// The measuring thread and what only it touches.
struct MeasureSession::Loop {
    QThread thread;
    QObject* context = nullptr; // lives in the thread: frames and queued calls land there
    std::unique_ptr<ms::FramePipeline> pipeline;
    bool active = false;
    float exposureAtRequest = 0; // the exposure in force when the next image was asked for
    quint64 sequence = 0;
    QElapsedTimer sinceAutoRoi; // invalid: never evaluated
    QString autoRoiReason;      // the last reason given
};

double MeasureSession::exposureControlValue(double ms) {
    const double rounded = QString::number(ms, 'f', kExposureDecimals).toDouble();
    return std::clamp(rounded, kExposureMinMs, kExposureMaxMs);
}

MeasureSession::MeasureSession(QObject* parent)
    : QObject(parent), m_shared(std::make_unique<Shared>()), m_loop(std::make_unique<Loop>()),
      m_subscribers(std::make_shared<Subscribers>()) {
    qRegisterMetaType<ReportPtr>();
    m_sink = logNotices;
    m_cam = new BasCam();
    m_cam->setWaitForRequest(true);

    m_loop->thread.setObjectName(QStringLiteral("measuring"));
    m_ownerRelay = new CallRelay(this);
    m_loop->context = new CallRelay();
    m_loop->context->moveToThread(&m_loop->thread);
    connect(&m_loop->thread, &QThread::finished, m_loop->context, &QObject::deleteLater);
    // The thread's last act: the destructor takes over everything it touched.
    connect(
        &m_loop->thread, &QThread::finished, m_loop->context, [this] { handOver(&m_loop->thread); },
        Qt::DirectConnection);
    // Every frame waits for this thread: it runs ahead of the camera and the window where
    // the system allows it.
    connect(
        &m_loop->thread, &QThread::started, m_loop->context, [] { lumetra::threads::runAhead(); },
        Qt::DirectConnection);
    m_loop->thread.start();

    connect(m_cam, &BasCam::ImageIsAvailable, m_loop->context, [this](const QImage& image) {
        takeOver(m_cam); // the camera hands its images over under its own mark
        onImage(image);
    });
    // Queued even when the owner notices the loss itself, so the handling never runs
    // inside a camera call.
    connect(
        m_cam, &BasCam::CameraLost, this,
        [this](const QString& name) {
            takeOver(m_cam);
            endLoop();
            // Behind the reports already posted to the owner thread: a subscriber there
            // sees the last report first, then the loss.
            QMetaObject::invokeMethod(
                this, [this, name] { emit cameraLost(name); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

MeasureSession::~MeasureSession() {
    disconnect(m_cam, &BasCam::ImageIsAvailable, nullptr, nullptr);
    m_cam->stopGrabbing();
    endLoop();
    m_loop->thread.quit();
    m_loop->thread.wait();
    takeOver(&m_loop->thread);
    delete m_cam;
}

void MeasureSession::setNoticeSink(NoticeSink sink) {
    m_sink = sink ? std::move(sink) : NoticeSink(logNotices);
}

int MeasureSession::openCamera(const QString& serial) {
    stopStreaming();
    const int r = serial.isEmpty() ? m_cam->openCamera(-1) : m_cam->openCameraBySerial(serial);
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->serial = m_cam->isOpen() ? m_cam->serialText() : QString();
    }
    // Results must never mix frames of two cameras.
    restartFill();
    return r;
}

void MeasureSession::subscribe(QObject* context, std::function<void(const ReportPtr&)> fn) {
    auto* relay = new ReportRelay(m_subscribers, std::move(fn));
    relay->moveToThread(context->thread());
    relay->setParent(context);
    std::lock_guard<std::mutex> lock(m_subscribers->mutex);
    m_subscribers->relays.push_back(relay);
}

int MeasureSession::openListedCamera(int index) {
    stopStreaming();
    const int r = m_cam->openCamera(index);
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->serial = m_cam->isOpen() ? m_cam->serialText() : QString();
    }
    restartFill();
    return r;
}

bool MeasureSession::isOpen() const {
    return m_cam->isOpen();
}

bool MeasureSession::isStreaming() const {
    return m_cam->isGrabbing();
}

QString MeasureSession::calibrationFile() const {
    return paths::calibrationFileForReading(calibrationFileName(m_cam->serialText()));
}

QString MeasureSession::calibrationFileToWrite() const {
    return paths::calibrationFileForWriting(calibrationFileName(m_cam->serialText()));
}

void MeasureSession::applyStartState() {
    const st::File s;
    m_cam->setRotation(180);
    m_cam->setOffsetX(0);
    m_cam->setOffsetY(0);
    m_cam->setWidth(5000);
    m_cam->setHeight(5000);
    m_cam->setExposure(usableExposure(s.stored(st::kExpo), m_cam->exposure(1), m_cam->exposure(2)));

    const int w = m_cam->width();
    const int h = m_cam->height();
    QRect roi = s.value(st::kRect, QRect(w / 4, h / 4, st::kRectDefaultSize, st::kRectDefaultSize));
    roi.setWidth(std::min(roi.width(), ms::kMaxRoiSide));
    roi.setHeight(std::min(roi.height(), ms::kMaxRoiSide));
    // A region outside the image, without area or with a negative corner (damage) would
    // crop nothing: the centred half-size region replaces it.
    const bool inside = roi.x() >= 0 && roi.y() >= 0 && roi.width() > 0 && roi.height() > 0 &&
                        roi.x() + roi.width() <= w - 1 && roi.y() + roi.height() <= h - 1;
    if (!inside) {
        const int rw = std::min(w / 2, ms::kMaxRoiSide);
        const int rh = std::min(h / 2, ms::kMaxRoiSide);
        roi = QRect(rw == w / 2 ? w / 4 : (w - rw) / 2, rh == h / 2 ? h / 4 : (h - rh) / 2, rw, rh);
    }
    // The exposure used for power is the one the control shows.
    const double shown = exposureControlValue(m_cam->exposure() / 1000.0);
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->roi = roi;
        m_shared->exposureMs = shown;
        m_shared->exposureUs = float(shown * 1000.0);
    }
    emit exposureChanged(shown);
}

int MeasureSession::startStreaming() {
    // Queued before the camera starts, so the loop is active when the first image lands
    // behind it in the measuring thread.
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->autoRoiNow = true;
    }
    post(m_loop->context, [this] {
        m_loop->active = true;
        m_loop->exposureAtRequest = exposureUs();
        m_cam->requestImage();
    });
    return m_cam->startGrabbing();
}

void MeasureSession::stopStreaming() {
    m_cam->stopGrabbing();
    endLoop();
}

void MeasureSession::endLoop() {
    // Every image delivered before this point is dealt with when this returns. The
    // measuring thread never waits for the owner, so this cannot deadlock. The flag lives
    // as long as either side holds it.
    struct Ended {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    const auto ended = std::make_shared<Ended>();
    post(m_loop->context, [this, ended] {
        m_loop->active = false;
        std::lock_guard<std::mutex> lock(ended->mutex);
        ended->done = true;
        ended->cv.notify_one();
    });
    std::unique_lock<std::mutex> lock(ended->mutex);
    ended->cv.wait(lock, [&] { return ended->done; });
}

void MeasureSession::onImage(const QImage& image) {
    // Single images and images after the stream ended are not measured.
    if (!m_loop->active)
        return;
    const float exposure = m_loop->exposureAtRequest;
    // The camera retrieves and converts the next image while this one is measured.
    m_loop->exposureAtRequest = exposureUs();
    m_cam->requestImage();
    if (image.isNull())
        return;
    try {
        followBeams(image);
        measure(image, exposure);
    } catch (const std::exception& e) {
        qDebug() << "Except" << e.what();
    } catch (...) {
        qDebug() << "Except";
    }
}

void MeasureSession::measure(const QImage& image, float exposureUs) {
    if (!m_loop->pipeline)
        m_loop->pipeline = std::make_unique<ms::FramePipeline>(ms::blockingWaiter());

    auto report = std::make_shared<FrameReport>();
    report->time = QDateTime::currentDateTime();
    report->frame = image;
    report->frameRate = m_cam->frameRate();
    report->exposureUs = exposureUs;

    ms::FrameInput in;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        Shared& s = *m_shared;
        if (s.stabCount < s.stabDepth)
            ++s.stabCount;
        report->cameraSerial = s.serial;
        report->corner = s.corner;
        report->roi = s.roi;
        report->stabDepth = s.stabDepth;
        report->stabCount = s.stabCount;
        report->fillId = s.fillId;
        // None selected means no channel shift and the top-left coefficients.
        const int k = s.corner ? int(*s.corner) : 0;
        ms::UnmixMatrix analysisUnmix;
        for (int i = 0; i < 9; ++i) {
            in.unmix[size_t(i)] = s.calibration.unmixCoef[i][k];
            analysisUnmix[size_t(i)] = s.calibration.analysisUnmix[i][k];
        }
        in.analysisUnmix = analysisUnmix;
        for (int c = 0; c < 3; ++c) {
            in.powerFactor[size_t(c)] = s.calibration.powerFactor[c][k];
            in.analysisFactor[size_t(c)] = s.calibration.analysisFactor[c][k];
        }
        in.redBoost = s.redBoost;
        in.calibrationRunning = s.calChannel >= 0;
        in.analysisProfiles = s.analysisProfiles;
        report->calibrationChannel = s.calChannel;
    }
    in.crop = image;
    in.cropRect = report->roi;
    in.stabCount = report->stabCount;
    in.stabDepth = report->stabDepth;
    in.corner = report->corner;
    in.exposureUs = exposureUs;

    ms::FrameResult r = m_loop->pipeline->process(std::move(in));
    if (!r.measured)
        return; // a region of 10 pixels or less across: nothing to report
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->cornerSignal = r.cornerSignal;
        const int c = report->calibrationChannel;
        if (r.stabilised && c >= 0 && c == m_shared->calChannel) {
            const ms::BeamChannelResult& beam = r.analysis.channel[size_t(c)];
            cal::AnalysisSample sample;
            sample.usable = beam.valid;
            sample.cameraSums = beam.cameraSums;
            sample.reason = r.analysis.analysed ? beam.reason : QStringLiteral("no reading");
            const int maxima[3] = {r.maxR, r.maxG, r.maxB};
            report->calibrationDone = sampleLocked(c, maxima[c], sample);
        }
    }
    if (r.exposureFactor && autoExposure())
        applyExposure(exposureControlValue(exposureMs() * *r.exposureFactor));

    report->sequence = ++m_loop->sequence;
    report->result = std::move(r);
    m_measured = report->sequence;
    {
        // Posted under the list's lock: no relay is deleted meanwhile.
        std::lock_guard<std::mutex> lock(m_subscribers->mutex);
        for (QObject* relay : m_subscribers->relays) {
            auto* r = static_cast<ReportRelay*>(relay);
            post(r, [r, report] { r->fn(report); });
        }
    }
    emit frameMeasured(report);
}

void MeasureSession::followBeams(const QImage& image) {
    QRect current;
    std::optional<ms::Corner> corner;
    ms::UnmixMatrix unmix;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (!m_shared->autoRoi)
            return;
        const bool due = m_shared->autoRoiNow || !m_loop->sinceAutoRoi.isValid() ||
                         m_loop->sinceAutoRoi.elapsed() >= kAutoRoiPeriodMs;
        if (!due)
            return;
        m_shared->autoRoiNow = false;
        current = m_shared->roi;
        corner = m_shared->corner;
        const int k = corner ? int(*corner) : 0;
        for (int i = 0; i < 9; ++i)
            unmix[size_t(i)] = m_shared->calibration.analysisUnmix[i][k];
    }
    m_loop->sinceAutoRoi.start();
    // Sized per beam with the analysis's own unmixing, as the analysis will measure them.
    const ms::AutoRoiResult r = ms::findAutoRoi(image, corner, current, unmix);
    if (r.reason != m_loop->autoRoiReason) {
        m_loop->autoRoiReason = r.reason;
        post(m_ownerRelay, [this, reason = r.reason] { emit autoRoiNoBeam(reason); });
    }
    if (!r.roi || !r.moved)
        return;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        // Switched off (a region drawn by hand) while the frame was searched: that wins.
        if (!m_shared->autoRoi || m_shared->roi != current)
            return;
        m_shared->roi = *r.roi;
        m_shared->stabCount = 0;
        ++m_shared->fillId;
    }
    post(m_ownerRelay, [this, roi = *r.roi] { emit autoRoiMoved(roi); });
}

QRect MeasureSession::roi() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->roi;
}

void MeasureSession::setRoi(const QRect& roi) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->roi = roi;
    m_shared->stabCount = 0;
    ++m_shared->fillId;
}

int MeasureSession::stabDepth() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->stabDepth;
}

void MeasureSession::setStabDepth(int depth) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->stabDepth = std::clamp(depth, 1, ms::kMaxStabDepth);
    m_shared->stabCount = 0;
    ++m_shared->fillId;
}

void MeasureSession::restartFill() {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->stabCount = 0;
    ++m_shared->fillId;
}

quint64 MeasureSession::fillId() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->fillId;
}

std::optional<measure::Corner> MeasureSession::corner() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->corner;
}

void MeasureSession::setCorner(std::optional<measure::Corner> corner) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (m_shared->corner != corner)
        m_shared->autoRoiNow = true;
    m_shared->corner = corner;
}

bool MeasureSession::autoRoi() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->autoRoi;
}

void MeasureSession::setAutoRoi(bool on) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    if (on && !m_shared->autoRoi)
        m_shared->autoRoiNow = true;
    m_shared->autoRoi = on;
}

int MeasureSession::redBoost() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->redBoost;
}

void MeasureSession::setRedBoost(int boost) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->redBoost = std::clamp(boost, 1, 4);
}

void MeasureSession::setAnalysisProfiles(bool on) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->analysisProfiles = on;
}

double MeasureSession::exposureMs() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->exposureMs;
}

float MeasureSession::exposureUs() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->exposureUs;
}

void MeasureSession::setExposureMs(double ms) {
    applyExposure(exposureControlValue(ms));
}

void MeasureSession::applyExposure(double ms) {
    if (!m_cam->isOpen())
        return;
    std::lock_guard<std::mutex> writing(m_shared->exposureMutex);
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        if (ms == m_shared->exposureMs)
            return;
    }
    m_cam->setExposure(float(ms * 1000.0));
    const float taken = m_cam->exposure();
    const double shown = exposureControlValue(taken / 1000.0);
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->exposureUs = float(shown * 1000.0);
        m_shared->exposureMs = shown;
    }
    emit exposureChanged(shown);
}

bool MeasureSession::autoExposure() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->autoExposure;
}

void MeasureSession::setAutoExposure(bool on) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    m_shared->autoExposure = on;
}

cal::LoadResult MeasureSession::loadCalibration(const std::array<QString, 3>& wavelengths,
                                                int nused, const QString& file) {
    cal::CalibrationData data = calibrationData();
    // During a run the raw matrices stay and no "not calibrated" box is shown.
    const cal::LoadResult r =
        cal::loadCalibration(file.isEmpty() ? calibrationFile() : file, wavelengths, nused,
                             calibrationChannel() >= 0, data);
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->calibration = data;
    }
    m_sink(r.notices);
    return r;
}

cal::CalibrationData MeasureSession::calibrationData() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->calibration;
}

void MeasureSession::beginPowerCalibration(int channel, double power,
                                           const std::array<QString, 3>& wavelengths) {
    if (channel < 0 || channel > 2)
        return;
    bool wasAuto = false;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        Shared& s = *m_shared;
        wasAuto = s.autoExposure;
        // A second run while one is active keeps the first run's choice to restore.
        if (s.calChannel < 0)
            s.autoExposureBeforeRun = wasAuto;
        s.autoExposure = false;
        s.calChannel = channel;
        s.calCompleting = false;
        s.calPower = power;
    }
    if (wasAuto)
        emit autoExposureChanged(false);
    loadCalibration(wavelengths, -1);
    restartFill();
}

int MeasureSession::calibrationChannel() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->calChannel;
}

std::optional<CalibrationCompletion>
MeasureSession::takeCalibrationSample(int channel, int channelMax,
                                      const cal::AnalysisSample& analysis) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return sampleLocked(channel, channelMax, analysis);
}

std::optional<CalibrationCompletion>
MeasureSession::sampleLocked(int channel, int channelMax, const cal::AnalysisSample& analysis) {
    Shared& s = *m_shared;
    // A completed run waits for its owner (boxes may be open): frames measured meanwhile
    // must not begin a second completion.
    if (channel < 0 || channel != s.calChannel || s.calCompleting)
        return std::nullopt;
    const cal::SampleResult r =
        cal::takeCalibrationSample(s.cornerSignal, cal::calibrationSampleCount()[size_t(channel)]);
    s.cornerSignal = r.normalised;
    if (!r.completed)
        return std::nullopt;
    s.calCompleting = true;
    CalibrationCompletion done;
    done.channel = channel;
    done.raw = r.raw;
    done.channelMax = channelMax;
    done.analysis = analysis;
    done.corner = s.corner ? int(*s.corner) : 0;
    done.exposureUs = s.exposureUs;
    done.power = s.calPower;
    return done;
}

cal::CompletionPlan
MeasureSession::planCalibrationCompletion(const CalibrationCompletion& done,
                                          const std::array<QString, 3>& wavelengths) const {
    return cal::planCalibrationCompletion(calibrationFile(), wavelengths, done.channel, done.corner,
                                          done.raw, done.exposureUs, done.power, done.channelMax,
                                          done.analysis);
}

void MeasureSession::endPowerCalibration() {
    bool restore = false;
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        Shared& s = *m_shared;
        if (s.calChannel < 0)
            return;
        s.calChannel = -1;
        s.calCompleting = false;
        restore = s.autoExposureBeforeRun;
        s.autoExposure = restore;
    }
    emit autoExposureChanged(restore);
}

} // namespace lumetra::session
