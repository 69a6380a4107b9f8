// Camera throughput: frames per second of the simulated head's renderer at full sensor
// size, of the conversion of one frame to the turned RGB888 image for each input format
// (one thread), and of the camera object delivering converted, turned frames to a consumer
// that asks for the next one at once. Prints figures; it is not a test.
//
//   bench_camera [seconds per figure, default 3]

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "BasCam.h"
#include "FrameConvert.h"
#include "simulated/SimulatedHead.h"

namespace {

double rendererFps(double seconds) {
    lumetra::sim::HeadConfig head; // demo-like scene: three beams, noise 0.5
    lumetra::sim::Renderer renderer(head);
    lumetra::sim::FrameLayout layout{0, 0, 1920, 1200, false, 0, 10000.0};
    std::vector<uint8_t> frame(layout.frameBytes());
    renderer.render(layout, frame.data()); // the scene is prepared once
    QElapsedTimer t;
    t.start();
    long frames = 0;
    unsigned checksum = 0;
    while (t.nsecsElapsed() < qint64(seconds * 1e9)) {
        renderer.render(layout, frame.data());
        checksum += frame[frames % frame.size()];
        ++frames;
    }
    const double fps = frames / (t.nsecsElapsed() / 1e9);
    std::printf("renderer   1920x1200 RGB8: %8.1f frames/s (%ld frames, check %u)\n", fps, frames,
                checksum & 0xff);
    return fps;
}

// Conversion of one rendered 1920 x 1200 frame of the demo-like scene, turned, into
// recycled images as the camera object converts.
double conversionFps(sdk::PixelType type, double seconds) {
    lumetra::sim::HeadConfig head;
    lumetra::sim::Renderer renderer(head);
    lumetra::sim::FrameLayout layout{0, 0, 1920, 1200, type == sdk::PixelType::Mono8, 0, 10000.0};
    if (sdk::isBayer(type))
        layout.bayer = type;
    std::vector<uint8_t> frame(layout.frameBytes());
    renderer.render(layout, frame.data());
    lumetra::camera::RawFrame raw;
    raw.data = frame.data();
    raw.size = frame.size();
    raw.width = layout.width;
    raw.height = layout.height;
    raw.type = type;
    QElapsedTimer t;
    t.start();
    long frames = 0;
    unsigned checksum = 0;
    lumetra::camera::ImagePool pool;
    while (t.nsecsElapsed() < qint64(seconds * 1e9)) {
        const QImage img = lumetra::camera::toRgbImage(raw, true, &pool);
        checksum += img.constBits()[frames % (3 * 1920)];
        ++frames;
    }
    const double fps = frames / (t.nsecsElapsed() / 1e9);
    std::printf("conversion 1920x1200 %-8s to RGB888, turned: %8.1f frames/s = %6.2f ms/frame "
                "(%ld frames, check %u)\n",
                sdk::pixelTypeName(type).c_str(), fps, 1000.0 / fps, frames, checksum & 0xff);
    return fps;
}

// The event loop for `ms`, asleep while nothing happens: a loop around processEvents()
// would spin a core the camera's thread needs.
void runFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double camObjectFps(double seconds, const char* format) {
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    {
        QFile f(QStringLiteral("simulated-head.ini"));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Text))
            return 0.0;
        QTextStream(&f) << "[Bench]\nserial=1\nmaxFps=0\nnoise=0.5\npixelFormats=" << format
                        << "\n";
    }
    double fps = 0.0;
    {
        BasCam cam;
        cam.setWaitForRequest(true);
        QCoreApplication::processEvents(); // the worker thread starts
        if (cam.openCamera(0) != 0 || cam.setExposure(20.0f) != 0) {
            std::printf("camera object: cannot open the simulated head\n");
            QDir::setCurrent(previous);
            return 0.0;
        }
        cam.setRotation(180);
        long frames = 0;
        QElapsedTimer t;
        QObject consumer;
        QObject::connect(&cam, &BasCam::ImageIsAvailable, &consumer, [&](const QImage& img) {
            if (img.width() == 1920 && img.height() == 1200)
                ++frames;
            cam.requestImage();
        });
        // Warm-up frames prepare the scene and the allocator.
        cam.startGrabbing();
        for (int i = 0; i < 50 && frames < 10; ++i)
            runFor(100);
        frames = 0;
        t.start();
        runFor(int(seconds * 1000));
        const long counted = frames;
        const double elapsed = t.nsecsElapsed() / 1e9;
        cam.stopGrabbing();
        fps = counted / elapsed;
        std::printf("camera obj 1920x1200 %-8s turned, re-armed at once: %8.1f frames/s "
                    "(%ld frames; last frameRate %g)\n",
                    format, fps, counted, double(cam.frameRate()));
    }
    QDir::setCurrent(previous);
    return fps;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("LUMETRA_ARAVIS_DISCOVERY", "0"); // the simulated head only, no broadcasts
    qputenv("QT_LOGGING_RULES", "*.debug=false");
    QCoreApplication app(argc, argv);
    const double seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toDouble() : 3.0;
    const double s = seconds > 0 ? seconds : 3.0;
    const double r = rendererFps(s);
    double slowest = 1e9;
    for (sdk::PixelType type :
         {sdk::PixelType::RGB8, sdk::PixelType::BayerRG8, sdk::PixelType::BayerBG8,
          sdk::PixelType::BayerGR8, sdk::PixelType::BayerGB8, sdk::PixelType::Mono8})
        slowest = std::min(slowest, conversionFps(type, s));
    const double c = camObjectFps(s, "RGB8");
    const double cb = camObjectFps(s, "BayerRG8");
    // Bayer: the window needs 100 frames/s from a head without a frame limit.
    std::printf("targets: renderer >= 300 (%s), every conversion >= 200 (%s), camera object "
                ">= 150 in RGB8 (%s), >= 100 in Bayer (%s)\n",
                r >= 300 ? "met" : "NOT met", slowest >= 200 ? "met" : "NOT met",
                c >= 150 ? "met" : "NOT met", cb >= 100 ? "met" : "NOT met");
    return 0;
}
