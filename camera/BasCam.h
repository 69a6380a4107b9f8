#pragma once
// The camera object: discovery, opening, parameters, the grab cycle in a worker thread
// and the sensor temperature. It is the only user of the camera-SDK layer.

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "StreamWatch.h"
#include "sdk/Sdk.h"

class QThread;

class BasCam : public QObject {
    Q_OBJECT
public:
    explicit BasCam(QObject* parent = nullptr);
    ~BasCam() override;

    // Discovery and opening.
    QStringList deviceNames();
    int openCamera(int index); // 0 on success or index < 0 (closes), -1 on failure
    bool isOpen() const;       // false once the camera is lost
    bool isGrabbing() const;
    // The held camera is gone (unplugged, stopped answering); openCamera releases it.
    bool isLost() const;
    int serialNumber() const; // 0 without an open camera or a non-decimal serial
    // The serial as the camera reports it; empty without an open camera.
    QString serialText() const;

    // Parameters: which 1 = minimum, 2 = maximum, anything else the current value.
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

    // Acquisition.
    int grabOne(bool saveIt = false);
    int startGrabbing();
    int stopGrabbing(); // returns once the camera no longer grabs
    QImage lastImage() const;
    float frameRate() const;
    void setRotation(int degrees);

    // Sensor temperature in degrees Celsius, -100.0 without a reading.
    float temperature();

    // Request handshake (written by the GUI thread, read by the worker thread).
    std::atomic<bool> waitForRequest{false};
    // Use requestImage() to set it from the consumer side: it also wakes the waiting step.
    std::atomic<bool> imageRequested{true};
    void requestImage();

signals:
    void ImageIsAvailable(QImage image);
    void FeedbackImageProcessing(bool saveIt);
    void FeedbackImageProcessing();
    void killThread();
    // The open camera is gone. Emitted once per opened camera, from the thread that found
    // out (connect it queued); its grab cycle has ended and every later call returns at
    // once with the values for an absent camera.
    void CameraLost(QString friendlyName);

public slots:
    void ProcessOneImage(bool saveIt);
    void firstLoad();

private:
    // Members as the camera layer's design names them; the camera helper may add
    // synchronisation members but keeps the public interface above.
    bool pylonReady = false;
    sdk::GrabResultPtr grabResult;
    std::unique_ptr<sdk::Device> camera;
    QThread* workerThread = nullptr;
    QImage image;
    std::atomic<float> fps{1.0f}; // written by the step, read by the GUI thread
    std::atomic<int> rotationDeg{0};
    // The rate is taken over a window of frame times, and a stream that stops answering
    // is declared lost; both belong to the step (cameraMutex), and start afresh with each
    // stream (streamStarts moves on).
    lumetra::camera::FrameRateWindow rateWindow;
    lumetra::camera::LossWatch lossWatch;
    std::atomic<unsigned> streamStarts{0};
    unsigned watchedStream = 0;
    QElapsedTimer frameClock; // frame times for transports that give none
    std::atomic<bool> lostReported{false};
    QString cameraName; // of the held camera, for the loss notice (dataMutex)

    // The grab step waits on this instead of polling; a stop or a request wakes it.
    mutable std::mutex waitMutex;
    std::condition_variable waitCondition;
    // Held by a running grab step and by whoever releases the camera, so the camera is
    // never deleted under a step.
    mutable std::recursive_mutex cameraMutex;
    // Guards image and grabResult, which a step writes and lastImage reads.
    mutable std::mutex dataMutex;

    void wakeWaitingStep();
    // The camera is gone: abandon it, log it and say so, once per opened camera.
    void declareLost();
    // An error that says the device is gone declares the loss.
    void noteError(const std::exception& e);
    void beginStream();
    void releaseCamera();
    void scheduleStep(bool saveIt);
    // Queues a call into the object's thread (a zero-delay call, as a timer would).
    void post(std::function<void()> call);
    QObject* relay = nullptr;
    QImage toQImage(const sdk::GrabResult& result);
    int integerNode(const char* name, int which);
    int setIntegerNode(const char* name, int v);
};
