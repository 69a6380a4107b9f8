#include "BasCam.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <QTransform>

#include <chrono>
#include <functional>

#include "BuiltInTransports.h"
#include "FrameConvert.h"
#include "Log.h"
#include "ThreadHandOver.h"

using lumetra::threads::handOver;
using lumetra::threads::takeOver;

namespace {

// The request wait is woken by requestImage() and by stopping; this bound only covers a
// consumer that sets the flag directly without waking the step.
constexpr auto kRequestRecheck = std::chrono::milliseconds(20);

bool isOff(sdk::NodeMap& nodes, const char* name) {
    if (!nodes.hasNode(name))
        return true; // a camera without this automatic mode cannot have it on
    return nodes.enumSymbol(name) == "Off";
}

} // namespace

BasCam::BasCam(QObject* parent) : QObject(parent) {
    relay = new lumetra::threads::CallRelay(this, this);
    lumetra::camera::registerBuiltInTransports();
    try {
        sdk::initialize();
        pylonReady = true;
    } catch (const std::exception&) {
        qDebug() << "Cannot initialize Pylon- install Runtime/ drivers";
        pylonReady = false;
    }
    QTimer::singleShot(0, this, &BasCam::firstLoad);
}

BasCam::~BasCam() {
    if (camera) {
        try {
            {
                std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
                camera->stopGrabbing();
            }
            wakeWaitingStep();
            while (camera->isGrabbing())
                QCoreApplication::processEvents();
        } catch (const std::exception& e) {
            qDebug() << "Stop grabbing failed:" << e.what();
        }
    }
    // The worker thread must be idle before the camera goes: end its event loop and wait,
    // so no step can still touch this object or the camera.
    if (workerThread && QThread::currentThread() != workerThread) {
        emit killThread();
        workerThread->wait();
        takeOver(this);
    }
    // Disconnected once no step can run any more, so no step ever sees a half-removed
    // connection.
    disconnect(this, qOverload<bool>(&BasCam::FeedbackImageProcessing), this,
               &BasCam::ProcessOneImage);
    {
        std::lock_guard<std::recursive_mutex> camLock(cameraMutex);
        std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
        releaseCamera();
    }
    if (pylonReady)
        sdk::terminate(true);
    if (!workerThread)
        emit killThread();
    std::lock_guard<std::mutex> dataLock(dataMutex);
    image = QImage();
    grabResult.reset();
}

void BasCam::firstLoad() {
    if (workerThread)
        return;
    connect(this, qOverload<bool>(&BasCam::FeedbackImageProcessing), this, &BasCam::ProcessOneImage,
            Qt::UniqueConnection);
    // The overload without argument stands for saveIt false.
    connect(this, qOverload<>(&BasCam::FeedbackImageProcessing), this,
            [this] { ProcessOneImage(false); });
    workerThread = new QThread();
    workerThread->setObjectName(QStringLiteral("camera")); // as profilers and top show it
    connect(this, &BasCam::killThread, workerThread, &QThread::quit);
    connect(workerThread, &QThread::finished, workerThread, &QObject::deleteLater);
    moveToThread(workerThread);
    workerThread->start(QThread::InheritPriority);
}

// ---------------------------------------------------------------- discovery and opening

namespace {

CameraEntry entryOf(const sdk::DeviceInfo& info) {
    return CameraEntry{
        QString::fromStdString(info.serialNumber), QString::fromStdString(info.friendlyName),
        QString::fromStdString(info.transport), QString::fromStdString(info.deviceId)};
}

// Where the camera listed as `wanted` sits in a fresh enumeration: the same transport and
// serial (the same device id first, when several share the serial), -1 when it is gone.
int indexOfEntry(const sdk::DeviceInfoList& list, const CameraEntry& wanted) {
    int sameSerial = -1;
    for (size_t i = 0; i < list.size(); ++i) {
        const CameraEntry e = entryOf(list[i]);
        if (e.transport != wanted.transport)
            continue;
        if (e.deviceId == wanted.deviceId && e.serial == wanted.serial)
            return int(i);
        if (sameSerial < 0 && !wanted.serial.isEmpty() && e.serial == wanted.serial)
            sameSerial = int(i);
    }
    return sameSerial;
}

} // namespace

