#pragma once
// Our camera-SDK interface: the calls the camera object makes on a camera, modelled on
// what an industrial GenICam SDK offers. Transports (the simulated sensor head, Aravis
// for real cameras) implement Transport/Device/NodeMap and register with the factory.
//
// Errors are SdkError exceptions. Unless said otherwise every call may throw.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace sdk {

class SdkError : public std::runtime_error {
public:
    enum class Kind {
        Generic,
        Timeout,      // retrieveResult waited longer than its time-out
        NotAvailable, // the node does not exist on this camera
        AccessDenied, // the node exists but cannot be read or written now
        InvalidValue, // a value or symbol the node refuses
        DeviceLost,   // the device is gone (unplugged, network lost)
    };
    explicit SdkError(Kind kind, const std::string& what)
        : std::runtime_error(what), m_kind(kind) {}
    explicit SdkError(const std::string& what) : SdkError(Kind::Generic, what) {}
    Kind kind() const { return m_kind; }

private:
    Kind m_kind;
};

class Transport;

// Transports register themselves: each offers a maker under its name (a second
// registration of a name replaces the maker, keeping its place). This layer knows none of
// them; whoever builds them in calls their registration before initialize().
using TransportMaker = std::shared_ptr<Transport> (*)();
void registerTransportMaker(const std::string& name, TransportMaker make);
std::vector<std::string> registeredTransports(); // names, in registration order

// Start-up and shut-down of the SDK. The first initialize() makes one transport with each
// registered maker, in registration order; a maker that throws leaves its transport out.
// initialize() throws SdkError when no transport can be brought up at all.
void initialize();
void terminate(bool shutDownLogging = true);
bool isInitialized();

struct DeviceInfo {
    std::string serialNumber; // as the device reports it; the program reads it as decimal
    std::string friendlyName; // shown in the camera list
    std::string vendorName;
    std::string modelName;
    std::string transport; // name of the transport that found it ("simulated", "aravis")
    std::string deviceId;  // transport-specific identity used by createDevice
};
using DeviceInfoList = std::vector<DeviceInfo>;

// Value correction of the try-set calls. Nearest brings an out-of-range value to the
// nearest valid one: integers clamped into [min, max] and onto the increment grid from
// min, floats clipped to [min, max].
enum class Correction { None = 0, Nearest = 3 };

// Typed access to the camera's features by GenICam node name. Getters throw SdkError
// (NotAvailable/AccessDenied) for an absent or unreadable node. The try-set calls never
// throw for an absent, read-only or refused node: they return false and change nothing.
class NodeMap {
public:
    virtual ~NodeMap() = default;

    virtual bool hasNode(const std::string& name) const = 0;

    virtual int64_t integerValue(const std::string& name) = 0;
    virtual int64_t integerMin(const std::string& name) = 0;
    virtual int64_t integerMax(const std::string& name) = 0;
    virtual int64_t integerIncrement(const std::string& name) = 0;
    virtual bool trySetInteger(const std::string& name, int64_t value, Correction c) = 0;

    virtual double floatValue(const std::string& name) = 0;
    virtual double floatMin(const std::string& name) = 0;
    virtual double floatMax(const std::string& name) = 0;
    virtual bool trySetFloat(const std::string& name, double value, Correction c) = 0;

    virtual std::string enumSymbol(const std::string& name) = 0;
    virtual std::vector<std::string> enumSymbols(const std::string& name) = 0;
    // Throws SdkError for an absent node or a symbol the node does not offer.
    virtual void setEnumSymbol(const std::string& name, const std::string& symbol) = 0;
    virtual bool trySetEnumSymbol(const std::string& name, const std::string& symbol) = 0;
};

enum class PixelType { Undefined, Mono8, RGB8, BGR8, BayerRG8, BayerGR8, BayerBG8, BayerGB8 };
int bitDepth(PixelType type); // bits per pixel: 8 for Mono8/Bayer, 24 for RGB8/BGR8, 0 undefined
std::string pixelTypeName(PixelType type);
PixelType pixelTypeFromName(const std::string& symbol);
bool isBayer(PixelType type);
// Colour filter over pixel (x, y) of a Bayer frame (its top-left pixel is (0, 0)):
// 0 red, 1 green, 2 blue; -1 for a type that is no Bayer pattern.
int bayerChannel(PixelType type, int x, int y);

// One retrieved image. The buffer stays valid as long as the result is held (holder
// keeps whatever owns the memory alive: a vector, or a transport buffer that goes back
// to its stream when released).
struct GrabResult {
    bool valid = false;
    bool succeeded = false;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t paddingX = 0; // bytes of padding at the end of each line
    PixelType pixelType = PixelType::Undefined;
    const uint8_t* buffer = nullptr;
    size_t bufferSize = 0;
    std::string errorDescription;
    std::shared_ptr<const void> holder;
    // When the frame was taken, in nanoseconds of a clock the transport keeps steady within
    // one stream (0: unknown). Frame rates are measured from it, not from when the
    // consumer happened to pick the result up.
    int64_t timestampNs = 0;

    bool isValid() const { return valid; }
    bool grabSucceeded() const { return valid && succeeded; }
};
using GrabResultPtr = std::shared_ptr<const GrabResult>;

// A camera device, as an instant camera of the SDK sees it. Thread safety: isOpen,
// isGrabbing, isLost, stopGrabbing and abandon may be called from another thread while one
// thread is inside retrieveResult; stopGrabbing and abandon wake that call, which then
// returns an invalid result (or throws). Everything else is called from one thread at a
// time.
class Device {
public:
    virtual ~Device() = default;

    virtual DeviceInfo deviceInfo() const = 0;
    virtual void open() = 0;
    virtual void close() = 0;
    // False once the device is lost, even before close().
    virtual bool isOpen() const = 0;
    // The device is gone: the transport found it removed, or abandon() was called.
    virtual bool isLost() const = 0;
    // The caller knows the device is gone (it stopped answering). From now on no call
    // waits on it: node access, starting and retrieving throw SdkError(DeviceLost), and
    // stopGrabbing, close and the destructor only release what this side holds, without
    // a word to the device. Idempotent.
    virtual void abandon() = 0;
    virtual NodeMap& nodeMap() = 0; // throws SdkError when the device is not open

    // One-by-one strategy, the caller retrieves the images. maxImages 0 = continuous;
    // otherwise grabbing ends by itself after that many retrieved results.
    virtual void startGrabbing(size_t maxImages = 0) = 0;
    virtual void stopGrabbing() = 0;
    virtual bool isGrabbing() const = 0;
    // Waits up to timeoutMs for the next result; throws SdkError(Timeout) when none came.
    virtual GrabResultPtr retrieveResult(int timeoutMs) = 0;
};

class Transport {
public:
    virtual ~Transport() = default;
    virtual std::string name() const = 0;
    virtual DeviceInfoList enumerate() = 0;
    virtual std::unique_ptr<Device> createDevice(const DeviceInfo& info) = 0;
};

// The one transport-layer factory. Enumeration lists the devices of all transports, in
// registration order.
class TlFactory {
public:
    static TlFactory& instance();

    void registerTransport(std::shared_ptr<Transport> transport);
    void unregisterAll();
    std::vector<std::shared_ptr<Transport>> transports() const;

    // Fills list (appends when addToList, else replaces) and returns the device count.
    int enumerateDevices(DeviceInfoList& list, bool addToList = false);
    // Throws SdkError when no transport knows the device.
    std::unique_ptr<Device> createDevice(const DeviceInfo& info);

private:
    TlFactory() = default;
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Transport>> m_transports;
};

} // namespace sdk
