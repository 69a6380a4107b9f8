#include "SimulatedTransport.h"

#include "Paths.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSettings>

#include "Log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <map>

namespace lumetra::sim {

using sdk::SdkError;
using Kind = sdk::SdkError::Kind;
using Clock = std::chrono::steady_clock;

namespace {

struct Node {
    enum Type { Int, Float, Enum } type = Int;
    int64_t i = 0, imin = 0, imax = 0, iinc = 1;
    double f = 0.0, fmin = 0.0, fmax = 0.0;
    std::vector<std::string> symbols;
    std::string symbol;
    bool readOnly = false;
    bool lockedWhileGrabbing = false; // GenICam cameras refuse these while streaming
};

Node intNode(int64_t v, int64_t mn, int64_t mx, int64_t inc, bool locked = false) {
    Node n;
    n.type = Node::Int;
    n.i = v, n.imin = mn, n.imax = mx, n.iinc = inc;
    n.lockedWhileGrabbing = locked;
    return n;
}

Node floatNode(double v, double mn, double mx) {
    Node n;
    n.type = Node::Float;
    n.f = v, n.fmin = mn, n.fmax = mx;
    return n;
}

Node enumNode(std::vector<std::string> symbols, const std::string& current, bool locked = false) {
    Node n;
    n.type = Node::Enum;
    n.symbols = std::move(symbols);
    n.symbol = current;
    n.lockedWhileGrabbing = locked;
    return n;
}

// Largest value on the grid min + k * inc that does not exceed limit.
int64_t gridFloor(int64_t limit, int64_t mn, int64_t inc) {
    if (limit < mn)
        return mn;
    return mn + (limit - mn) / inc * inc;
}

class SimulatedDevice;

class SimulatedNodeMap : public sdk::NodeMap {
public:
    explicit SimulatedNodeMap(SimulatedDevice& device) : m_device(device) {}

    bool hasNode(const std::string& name) const override;
    int64_t integerValue(const std::string& name) override;
    int64_t integerMin(const std::string& name) override;
    int64_t integerMax(const std::string& name) override;
    int64_t integerIncrement(const std::string& name) override;
    bool trySetInteger(const std::string& name, int64_t value, sdk::Correction c) override;
    double floatValue(const std::string& name) override;
    double floatMin(const std::string& name) override;
    double floatMax(const std::string& name) override;
    bool trySetFloat(const std::string& name, double value, sdk::Correction c) override;
    std::string enumSymbol(const std::string& name) override;
    std::vector<std::string> enumSymbols(const std::string& name) override;
    void setEnumSymbol(const std::string& name, const std::string& symbol) override;
    bool trySetEnumSymbol(const std::string& name, const std::string& symbol) override;

private:
    SimulatedDevice& m_device;
};

class SimulatedDevice : public sdk::Device {
public:
    SimulatedDevice(const HeadConfig& head, std::shared_ptr<UnplugRegistry> registry,
                    std::string unplugKey)
        : m_head(head), m_registry(std::move(registry)), m_unplugKey(std::move(unplugKey)),
          m_nodeMap(*this) {
        const int64_t sw = head.sensorWidth, sh = head.sensorHeight;
        const int64_t w = gridFloor(sw, 16, 4), h = gridFloor(sh, 16, 2);
        m_nodes["Width"] = intNode(w, 16, w, 4, true);
        m_nodes["Height"] = intNode(h, 16, h, 2, true);
        m_nodes["OffsetX"] = intNode(0, 0, 0, 4);
        m_nodes["OffsetY"] = intNode(0, 0, 0, 2);
        Node sensorW = intNode(sw, sw, sw, 1);
        sensorW.readOnly = true;
        m_nodes["SensorWidth"] = sensorW;
        Node sensorH = intNode(sh, sh, sh, 1);
        sensorH.readOnly = true;
        m_nodes["SensorHeight"] = sensorH;
        m_nodes["ExposureTime"] = floatNode(10000.0, 20.0, 1000000.0);
        m_nodes["Gain"] = floatNode(0.0, 0.0, 24.0);
        m_nodes["ExposureAuto"] = enumNode({"Off", "Once", "Continuous"}, "Off");
        m_nodes["GainAuto"] = enumNode({"Off", "Once", "Continuous"}, "Off");
        m_nodes["BalanceWhiteAuto"] = enumNode({"Off", "Once", "Continuous"}, "Continuous");
        m_nodes["BslColorSpace"] = enumNode({"Off", "sRgb"}, "sRgb");
        m_nodes["BslLightSourcePreset"] =
            enumNode({"Off", "Daylight5000K", "Daylight6500K", "Tungsten2800K"}, "Daylight5000K");
        m_nodes["BslHue"] = floatNode(0.0, -24.0, 24.0);
        m_nodes["BslSaturation"] = floatNode(1.0, 0.0, 1.99);
        m_nodes["BslBrightness"] = floatNode(0.0, -1.0, 1.0);
        m_nodes["DeviceTemperatureSelector"] =
            enumNode({"Sensor", "Coreboard", "FpgaCore"}, "Coreboard");
        Node temperature = floatNode(head.temperature, -40.0, 150.0);
        temperature.readOnly = true;
        m_nodes["DeviceTemperature"] = temperature;
        // Colour first, as cameras start; under whatever name the head gives it.
        std::string first = head.pixelFormats.front();
        for (const std::string& f : head.pixelFormats)
            if (sdk::pixelTypeFromName(f) == sdk::PixelType::RGB8) {
                first = f;
                break;
            }
        m_nodes["PixelFormat"] = enumNode(head.pixelFormats, first, true);
        // The rate the current exposure, window, format and link allow.
        Node rate = floatNode(0.0, 0.0, 1e9);
        rate.readOnly = true;
        m_nodes["ResultingFrameRate"] = rate;
    }