QList<CameraEntry> BasCam::cameraList() {
    QList<CameraEntry> entries;
    if (pylonReady) {
        try {
            sdk::TlFactory& factory = sdk::TlFactory::instance();
            sdk::DeviceInfoList list;
            const int n = factory.enumerateDevices(list, false);
            for (int i = 0; i < n && i < int(list.size()); ++i) {
                // The name comes from a camera made on the device, never opened.
                std::unique_ptr<sdk::Device> device = factory.createDevice(list[size_t(i)]);
                CameraEntry entry = entryOf(list[size_t(i)]);
                entry.name = QString::fromStdString(device->deviceInfo().friendlyName);
                entries.append(entry);
            }
        } catch (const std::exception&) {
            qDebug() << "Failed Get list Dev";
        }
    }
    std::lock_guard<std::mutex> lock(dataMutex);
    listed = entries;
    listGiven = true;
    return entries;
}

QStringList BasCam::deviceNames() {
    QStringList names;
    for (const CameraEntry& e : cameraList())
        names.append(e.name);
    return names;
}

void BasCam::wakeWaitingStep() {
    { std::lock_guard<std::mutex> lock(waitMutex); }
    waitCondition.notify_all();
}

void BasCam::declareLost() {
    // Called by the step (camera held under cameraMutex) or by a node access (nodeMutex);
    // either keeps the pointer alive, and the device's abandon() may be called from any
    // thread.
    if (!camera || lostReported.exchange(true))
        return;
    camera->abandon();
    wakeWaitingStep();
    QString name;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        name = held.name;
    }
    writeLog(QStringLiteral("Camera lost: ") + name);
    emit CameraLost(name);
}

void BasCam::noteError(const std::exception& e) {
    const auto* sdkError = dynamic_cast<const sdk::SdkError*>(&e);
    if (sdkError && sdkError->kind() == sdk::SdkError::Kind::DeviceLost)
        declareLost();
}

void BasCam::beginStream() {
    ++streamStarts;
}

void BasCam::releaseCamera() {
    if (!camera)
        return;
    try {
        if (camera->isOpen()) {
            camera->close();
            qDebug() << "Camera closed";
        }
    } catch (const std::exception& e) {
        qDebug() << "Closing the camera failed:" << e.what();
    }
    camera.reset();
    std::lock_guard<std::mutex> lock(dataMutex);
    held = CameraEntry();
}

void BasCam::closeHeldCamera() {
    {
        // Stop first so a step waiting in the worker thread returns, then release the
        // camera only once no step holds it.
        std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
        if (!camera)
            return;
        try {
            camera->stopGrabbing();
        } catch (const std::exception&) {
        }
    }
    wakeWaitingStep();
    std::lock_guard<std::recursive_mutex> camLock(cameraMutex);
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    releaseCamera();
}

int BasCam::openCamera(int index) {
    if (index < 0) {
        // Closing needs no device list, and listing GigE cameras takes a second.
        closeHeldCamera();
        return 0;
    }
    CameraEntry wanted;
    bool fromList = false;
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        if (listGiven) {
            fromList = true;
            if (index < listed.size())
                wanted = listed[index];
        }
    }
    if (fromList && wanted.isNull())
        return -1; // beyond the list the user saw
    return openPicked([&](const sdk::DeviceInfoList& list) {
        if (fromList)
            return indexOfEntry(list, wanted);
        return index < int(list.size()) ? index : -1;
    });
}

int BasCam::openCameraBySerial(const QString& serial, const QString& transport) {
    if (serial.isEmpty())
        return -1;
    return openPicked([&](const sdk::DeviceInfoList& list) {
        for (size_t i = 0; i < list.size(); ++i) {
            const CameraEntry e = entryOf(list[i]);
            if (e.serial == serial && (transport.isEmpty() || e.transport == transport))
                return int(i);
        }
        return -1;
    });
}

