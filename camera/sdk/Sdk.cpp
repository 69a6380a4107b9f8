#include "Sdk.h"

#include <QDebug>

namespace sdk {

namespace {
std::mutex g_initMutex;
int g_initCount = 0; // initialise/terminate pair up like a reference count

struct Maker {
    std::string name;
    TransportMaker make;
};
std::mutex g_makerMutex;
std::vector<Maker>& makers() {
    static std::vector<Maker> list;
    return list;
}
} // namespace

void registerTransportMaker(const std::string& name, TransportMaker make) {
    if (!make)
        return;
    std::lock_guard<std::mutex> lock(g_makerMutex);
    for (Maker& m : makers())
        if (m.name == name) {
            m.make = make;
            return;
        }
    makers().push_back({name, make});
}

std::vector<std::string> registeredTransports() {
    std::lock_guard<std::mutex> lock(g_makerMutex);
    std::vector<std::string> names;
    for (const Maker& m : makers())
        names.push_back(m.name);
    return names;
}

void initialize() {
    std::lock_guard<std::mutex> lock(g_initMutex);
    if (g_initCount++ > 0)
        return;
    std::vector<Maker> list;
    {
        std::lock_guard<std::mutex> makerLock(g_makerMutex);
        list = makers();
    }
    TlFactory& factory = TlFactory::instance();
    factory.unregisterAll();
    for (const Maker& m : list) {
        try {
            factory.registerTransport(m.make());
        } catch (const std::exception& e) {
            qDebug() << "Camera transport" << m.name.c_str() << "not available:" << e.what();
        }
    }
    if (factory.transports().empty()) {
        g_initCount = 0;
        throw SdkError("No camera transport available");
    }
}

void terminate(bool /*shutDownLogging*/) {
    std::lock_guard<std::mutex> lock(g_initMutex);
    if (g_initCount == 0)
        return;
    if (--g_initCount == 0)
        TlFactory::instance().unregisterAll();
}

bool isInitialized() {
    std::lock_guard<std::mutex> lock(g_initMutex);
    return g_initCount > 0;
}

int bitDepth(PixelType type) {
    switch (type) {
    case PixelType::Mono8:
    case PixelType::BayerRG8:
    case PixelType::BayerGR8:
    case PixelType::BayerBG8:
    case PixelType::BayerGB8:
        return 8;
    case PixelType::RGB8:
    case PixelType::BGR8:
        return 24;
    case PixelType::Undefined:
        break;
    }
    return 0;
}

std::string pixelTypeName(PixelType type) {
    switch (type) {
    case PixelType::Mono8:
        return "Mono8";
    case PixelType::RGB8:
        return "RGB8";
    case PixelType::BGR8:
        return "BGR8";
    case PixelType::BayerRG8:
        return "BayerRG8";
    case PixelType::BayerGR8:
        return "BayerGR8";
    case PixelType::BayerBG8:
        return "BayerBG8";
    case PixelType::BayerGB8:
        return "BayerGB8";
    case PixelType::Undefined:
        break;
    }
    return "Undefined";
}

PixelType pixelTypeFromName(const std::string& symbol) {
    static const PixelType all[] = {PixelType::Mono8,    PixelType::RGB8,     PixelType::BGR8,
                                    PixelType::BayerRG8, PixelType::BayerGR8, PixelType::BayerBG8,
                                    PixelType::BayerGB8};
    for (PixelType t : all)
        if (pixelTypeName(t) == symbol)
            return t;
    // Some cameras name the packed RGB format differently.
    if (symbol == "RGB8Packed")
        return PixelType::RGB8;
    if (symbol == "BGR8Packed")
        return PixelType::BGR8;
    return PixelType::Undefined;
}

bool isBayer(PixelType type) {
    return bayerChannel(type, 0, 0) >= 0;
}

int bayerChannel(PixelType type, int x, int y) {
    // The name lists the first two pixels of the first line; the second line holds the
    // other two colours of each 2 x 2 cell.
    static const int cells[4][2][2] = {
        {{0, 1}, {1, 2}}, // RG / GB
        {{1, 0}, {2, 1}}, // GR / BG
        {{2, 1}, {1, 0}}, // BG / GR
        {{1, 2}, {0, 1}}, // GB / RG
    };
    int pattern = 0;
    switch (type) {
    case PixelType::BayerRG8:
        pattern = 0;
        break;
    case PixelType::BayerGR8:
        pattern = 1;
        break;
    case PixelType::BayerBG8:
        pattern = 2;
        break;
    case PixelType::BayerGB8:
        pattern = 3;
        break;
    default:
        return -1;
    }
    return cells[pattern][y & 1][x & 1];
}

TlFactory& TlFactory::instance() {
    static TlFactory factory;
    return factory;
}

void TlFactory::registerTransport(std::shared_ptr<Transport> transport) {
    if (!transport)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transports.push_back(std::move(transport));
}

void TlFactory::unregisterAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_transports.clear();
}

std::vector<std::shared_ptr<Transport>> TlFactory::transports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transports;
}

int TlFactory::enumerateDevices(DeviceInfoList& list, bool addToList) {
    if (!addToList)
        list.clear();
    int found = 0;
    for (const auto& transport : transports()) {
        DeviceInfoList devices = transport->enumerate();
        for (DeviceInfo& info : devices) {
            if (info.transport.empty())
                info.transport = transport->name();
            list.push_back(std::move(info));
            ++found;
        }
    }
    return found;
}

std::unique_ptr<Device> TlFactory::createDevice(const DeviceInfo& info) {
    for (const auto& transport : transports()) {
        if (!info.transport.empty() && transport->name() != info.transport)
            continue;
        if (auto device = transport->createDevice(info))
            return device;
    }
    throw SdkError(SdkError::Kind::NotAvailable,
                   "No transport knows the device '" + info.deviceId + "'");
}

} // namespace sdk