    ~SimulatedDevice() override { close(); }

    sdk::DeviceInfo deviceInfo() const override { return deviceInfoFor(m_head); }

    void open() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            throwIfLost();
            if (m_open)
                return;
            m_open = true;
            m_openedAt = Clock::now();
        }
        for (const std::string& refused : m_head.refused)
            writeLog(QStringLiteral("Simulated head [") + QString::fromStdString(m_head.group) +
                     QStringLiteral("]: ") + QString::fromStdString(refused));
    }

    void close() override {
        stopGrabbing();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = false;
    }

    bool isOpen() const override { return m_open.load() && !m_lost.load(); }
    bool isLost() const override { return m_lost.load(); }

    // The head itself stays plugged: a head that only stopped answering comes back in
    // the list, unlike an unplugged one.
    void abandon() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lost = true;
            m_grabbing = false;
        }
        m_cv.notify_all();
    }

    sdk::NodeMap& nodeMap() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        throwIfLost();
        if (!m_open)
            throw SdkError(Kind::AccessDenied, "The device is not open");
        return m_nodeMap;
    }

    void startGrabbing(size_t maxImages) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        throwIfLost();
        if (!m_open)
            throw SdkError(Kind::AccessDenied, "The device is not open");
        if (m_grabbing)
            throw SdkError(Kind::AccessDenied, "The device is already grabbing");
        m_maxImages = maxImages;
        m_retrievedInGrab = 0;
        m_grabStart = Clock::now();
        m_hasLastFrame = false;
        m_grabbing = true;
    }

    void stopGrabbing() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_grabbing = false;
        }
        m_cv.notify_all();
    }

    bool isGrabbing() const override { return m_grabbing.load() && !m_lost.load(); }

    sdk::GrabResultPtr retrieveResult(int timeoutMs) override;

    // Node access, under the device lock.
    friend class SimulatedNodeMap;