int BasCam::openPicked(const std::function<int(const sdk::DeviceInfoList&)>& pick) {
    try {
        sdk::TlFactory& factory = sdk::TlFactory::instance();
        sdk::DeviceInfoList list;
        factory.enumerateDevices(list, false);
        const int index = pick(list);
        if (index < 0 || index >= int(list.size()))
            return -1;

        closeHeldCamera();
        {
            std::lock_guard<std::recursive_mutex> camLock(cameraMutex);
            std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
            camera = factory.createDevice(list[size_t(index)]);
            {
                std::lock_guard<std::mutex> lock(dataMutex);
                held = entryOf(list[size_t(index)]);
                held.name = QString::fromStdString(camera->deviceInfo().friendlyName);
            }
            lostReported = false;
            camera->open();
        }
        applyStartupSettings();
        return 0;
    } catch (const std::exception&) {
        qDebug() << "Failed Get list Dev & set parameters";
        return -1;
    }
}

void BasCam::applyStartupSettings() {
    // One node-lock section: nothing else sees a half-configured camera.
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    const int oy = offsetY();
    const int ox = offsetX();
    const int h = height();
    const int w = width();
    const QString name = currentCamera().name;
    writeLog(QStringLiteral("Cam opened: ") + name + QStringLiteral(" | W=") + QString::number(w) +
             QStringLiteral(" H=") + QString::number(h) + QStringLiteral(" | PosX=") +
             QString::number(ox) + QStringLiteral(" PosY=") + QString::number(oy));

    selectStreamFormat();
    qDebug() << "PixelFormat" << pixelFormat();
    const bool open = isOpen();
    qDebug() << "ExpoAuto" << (open && !isOff(camera->nodeMap(), "ExposureAuto"))
             << (open ? float(camera->nodeMap().floatValue("ExposureTime")) : -1.0f);
    qDebug() << "AutoGain" << (open && !isOff(camera->nodeMap(), "GainAuto"))
             << (open ? float(camera->nodeMap().floatValue("Gain")) : -1.0f);
    if (open)
        camera->nodeMap().trySetEnumSymbol("BalanceWhiteAuto", "Off");
    qDebug() << "AutoWB" << (open && !isOff(camera->nodeMap(), "BalanceWhiteAuto"));
    disableColorSpace();
    disableLightSourcePreset();
    if (open) {
        sdk::NodeMap& nodes = camera->nodeMap();
        if (nodes.trySetFloat("BslHue", 0.0, sdk::Correction::Nearest) &&
            nodes.trySetFloat("BslSaturation", 1.0, sdk::Correction::Nearest))
            nodes.trySetFloat("BslBrightness", 0.0, sdk::Correction::Nearest);
    }
}

void BasCam::selectStreamFormat() {
    if (!isOpen())
        return;
    try {
        sdk::NodeMap& nodes = camera->nodeMap();
        if (!nodes.hasNode("PixelFormat"))
            return;
        // RGB8 (under whichever name the camera gives it) or an 8-bit Bayer pattern.
        std::string rgb, bayer;
        for (const std::string& symbol : nodes.enumSymbols("PixelFormat")) {
            const sdk::PixelType type = sdk::pixelTypeFromName(symbol);
            if (type == sdk::PixelType::RGB8 && rgb.empty())
                rgb = symbol;
            else if (sdk::isBayer(type) && bayer.empty())
                bayer = symbol;
        }
        std::string chosen = rgb.empty() ? bayer : rgb;
        if (!rgb.empty() && !bayer.empty() && nodes.hasNode("ResultingFrameRate")) {
            // A third of the bytes per frame: Bayer is chosen when RGB8 would hold the
            // camera below what it could deliver (its link, usually). The camera says
            // what each format allows; asked at the shortest exposure, so that the
            // exposure of the moment does not hide the limit.
            const double keptUs = nodes.floatValue("ExposureTime");
            nodes.trySetFloat("ExposureTime", nodes.floatMin("ExposureTime"),
                              sdk::Correction::Nearest);
            auto rateOf = [&](const std::string& symbol) {
                return nodes.trySetEnumSymbol("PixelFormat", symbol)
                           ? nodes.floatValue("ResultingFrameRate")
                           : 0.0;
            };
            const double rgbRate = rateOf(rgb), bayerRate = rateOf(bayer);
            nodes.trySetFloat("ExposureTime", keptUs, sdk::Correction::Nearest);
            qDebug() << "Frame rate RGB8" << rgbRate << bayer.c_str() << bayerRate;
            // A few per cent are not worth the demosaic.
            if (bayerRate > 1.05 * rgbRate)
                chosen = bayer;
        }
        if (!chosen.empty())
            nodes.trySetEnumSymbol("PixelFormat", chosen);
    } catch (const std::exception& e) {
        qDebug() << "Cannot choose the pixel format" << e.what();
        noteError(e);
    }
}

