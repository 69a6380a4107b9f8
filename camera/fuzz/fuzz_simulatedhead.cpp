// Feeds arbitrary bytes as simulated-head.ini to the simulated head's transport and checks
// what it promises: the file is read without fault, every head it lists can be created,
// every value is within its documented range, and a frame of a window of each head renders
// in both pixel formats.

#include "simulated/SimulatedHead.h"
#include "simulated/SimulatedTransport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

using namespace lumetra::sim;

namespace {

void require(bool ok) {
    if (!ok)
        std::abort();
}

bool finiteIn(double v, double lo, double hi) {
    return std::isfinite(v) && v >= lo && v <= hi;
}

void checkHead(const HeadConfig& h) {
    require(h.sensorWidth >= 16 && h.sensorWidth <= kMaxSensorSide);
    require(h.sensorHeight >= 16 && h.sensorHeight <= kMaxSensorSide);
    require(finiteIn(h.maxFps, 0.0, 1e6));
    require(finiteIn(h.noise, 0.0, 1000.0));
    require(h.monoPaddingX >= 0 && h.monoPaddingX <= kMaxPaddingX);
    require(h.timeoutEvery >= 0 && h.failEvery >= 0 && h.unplugAfter >= 0);
    require(std::isfinite(h.temperature) && std::isfinite(h.temperatureRise));
    require(std::isfinite(h.background) && !h.pixelFormats.empty());
    for (const BeamConfig& b : h.beams) {
        require(finiteIn(b.power, 0.0, HUGE_VAL) && finiteIn(b.signal, 0.0, HUGE_VAL));
        require(finiteIn(b.divergenceX, 0.001, HUGE_VAL));
        require(finiteIn(b.divergenceY, 0.001, HUGE_VAL));
        require(std::isfinite(b.offsetX) && std::isfinite(b.offsetY));
        for (double r : b.response)
            require(std::isfinite(r));
    }
}

// A window of at most 64 x 48 in the middle of the sensor, as the camera would read it.
// The noise table (tens of thousands of Gaussian draws) would make every run slow; it is
// built for one input in 64.
void render(HeadConfig h, bool withNoise) {
    if (!withNoise)
        h.noise = 0.0;
    Renderer renderer(h, 1);
    for (bool mono : {false, true}) {
        FrameLayout l;
        l.width = std::min(h.sensorWidth, 64);
        l.height = std::min(h.sensorHeight, 48);
        l.offsetX = (h.sensorWidth - l.width) / 2;
        l.offsetY = (h.sensorHeight - l.height) / 2;
        l.mono = mono;
        l.paddingX = mono ? h.monoPaddingX : 0;
        l.exposureUs = 10000.0;
        std::vector<uint8_t> frame(l.frameBytes());
        renderer.render(l, frame.data());
        const std::vector<uint8_t>& clean = renderer.cleanFrame(l);
        require(clean.size() == frame.size());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir root;
    static quint64 count = 0;
    const QString home = QDir::currentPath(); // the fuzzer's own paths are relative to it
    QDir::setCurrent(root.path());
    {
        QFile f{QString::fromLatin1(kHeadFileName)};
        require(f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                f.write(reinterpret_cast<const char*>(data), qint64(size)) == qint64(size));
        // The settings layer keeps parsed files until their time or size changes: every
        // input gets a time of its own.
        require(f.setFileTime(QDateTime::fromSecsSinceEpoch(1000000000 + qint64(++count)),
                              QFileDevice::FileModificationTime));
    }
    SimulatedTransport transport;
    const sdk::DeviceInfoList heads = transport.enumerate();
    require(heads.size() <= size_t(kMaxHeads));
    QSettings file(QString::fromLatin1(kHeadFileName), QSettings::IniFormat);
    for (const sdk::DeviceInfo& info : heads) {
        require(transport.createDevice(info) != nullptr);
        const HeadConfig h = HeadConfig::fromSettings(file, QString::fromStdString(info.deviceId));
        checkHead(h);
        render(h, count % 64 == 0);
    }
    QDir::setCurrent(home);
    return 0;
}