private:
    void throwIfLost() const {
        if (m_lost)
            throw SdkError(Kind::DeviceLost, "The device has been removed");
    }
    // Lock held. Checks the device can serve node access and finds the node.
    Node* findNode(const std::string& name) {
        throwIfLost();
        if (!m_open)
            throw SdkError(Kind::AccessDenied, "The device is not open");
        auto it = m_nodes.find(name);
        return it == m_nodes.end() ? nullptr : &it->second;
    }
    Node& requireNode(const std::string& name, Node::Type type) {
        Node* n = findNode(name);
        if (!n)
            throw SdkError(Kind::NotAvailable, "Node not available: " + name);
        if (n->type != type)
            throw SdkError(Kind::InvalidValue, "Node has another type: " + name);
        return *n;
    }
    // The sensor window limits each other: width + offset never exceed the sensor.
    void intRange(const std::string& name, const Node& n, int64_t& mn, int64_t& mx) const {
        mn = n.imin;
        mx = n.imax;
        auto value = [this](const char* key) { return m_nodes.at(key).i; };
        if (name == "Width")
            mx = gridFloor(m_head.sensorWidth - value("OffsetX"), n.imin, n.iinc);
        else if (name == "Height")
            mx = gridFloor(m_head.sensorHeight - value("OffsetY"), n.imin, n.iinc);
        else if (name == "OffsetX")
            mx = gridFloor(m_head.sensorWidth - value("Width"), 0, n.iinc);
        else if (name == "OffsetY")
            mx = gridFloor(m_head.sensorHeight - value("Height"), 0, n.iinc);
    }
    sdk::PixelType streamType() const {
        return sdk::pixelTypeFromName(m_nodes.at("PixelFormat").symbol);
    }
    // Lock held. Time from one frame to the next: the exposure, the head's rate limit and
    // what the link takes to carry one frame.
    double framePeriodS() const {
        double periodS = m_nodes.at("ExposureTime").f * 1e-6;
        if (m_head.maxFps > 0.0)
            periodS = std::max(periodS, 1.0 / m_head.maxFps);
        if (m_head.linkBandwidth > 0.0) {
            const sdk::PixelType type = streamType();
            const double line = double(m_nodes.at("Width").i) * (sdk::bitDepth(type) / 8) +
                                (type == sdk::PixelType::Mono8 ? m_head.monoPaddingX : 0);
            const double bytes = line * double(m_nodes.at("Height").i);
            periodS = std::max(periodS, bytes / (m_head.linkBandwidth * 1e6));
        }
        return periodS;
    }
    double temperatureNow() const {
        const double minutes =
            std::chrono::duration<double>(Clock::now() - m_openedAt).count() / 60.0;
        return m_head.temperature + m_head.temperatureRise * minutes;
    }
    std::shared_ptr<std::vector<uint8_t>> takeBuffer(size_t bytes) {
        for (auto& b : m_pool)
            if (b.use_count() == 1) {
                b->resize(bytes);
                return b;
            }
        auto fresh = std::make_shared<std::vector<uint8_t>>(bytes);
        if (m_pool.size() < 6)
            m_pool.push_back(fresh);
        return fresh;
    }
    void markLost() {
        m_lost = true;
        m_grabbing = false;
        if (m_registry && !m_unplugKey.empty()) {
            std::lock_guard<std::mutex> lock(m_registry->mutex);
            m_registry->gone.insert(m_unplugKey);
        }
    }

    const HeadConfig m_head;
    std::shared_ptr<UnplugRegistry> m_registry;
    const std::string m_unplugKey;
    SimulatedNodeMap m_nodeMap;
    std::map<std::string, Node> m_nodes;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_grabbing{false};
    std::atomic<bool> m_lost{false};
    Clock::time_point m_openedAt = Clock::now();
    Clock::time_point m_grabStart;
    Clock::time_point m_lastFrame;
    bool m_hasLastFrame = false;
    size_t m_maxImages = 0;
    size_t m_retrievedInGrab = 0;
    uint64_t m_retrievals = 0;
    uint64_t m_results = 0;
    uint64_t m_delivered = 0;

    // Rendering runs outside the device lock so node access never waits for a frame.
    std::mutex m_renderMutex;
    std::unique_ptr<Renderer> m_renderer;
    std::vector<std::shared_ptr<std::vector<uint8_t>>> m_pool;
};