bool BasCam::isOpen() const {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    try {
        return camera && camera->isOpen();
    } catch (const std::exception&) {
        return false;
    }
}

bool BasCam::isLost() const {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    try {
        return camera && camera->isLost();
    } catch (const std::exception&) {
        return false;
    }
}

bool BasCam::isGrabbing() const {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    try {
        return camera && camera->isOpen() && camera->isGrabbing();
    } catch (const std::exception&) {
        return false;
    }
}

int BasCam::serialNumber() const {
    bool ok = false;
    const int serial = serialText().toInt(&ok, 10);
    return ok ? serial : 0;
}

QString BasCam::serialText() const {
    if (!isOpen())
        return {};
    return currentCamera().serial;
}

CameraEntry BasCam::currentCamera() const {
    std::lock_guard<std::mutex> lock(dataMutex);
    return held;
}

// ---------------------------------------------------------------- parameters

int BasCam::integerNode(const char* name, int which) {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return -1;
    try {
        sdk::NodeMap& nodes = camera->nodeMap();
        const int64_t v = which == 1   ? nodes.integerMin(name)
                          : which == 2 ? nodes.integerMax(name)
                                       : nodes.integerValue(name);
        return int(v);
    } catch (const std::exception& e) {
        qDebug() << "Cannot read" << name << e.what();
        noteError(e);
        return -1;
    }
}

int BasCam::setIntegerNode(const char* name, int v) {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return -1;
    try {
        return camera->nodeMap().trySetInteger(name, int64_t(v), sdk::Correction::Nearest) ? 0 : -1;
    } catch (const std::exception& e) {
        qDebug() << "Cannot write" << name << e.what();
        noteError(e);
        return -1;
    }
}

float BasCam::exposure(int which) {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return -1.0f;
    try {
        sdk::NodeMap& nodes = camera->nodeMap();
        const double v = which == 1   ? nodes.floatMin("ExposureTime")
                         : which == 2 ? nodes.floatMax("ExposureTime")
                                      : nodes.floatValue("ExposureTime");
        return float(v);
    } catch (const std::exception& e) {
        qDebug() << "Cannot read ExposureTime" << e.what();
        noteError(e);
        return -1.0f;
    }
}

int BasCam::setExposure(float us) {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return -1;
    try {
        return camera->nodeMap().trySetFloat("ExposureTime", double(us), sdk::Correction::Nearest)
                   ? 0
                   : -1;
    } catch (const std::exception& e) {
        qDebug() << "Cannot write ExposureTime" << e.what();
        noteError(e);
        return -1;
    }
}

int BasCam::width(int which) {
    return integerNode("Width", which);
}
int BasCam::height(int which) {
    return integerNode("Height", which);
}
int BasCam::offsetX(int which) {
    return integerNode("OffsetX", which);
}
int BasCam::offsetY(int which) {
    return integerNode("OffsetY", which);
}
int BasCam::setWidth(int v) {
    return setIntegerNode("Width", v);
}
int BasCam::setHeight(int v) {
    return setIntegerNode("Height", v);
}
int BasCam::setOffsetX(int v) {
    return setIntegerNode("OffsetX", v);
}
int BasCam::setOffsetY(int v) {
    return setIntegerNode("OffsetY", v);
}

QString BasCam::pixelFormat() {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return QString();
    try {
        return QString::fromStdString(camera->nodeMap().enumSymbol("PixelFormat"));
    } catch (const std::exception& e) {
        qDebug() << "Cannot read PixelFormat" << e.what();
        noteError(e);
        return QString();
    }
}

