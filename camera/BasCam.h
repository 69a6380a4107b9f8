#pragma once
// The camera object: discovery, opening, parameters, the grab cycle in a worker thread
// and the sensor temperature. It is the only user of the camera-SDK layer.
//
// Threads. Three kinds of caller meet here:
// - the controlling thread: the one thread that opens, closes, starts and stops the
//   camera (the window's GUI thread, or a measuring session's thread). It must not be the
//   camera's own thread, because these calls wait for a running grab step.
// - the camera's thread: the worker thread the object moves into at the first turn of the
//   creating thread's event loop; the stream's grab steps run there.
// - any thread: everything marked so may be called from any thread at any time.
//
// Device nodes have one owner: a single lock (nodeMutex) that every node read and write
// takes, whichever thread makes it. A lock and not a hand-over to the camera's thread,
// because that thread spends most of its time inside a retrieval that waits up to its
// time-out (2 s, longer for a camera that stopped answering): a temperature read or an
// exposure write queued behind it would wait that long. Retrieval touches only the stream,
// never the node map, so it runs without the node lock, and a node access waits at most
// for another node access.

#include <QElapsedTimer>
#include <QImage>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "FrameConvert.h"
#include "StreamWatch.h"
#include "sdk/Sdk.h"

class QThread;

// One camera of the device list, with what opening needs to find it again after the list
// has been enumerated anew (cameras come and go, and the order may change).
struct CameraEntry {
    QString serial;    // as the camera reports it (calibration files are named after it)
    QString name;      // the friendly name shown in the camera list
    QString transport; // "simulated", "aravis"
    QString deviceId;  // the transport's own identity of the device

    bool isNull() const { return transport.isEmpty() && deviceId.isEmpty(); }
    bool operator==(const CameraEntry& o) const {
        return serial == o.serial && name == o.name && transport == o.transport &&
               deviceId == o.deviceId;
    }
};

class BasCam : public QObject {
    Q_OBJECT
public:
    // \context the controlling thread, which must run an event loop (the first turn moves
    // the object into its own thread). The destructor runs in the same thread.
    explicit BasCam(QObject* parent = nullptr);
    ~BasCam() override;

    // ------------------------------------------------------------ discovery and opening

    // The attached cameras, in enumeration order. The list is kept: openCamera(index)
    // opens the camera that this call (or deviceNames) put at that index.
    // \context any thread; may take a second (GigE discovery).
    QList<CameraEntry> cameraList();
    // Friendly names of cameraList().
    // \context any thread.
    QStringList deviceNames();
    // Opens the camera that the last list given out held at index, found again by its
    // identity in a fresh enumeration (without a list given out, index counts in the fresh
    // enumeration). -1 when that camera is gone: the open camera is then left alone.
    // index < 0 closes the camera and returns 0.
    // \context the controlling thread.
    int openCamera(int index);
    // Opens the first camera with this serial (of this transport, when given); -1 when
    // there is none, leaving the open camera alone.
    // \context the controlling thread.
    int openCameraBySerial(const QString& serial, const QString& transport = QString());
    // \context any thread.
    bool isOpen() const; // false once the camera is lost
    bool isGrabbing() const;
    // The held camera is gone (unplugged, stopped answering); openCamera releases it.
    bool isLost() const;
    int serialNumber() const; // 0 without an open camera or a non-decimal serial
    // The serial as the camera reports it; empty without an open camera.
    QString serialText() const;
    // The open camera as the list names it; a null entry without one.
    CameraEntry currentCamera() const;

    // ------------------------------------------------------------ parameters
    // which: 1 = minimum, 2 = maximum, anything else the current value.
    // \context any thread; serialised by the node lock.
    float exposure(int which = 0);
    int setExposure(float us);
    int width(int which = 0);
    int height(int which = 0);
    int offsetX(int which = 0);
    int offsetY(int which = 0);
    int setWidth(int v);
    int setHeight(int v);
    int setOffsetX(int v);
    int setOffsetY(int v);
    QString pixelFormat();
    int setPixelFormat(const QString& symbol);
    void disableColorSpace();
    void disableLightSourcePreset();
    // Sensor temperature in degrees Celsius, -100.0 without a reading.
    float temperature();

    // ------------------------------------------------------------ acquisition