sdk::GrabResultPtr invalidResult() {
    return std::make_shared<sdk::GrabResult>();
}

sdk::GrabResultPtr SimulatedDevice::retrieveResult(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    throwIfLost();
    if (!m_open)
        throw SdkError(Kind::AccessDenied, "The device is not open");
    if (!m_grabbing)
        return invalidResult();
    const auto now = Clock::now();
    const auto deadline = now + std::chrono::milliseconds(std::max(0, timeoutMs));
    auto stopped = [this] { return !m_grabbing.load(); };

    ++m_retrievals;
    if (m_head.timeoutEvery > 0 && m_retrievals % uint64_t(m_head.timeoutEvery) == 0) {
        if (m_cv.wait_until(lock, deadline, stopped))
            return invalidResult();
        throw SdkError(Kind::Timeout, "Grab timed out (simulated)");
    }

    const double exposureUs = m_nodes.at("ExposureTime").f;
    const double periodS = framePeriodS();
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(periodS));
    const auto exposure = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(exposureUs * 1e-6));
    const auto ready = m_hasLastFrame ? m_lastFrame + period : m_grabStart + exposure;
    if (ready > deadline) {
        if (m_cv.wait_until(lock, deadline, stopped))
            return invalidResult();
        throw SdkError(Kind::Timeout, "Grab timed out (simulated)");
    }
    if (m_cv.wait_until(lock, ready, stopped))
        return invalidResult();
    throwIfLost();

    if (m_head.unplugAfter > 0 && m_delivered >= uint64_t(m_head.unplugAfter)) {
        markLost();
        lock.unlock();
        m_cv.notify_all();
        throw SdkError(Kind::DeviceLost, "The device has been removed");
    }
    // The sensor starts its next exposure when this frame is taken, so a consumer never
    // sees frames closer together than the frame period.
    m_lastFrame = Clock::now();
    const int64_t takenNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(m_lastFrame.time_since_epoch())
            .count();
    m_hasLastFrame = true;
    ++m_results;
    if (m_maxImages > 0 && ++m_retrievedInGrab >= m_maxImages)
        m_grabbing = false;

    auto result = std::make_shared<sdk::GrabResult>();
    result->valid = true;
    result->timestampNs = takenNs;
    if (m_head.failEvery > 0 && m_results % uint64_t(m_head.failEvery) == 0) {
        result->succeeded = false;
        result->errorDescription = "Frame incomplete (simulated transfer error)";
        return result;
    }

    FrameLayout layout;
    layout.offsetX = int(m_nodes.at("OffsetX").i);
    layout.offsetY = int(m_nodes.at("OffsetY").i);
    layout.width = int(m_nodes.at("Width").i);
    layout.height = int(m_nodes.at("Height").i);
    // The frame says what it holds; the node's name for it may be another.
    const sdk::PixelType type = streamType();
    layout.mono = type == sdk::PixelType::Mono8;
    layout.bayer = sdk::isBayer(type) ? type : sdk::PixelType::Undefined;
    layout.paddingX = layout.mono ? m_head.monoPaddingX : 0;
    layout.exposureUs = exposureUs;
    // A drifting or rippling head renders every frame anew at the time it is taken.
    if (m_head.changesOverTime())
        layout.seconds = std::chrono::duration<double>(m_lastFrame - m_openedAt).count();
    ++m_delivered;
    lock.unlock();

    std::lock_guard<std::mutex> renderLock(m_renderMutex);
    if (!m_renderer)
        m_renderer = std::make_unique<Renderer>(m_head, std::random_device{}());
    auto buffer = takeBuffer(layout.frameBytes());
    m_renderer->render(layout, buffer->data());
    result->succeeded = true;
    result->width = uint32_t(layout.width);
    result->height = uint32_t(layout.height);
    result->paddingX = uint32_t(layout.paddingX);
    result->pixelType = type;
    result->buffer = buffer->data();
    result->bufferSize = layout.frameBytes();
    result->holder = buffer;
    return result;
}