int BasCam::setPixelFormat(const QString& symbol) {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return -1;
    try {
        return camera->nodeMap().trySetEnumSymbol("PixelFormat", symbol.toStdString()) ? 0 : -1;
    } catch (const std::exception& e) {
        qDebug() << "Cannot write PixelFormat" << e.what();
        noteError(e);
        return -1;
    }
}

void BasCam::disableColorSpace() {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return;
    try {
        camera->nodeMap().trySetEnumSymbol("BslColorSpace", "Off");
    } catch (const std::exception&) {
        qDebug() << "Can't disable Color space";
    }
}

void BasCam::disableLightSourcePreset() {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return;
    try {
        camera->nodeMap().trySetEnumSymbol("BslLightSourcePreset", "Off");
    } catch (const std::exception&) {
        qDebug() << "Can't disable Light source preset";
    }
}

float BasCam::temperature() {
    std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
    if (!isOpen())
        return -100.0f;
    try {
        sdk::NodeMap& nodes = camera->nodeMap();
        nodes.trySetEnumSymbol("DeviceTemperatureSelector", "DeviceTemperatureSelector_FpgaCore");
        return float(nodes.floatValue("DeviceTemperature"));
    } catch (const std::exception& e) {
        noteError(e);
        return -100.0f;
    }
}

// ---------------------------------------------------------------- acquisition

int BasCam::startGrabbing() {
    bool started = false;
    {
        std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
        if (!isOpen())
            return -1;
        try {
            camera->startGrabbing(0);
            started = true;
            beginStream();
        } catch (const std::exception& e) {
            qDebug() << "Start grabbing failed:" << e.what();
            noteError(e);
        }
    }
    if (isGrabbing()) {
        // Only a start that began the stream begins a grab cycle: a second cycle would
        // wait for the request in the worker thread while the image it must deliver first
        // sits queued behind it, and the stream would stall.
        if (started) {
            handOver(this);
            emit FeedbackImageProcessing(false);
        }
        return 0;
    }
    qDebug() << "Cam not grabbing";
    return -1;
}

int BasCam::grabOne(bool saveIt) {
    if (!isOpen() || isGrabbing()) {
        qDebug() << "Cam closed or already grabbing";
        return -1;
    }
    // Holding the camera across start and step keeps a late step of an earlier stream in
    // the worker thread from taking this single image.
    std::lock_guard<std::recursive_mutex> camLock(cameraMutex);
    try {
        std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
        if (!camera)
            return -1;
        camera->startGrabbing(1);
        beginStream();
    } catch (const std::exception& e) {
        qDebug() << "Cam closed or already grabbing" << e.what();
        noteError(e);
        return -1;
    }
    // Asking for one image is itself the request: the step runs in this thread, the one
    // that would otherwise grant it, so it must never wait for it.
    imageRequested = true;
    ProcessOneImage(saveIt);
    return 0;
}

int BasCam::stopGrabbing() {
    {
        std::lock_guard<std::recursive_mutex> nodeLock(nodeMutex);
        if (!isOpen())
            return -1;
        try {
            camera->stopGrabbing();
        } catch (const std::exception& e) {
            qDebug() << "Stop grabbing failed:" << e.what();
        }
    }
    wakeWaitingStep();
    while (isGrabbing())
        QCoreApplication::processEvents();
    // Let a step that was already past its checks finish with the camera.
    std::lock_guard<std::recursive_mutex> camLock(cameraMutex);
    return 0;
}

QImage BasCam::lastImage() const {
    std::lock_guard<std::mutex> lock(dataMutex);
    if (grabResult && grabResult->grabSucceeded())
        return image;
    return QImage();
}

float BasCam::frameRate() const {
    return fps.load();
}

void BasCam::setRotation(int degrees) {
    rotationDeg = degrees;
}

void BasCam::setWaitForRequest(bool on) {
    waitForRequest = on;
}

bool BasCam::waitsForRequest() const {
    return waitForRequest.load();
}

void BasCam::requestImage() {
    imageRequested = true;
    wakeWaitingStep();
}

bool BasCam::isImageRequested() const {
    return imageRequested.load();
}