    // One image, retrieved and converted in the calling thread; never waits for a request.
    // \context the controlling thread.
    int grabOne(bool saveIt = false);
    // Starts the stream; its steps run in the camera's thread.
    // \context the controlling thread.
    int startGrabbing();
    // Returns once the camera no longer grabs, processing the calling thread's events.
    // \context the controlling thread.
    int stopGrabbing();
    // \context any thread.
    QImage lastImage() const;
    float frameRate() const;
    void setRotation(int degrees);

    // The request handshake. With waitForRequest on, each delivered image clears the
    // request and the next retrieval waits until the consumer asks again.
    // \context any thread.
    void setWaitForRequest(bool on);
    bool waitsForRequest() const;
    // The consumer is ready for the next image (wakes a waiting step).
    void requestImage();
    bool isImageRequested() const;

signals:
    // Emitted in the camera's thread for the stream, in the caller's thread for grabOne.
    void ImageIsAvailable(QImage image);
    void FeedbackImageProcessing(bool saveIt);
    void FeedbackImageProcessing();
    void killThread();
    // The open camera is gone. Emitted once per opened camera, from the thread that found
    // out (connect it queued); its grab cycle has ended and every later call returns at
    // once with the values for an absent camera.
    void CameraLost(QString friendlyName);

public slots:
    // One grab step. \context the camera's thread (queued by the cycle), or the
    // controlling thread through grabOne.
    void ProcessOneImage(bool saveIt);
    // \context the creating thread's event loop, once.
    void firstLoad();

private:
    // Members as the camera layer's design names them, plus the synchronisation.
    bool pylonReady = false;
    sdk::GrabResultPtr grabResult;
    std::unique_ptr<sdk::Device> camera;
    QThread* workerThread = nullptr;
    QImage image;
    std::atomic<float> fps{1.0f}; // written by the step, read by any thread
    std::atomic<int> rotationDeg{0};
    // Request handshake: the consumer sets imageRequested through requestImage(), the
    // step clears it after each delivered image when waitForRequest is on.
    std::atomic<bool> waitForRequest{false};
    std::atomic<bool> imageRequested{true};
    // The rate is taken over a window of frame times, and a stream that stops answering
    // is declared lost; both belong to the step (cameraMutex), and start afresh with each
    // stream (streamStarts moves on).
    lumetra::camera::FrameRateWindow rateWindow;
    lumetra::camera::LossWatch lossWatch;
    std::atomic<unsigned> streamStarts{0};
    unsigned watchedStream = 0;
    QElapsedTimer frameClock; // frame times for transports that give none
    std::atomic<bool> lostReported{false};
    CameraEntry held;          // of the held camera (dataMutex)
    QList<CameraEntry> listed; // the last list given out (dataMutex)
    bool listGiven = false;    // (dataMutex)

    // The grab step waits on this instead of polling; a stop or a request wakes it.
    mutable std::mutex waitMutex;
    std::condition_variable waitCondition;
    // Held by a running grab step and by whoever replaces the camera, so the camera is
    // never deleted under a step. Never taken while nodeMutex is held.
    mutable std::recursive_mutex cameraMutex;
    // The one lock of device access: every node read or write, starting and stopping,
    // and replacing the camera pointer (which therefore may be read under either lock).
    mutable std::recursive_mutex nodeMutex;
    // Guards image, grabResult, held and listed.
    mutable std::mutex dataMutex;

    void wakeWaitingStep();
    // The camera is gone: abandon it, log it and say so, once per opened camera.
    void declareLost();
    // An error that says the device is gone declares the loss.
    void noteError(const std::exception& e);
    void beginStream();
    void releaseCamera();
    void closeHeldCamera();
    // Opens the device that pick chooses from a fresh enumeration (-1: none).
    int openPicked(const std::function<int(const sdk::DeviceInfoList&)>& pick);
    void applyStartupSettings();
    void selectStreamFormat();
    void scheduleStep(bool saveIt);
    // Queues a call into the object's thread (a zero-delay call, as a timer would).
    void post(std::function<void()> call);
    QObject* relay = nullptr;
    QImage toQImage(const sdk::GrabResult& result);
    // The camera's thread converts into it. Frames stay out with the reports while the window
    // catches up (a few behind at full rate): a pool that kept fewer than that allocated and
    // faulted in a new frame each time. It never holds more than were out at once.
    lumetra::camera::ImagePool imagePool{8};
    int integerNode(const char* name, int which);
    int setIntegerNode(const char* name, int v);
};