// Node map: every call takes the device lock, so the GUI thread may change the exposure
// while another thread retrieves.

bool SimulatedNodeMap::hasNode(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    return m_device.m_nodes.count(name) > 0;
}

int64_t SimulatedNodeMap::integerValue(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    return m_device.requireNode(name, Node::Int).i;
}

int64_t SimulatedNodeMap::integerMin(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    const Node& n = m_device.requireNode(name, Node::Int);
    int64_t mn, mx;
    m_device.intRange(name, n, mn, mx);
    return mn;
}

int64_t SimulatedNodeMap::integerMax(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    const Node& n = m_device.requireNode(name, Node::Int);
    int64_t mn, mx;
    m_device.intRange(name, n, mn, mx);
    return mx;
}

int64_t SimulatedNodeMap::integerIncrement(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    return m_device.requireNode(name, Node::Int).iinc;
}

bool SimulatedNodeMap::trySetInteger(const std::string& name, int64_t value, sdk::Correction c) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    Node* n = m_device.findNode(name);
    if (!n || n->type != Node::Int || n->readOnly ||
        (n->lockedWhileGrabbing && m_device.m_grabbing))
        return false;
    int64_t mn, mx;
    m_device.intRange(name, *n, mn, mx);
    const bool onGrid = (value - mn) % n->iinc == 0;
    if (c == sdk::Correction::None) {
        if (value < mn || value > mx || !onGrid)
            return false;
    } else {
        value = std::clamp(value, mn, mx);
        const int64_t steps = (value - mn + n->iinc / 2) / n->iinc;
        value = mn + steps * n->iinc;
        if (value > mx)
            value -= n->iinc;
    }
    n->i = value;
    return true;
}

double SimulatedNodeMap::floatValue(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    const Node& n = m_device.requireNode(name, Node::Float);
    if (name == "DeviceTemperature")
        return m_device.temperatureNow();
    if (name == "ResultingFrameRate")
        return 1.0 / std::max(m_device.framePeriodS(), 1e-9);
    return n.f;
}

double SimulatedNodeMap::floatMin(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    return m_device.requireNode(name, Node::Float).fmin;
}

double SimulatedNodeMap::floatMax(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    return m_device.requireNode(name, Node::Float).fmax;
}

bool SimulatedNodeMap::trySetFloat(const std::string& name, double value, sdk::Correction c) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    Node* n = m_device.findNode(name);
    if (!n || n->type != Node::Float || n->readOnly ||
        (n->lockedWhileGrabbing && m_device.m_grabbing) || std::isnan(value))
        return false;
    if (c == sdk::Correction::None) {
        if (value < n->fmin || value > n->fmax)
            return false;
    } else {
        value = std::clamp(value, n->fmin, n->fmax);
    }
    n->f = value;
    return true;
}

std::string SimulatedNodeMap::enumSymbol(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    return m_device.requireNode(name, Node::Enum).symbol;
}

std::vector<std::string> SimulatedNodeMap::enumSymbols(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    return m_device.requireNode(name, Node::Enum).symbols;
}

void SimulatedNodeMap::setEnumSymbol(const std::string& name, const std::string& symbol) {
    std::lock_guard<std::mutex> lock(m_device.m_mutex);
    Node& n = m_device.requireNode(name, Node::Enum);
    if (n.readOnly || (n.lockedWhileGrabbing && m_device.m_grabbing))
        throw SdkError(Kind::AccessDenied, "Node not writable now: " + name);
    if (std::find(n.symbols.begin(), n.symbols.end(), symbol) == n.symbols.end())
        throw SdkError(Kind::InvalidValue, "Symbol '" + symbol + "' not offered by " + name);
    n.symbol = symbol;
}