void BasCam::post(std::function<void()> call) {
    handOver(this);
    lumetra::threads::post(relay, std::move(call));
}

void BasCam::scheduleStep(bool saveIt) {
    post([this, saveIt] { emit FeedbackImageProcessing(saveIt); });
}

QImage BasCam::toQImage(const sdk::GrabResult& result) {
    // The frame's own pixel type, not the PixelFormat node: reading the node here would be
    // a device access per frame, and its name for a format may be one we do not know.
    const int degrees = ((rotationDeg.load() % 360) + 360) % 360;
    lumetra::camera::RawFrame frame;
    frame.data = result.buffer;
    frame.size = result.bufferSize;
    frame.width = int(result.width);
    frame.height = int(result.height);
    frame.paddingX = result.paddingX;
    frame.type = result.pixelType;
    QImage out = lumetra::camera::toRgbImage(frame, degrees == 180, &imagePool);
    if (!out.isNull() && degrees != 0 && degrees != 180)
        out = out.transformed(QTransform().rotate(degrees), Qt::FastTransformation);
    return out;
}

void BasCam::ProcessOneImage(bool saveIt) {
    takeOver(this);
    struct Done {
        const void* token;
        ~Done() { handOver(token); }
    } done{this};
    std::unique_lock<std::recursive_mutex> camLock(cameraMutex);
    try {
        if (!camera || !camera->isOpen() || !camera->isGrabbing())
            return;
        {
            std::unique_lock<std::mutex> lock(waitMutex);
            while (!imageRequested.load()) {
                if (!camera->isGrabbing()) {
                    lock.unlock();
                    qDebug() << "Grabbing stopped";
                    return;
                }
                waitCondition.wait_for(lock, kRequestRecheck);
            }
        }
    } catch (const std::exception&) {
        return;
    }

    if (watchedStream != streamStarts.load()) {
        watchedStream = streamStarts.load();
        lossWatch.restart();
        rateWindow.restart();
        frameClock.start();
    }
    try {
        const int timeoutMs = lossWatch.timeoutMs(std::chrono::steady_clock::now());
        sdk::GrabResultPtr result = camera->retrieveResult(timeoutMs);
        {
            std::lock_guard<std::mutex> lock(dataMutex);
            grabResult = result;
        }
        if (result && result->isValid())
            lossWatch.answered(std::chrono::steady_clock::now());
        if (!result || !result->grabSucceeded()) {
            {
                std::lock_guard<std::mutex> lock(dataMutex);
                image = QImage();
            }
            imageRequested = true;
            scheduleStep(saveIt);
            return;
        }

        const int64_t taken =
            result->timestampNs > 0 ? result->timestampNs : frameClock.nsecsElapsed();
        if (const auto rate = rateWindow.add(taken))
            fps = *rate;

        const QImage converted = toQImage(*result);
        {
            std::lock_guard<std::mutex> lock(dataMutex);
            image = converted;
        }

        if (saveIt) {
            QDir().mkpath(QStringLiteral("algoImg"));
            converted.save(
                QStringLiteral("algoImg/") +
                QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd_hhmmsszzz")) +
                QStringLiteral(".bmp"));
        }

        if (waitForRequest.load())
            imageRequested = false;

        // Straight from here, never queued behind a step that may already wait for the
        // request this image will bring. The image is complete: a receiver in another
        // thread takes it over with this mark.
        handOver(this);
        emit ImageIsAvailable(converted);
        scheduleStep(saveIt);
    } catch (const sdk::SdkError& e) {
        // A device that is gone ends the cycle; so do time-outs that span the loss window.
        if (e.kind() == sdk::SdkError::Kind::DeviceLost) {
            declareLost();
            return;
        }
        writeLog(QStringLiteral("Grab Timeout exception"));
        if (e.kind() == sdk::SdkError::Kind::Timeout &&
            lossWatch.timedOut(std::chrono::steady_clock::now())) {
            declareLost();
            return;
        }
        imageRequested = true;
        scheduleStep(saveIt);
    } catch (const std::exception&) {
        writeLog(QStringLiteral("Grab Timeout exception"));
        imageRequested = true;
        scheduleStep(saveIt);
    }
}