bool SimulatedNodeMap::trySetEnumSymbol(const std::string& name, const std::string& symbol) {
    try {
        setEnumSymbol(name, symbol);
        return true;
    } catch (const SdkError& e) {
        if (e.kind() == Kind::DeviceLost)
            throw;
        return false;
    }
}

QString headFilePath() {
    return lumetra::paths::simulatedHeadFile();
}

std::string unplugKeyFor(const QString& group) {
    const QFileInfo fi(headFilePath());
    return (fi.absoluteFilePath() + QLatin1Char('|') + group + QLatin1Char('|') +
            QString::number(fi.lastModified().toMSecsSinceEpoch()))
        .toStdString();
}

} // namespace

sdk::DeviceInfo deviceInfoFor(const HeadConfig& head) {
    sdk::DeviceInfo info;
    info.serialNumber = head.serial;
    info.friendlyName = head.name + " (" + head.serial + ")";
    info.vendorName = "Lumetra";
    info.modelName = head.name;
    info.transport = "simulated";
    info.deviceId = head.group;
    return info;
}

std::unique_ptr<sdk::Device> createSimulatedDevice(const HeadConfig& head,
                                                   std::shared_ptr<UnplugRegistry> registry,
                                                   const std::string& unplugKey) {
    return std::make_unique<SimulatedDevice>(head, std::move(registry), unplugKey);
}

SimulatedTransport::SimulatedTransport() : m_unplugged(std::make_shared<UnplugRegistry>()) {}

bool SimulatedTransport::usableFile(const QString& path) {
    const QFileInfo fi(path);
    if (!fi.exists())
        return false;
    QString problem;
    // Only a regular file: a pipe or a device would keep the reader waiting.
    if (!fi.isFile())
        problem = QStringLiteral(" is not a regular file: no simulated head");
    else if (fi.size() > kMaxHeadFileBytes)
        problem = QStringLiteral(" is larger than %1 MB (%2 bytes): no simulated head")
                      .arg(kMaxHeadFileBytes / (1024 * 1024))
                      .arg(fi.size());
    if (problem.isEmpty())
        return true;
    // Said once per state of the file, not at every refresh of the list.
    const std::string state =
        (fi.absoluteFilePath() + QLatin1Char('|') + QString::number(fi.size()) + QLatin1Char('|') +
         QString::number(fi.lastModified().toMSecsSinceEpoch()))
            .toStdString();
    std::lock_guard<std::mutex> lock(m_unplugged->mutex);
    if (m_reported != state) {
        m_reported = state;
        writeLog(QLatin1String(kHeadFileName) + problem);
    }
    return false;
}

sdk::DeviceInfoList SimulatedTransport::enumerate() {
    sdk::DeviceInfoList list;
    const QString path = headFilePath();
    if (!usableFile(path))
        return list;
    QSettings settings(path, QSettings::IniFormat);
    const QStringList groups = settings.childGroups();
    for (const QString& group : groups.mid(0, kMaxHeads)) {
        {
            std::lock_guard<std::mutex> lock(m_unplugged->mutex);
            if (m_unplugged->gone.count(unplugKeyFor(group)))
                continue;
        }
        list.push_back(deviceInfoFor(HeadConfig::fromSettings(settings, group)));
    }
    return list;
}

std::unique_ptr<sdk::Device> SimulatedTransport::createDevice(const sdk::DeviceInfo& info) {
    const QString path = headFilePath();
    if (!usableFile(path))
        return nullptr;
    QSettings settings(path, QSettings::IniFormat);
    const QString group = QString::fromStdString(info.deviceId);
    if (!settings.childGroups().mid(0, kMaxHeads).contains(group))
        return nullptr;
    return createSimulatedDevice(HeadConfig::fromSettings(settings, group), m_unplugged,
                                 unplugKeyFor(group));
}

void registerTransport() {
    // Always offered: whether it shows devices depends on the head file at enumeration.
    sdk::registerTransportMaker("simulated", []() -> std::shared_ptr<sdk::Transport> {
        return std::make_shared<SimulatedTransport>();
    });
}

} // namespace lumetra::sim
