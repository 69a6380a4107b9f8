#include "AravisTransport.h"

#include <arv.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

namespace lumetra::aravis {

using sdk::SdkError;
using Kind = sdk::SdkError::Kind;

namespace {

// Aravis keeps one process-wide device list; updating it and opening a device by id
// (which may look the id up in that list) are serialised here.
std::mutex& systemMutex() {
    static std::mutex m;
    return m;
}

Kind kindOf(const GError* err) {
    if (!err)
        return Kind::Generic;
    if (err->domain == arv_device_error_quark()) {
        switch (err->code) {
        case ARV_DEVICE_ERROR_FEATURE_NOT_FOUND:
            return Kind::NotAvailable;
        case ARV_DEVICE_ERROR_NOT_CONNECTED:
        case ARV_DEVICE_ERROR_TIMEOUT:
        case ARV_DEVICE_ERROR_NOT_FOUND:
        case ARV_DEVICE_ERROR_TRANSFER_ERROR:
            return Kind::DeviceLost;
        case ARV_DEVICE_ERROR_NOT_CONTROLLER:
        case ARV_DEVICE_ERROR_PROTOCOL_ERROR_WRITE_PROTECT:
        case ARV_DEVICE_ERROR_PROTOCOL_ERROR_ACCESS_DENIED:
        case ARV_DEVICE_ERROR_PROTOCOL_ERROR_BUSY:
            return Kind::AccessDenied;
        default:
            return Kind::Generic;
        }
    }
    if (err->domain == arv_gc_error_quark()) {
        switch (err->code) {
        case ARV_GC_ERROR_NODE_NOT_FOUND:
            return Kind::NotAvailable;
        case ARV_GC_ERROR_OUT_OF_RANGE:
        case ARV_GC_ERROR_ENUM_ENTRY_NOT_FOUND:
            return Kind::InvalidValue;
        case ARV_GC_ERROR_READ_ONLY:
            return Kind::AccessDenied;
        default:
            return Kind::Generic;
        }
    }
    return Kind::Generic;
}

// Takes ownership of err (may be null) and throws when it is set.
void throwIfError(GError* err, const std::string& context) {
    if (!err)
        return;
    const Kind kind = kindOf(err);
    const std::string text = context + ": " + (err->message ? err->message : "error");
    g_error_free(err);
    throw SdkError(kind, text);
}

std::string orEmpty(const char* s) {
    return s ? std::string(s) : std::string();
}

sdk::PixelType pixelTypeOf(ArvPixelFormat format) {
    switch (format) {
    case ARV_PIXEL_FORMAT_MONO_8:
        return sdk::PixelType::Mono8;
    case ARV_PIXEL_FORMAT_RGB_8_PACKED:
        return sdk::PixelType::RGB8;
    case ARV_PIXEL_FORMAT_BGR_8_PACKED:
        return sdk::PixelType::BGR8;
    case ARV_PIXEL_FORMAT_BAYER_RG_8:
        return sdk::PixelType::BayerRG8;
    case ARV_PIXEL_FORMAT_BAYER_GR_8:
        return sdk::PixelType::BayerGR8;
    case ARV_PIXEL_FORMAT_BAYER_BG_8:
        return sdk::PixelType::BayerBG8;
    case ARV_PIXEL_FORMAT_BAYER_GB_8:
        return sdk::PixelType::BayerGB8;
    default:
        return sdk::PixelType::Undefined;
    }
}

size_t bytesPerPixel(sdk::PixelType type) {
    switch (type) {
    case sdk::PixelType::RGB8:
    case sdk::PixelType::BGR8:
        return 3;
    case sdk::PixelType::Undefined:
        return 0;
    default:
        return 1;
    }
}

// ---------------------------------------------------------------------------------------
// Node map

// Every call takes the device's control lock: the GenICam node tree of Aravis is not
// thread-safe, and the device itself ends a counted acquisition from the retrieving thread.
class AravisNodeMap : public sdk::NodeMap {
public:
    AravisNodeMap(ArvDevice* device, std::recursive_mutex& control)
        : m_device(device), m_control(control) {}

    bool hasNode(const std::string& name) const override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        return find(name) != nullptr;
    }

    int64_t integerValue(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        ArvGcNode* node = readable(name);
        GError* err = nullptr;
        int64_t v = 0;
        if (ARV_IS_GC_INTEGER(node))
            v = arv_gc_integer_get_value(ARV_GC_INTEGER(node), &err);
        else if (ARV_IS_GC_FLOAT(node))
            v = std::llround(arv_gc_float_get_value(ARV_GC_FLOAT(node), &err));
        else
            throw SdkError(Kind::InvalidValue, name + " is not a number node");
        throwIfError(err, name);
        return v;
    }
    int64_t integerMin(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        return intBound(name, Bound::Min);
    }
    int64_t integerMax(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        return intBound(name, Bound::Max);
    }
    int64_t integerIncrement(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        return intBound(name, Bound::Inc);
    }

    bool trySetInteger(const std::string& name, int64_t value, sdk::Correction c) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        ArvGcNode* node = writable(name);
        if (!node || !ARV_IS_GC_INTEGER(node)) {
            if (node && ARV_IS_GC_FLOAT(node))
                return trySetFloat(name, static_cast<double>(value), c);
            return false;
        }
        ArvGcInteger* n = ARV_GC_INTEGER(node);
        GError* err = nullptr;
        const int64_t lo = arv_gc_integer_get_min(n, &err);
        const int64_t hi = err ? 0 : arv_gc_integer_get_max(n, &err);
        int64_t inc = err ? 1 : arv_gc_integer_get_inc(n, &err);
        if (err) {
            g_error_free(err);
            return false;
        }
        if (inc < 1)
            inc = 1;
        if (lo > hi)
            return false;
        int64_t target = value;
        if (c == sdk::Correction::Nearest)
            target = nearestInteger(value, lo, hi, inc);
        else if (value < lo || value > hi || (value - lo) % inc != 0)
            return false;
        arv_gc_integer_set_value(n, target, &err);
        if (err) {
            g_error_free(err);
            return false;
        }
        return true;
    }

    double floatValue(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        ArvGcNode* node = readable(name);
        GError* err = nullptr;
        double v = 0.0;
        if (ARV_IS_GC_FLOAT(node))
            v = arv_gc_float_get_value(ARV_GC_FLOAT(node), &err);
        else if (ARV_IS_GC_INTEGER(node)) // e.g. GainRaw where others have Gain
            v = static_cast<double>(arv_gc_integer_get_value(ARV_GC_INTEGER(node), &err));
        else
            throw SdkError(Kind::InvalidValue, name + " is not a number node");
        throwIfError(err, name);
        return v;
    }
    double floatMin(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        return floatBound(name, true);
    }
    double floatMax(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        return floatBound(name, false);
    }

    bool trySetFloat(const std::string& name, double value, sdk::Correction c) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        if (!std::isfinite(value))
            return false;
        ArvGcNode* node = writable(name);
        if (!node)
            return false;
        if (ARV_IS_GC_INTEGER(node) && !ARV_IS_GC_FLOAT(node))
            return trySetInteger(name, std::llround(value), c);
        if (!ARV_IS_GC_FLOAT(node))
            return false;
        ArvGcFloat* n = ARV_GC_FLOAT(node);
        GError* err = nullptr;
        const double lo = arv_gc_float_get_min(n, &err);
        const double hi = err ? 0.0 : arv_gc_float_get_max(n, &err);
        if (err) {
            g_error_free(err);
            return false;
        }
        double target = value;
        if (c == sdk::Correction::Nearest)
            target = std::clamp(value, lo, std::max(lo, hi));
        else if (value < lo || value > hi)
            return false;
        arv_gc_float_set_value(n, target, &err);
        if (err) {
            g_error_free(err);
            return false;
        }
        return true;
    }

    std::string enumSymbol(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        ArvGcEnumeration* e = enumeration(readable(name), name);
        GError* err = nullptr;
        const char* s = arv_gc_enumeration_get_string_value(e, &err);
        throwIfError(err, name);
        return orEmpty(s);
    }

    std::vector<std::string> enumSymbols(const std::string& name) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        ArvGcEnumeration* e = enumeration(readable(name), name);
        return available(e, name);
    }

    void setEnumSymbol(const std::string& name, const std::string& symbol) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        ArvGcNode* node = find(name);
        if (!node)
            throw SdkError(Kind::NotAvailable, "Node not available: " + name);
        if (!isWritable(node))
            throw SdkError(Kind::AccessDenied, "Node not writable: " + name);
        ArvGcEnumeration* e = enumeration(node, name);
        const std::string actual = offeredSymbol(e, name, symbol);
        if (actual.empty())
            throw SdkError(Kind::InvalidValue, name + " does not offer " + symbol);
        GError* err = nullptr;
        arv_gc_enumeration_set_string_value(e, actual.c_str(), &err);
        throwIfError(err, name);
    }

    bool trySetEnumSymbol(const std::string& name, const std::string& symbol) override {
        const std::lock_guard<std::recursive_mutex> control(m_control);
        try {
            setEnumSymbol(name, symbol);
            return true;
        } catch (const SdkError&) {
            return false;
        }
    }

private:
    enum class Bound { Min, Max, Inc };

    // The first candidate name the camera implements and offers right now.
    ArvGcNode* find(const std::string& name) const {
        for (const std::string& candidate : nodeNameCandidates(name)) {
            ArvGcNode* node = arv_device_get_feature(m_device, candidate.c_str());
            if (!node || !ARV_IS_GC_FEATURE_NODE(node))
                continue;
            GError* err = nullptr;
            const gboolean impl =
                arv_gc_feature_node_is_implemented(ARV_GC_FEATURE_NODE(node), &err);
            if (err) {
                g_error_free(err);
                continue;
            }
            const gboolean avail =
                arv_gc_feature_node_is_available(ARV_GC_FEATURE_NODE(node), &err);
            if (err) {
                g_error_free(err);
                continue;
            }
            if (impl && avail)
                return node;
        }
        return nullptr;
    }

    static ArvGcAccessMode accessOf(ArvGcNode* node) {
        return arv_gc_feature_node_get_actual_access_mode(ARV_GC_FEATURE_NODE(node));
    }
    static bool isWritable(ArvGcNode* node) {
        const ArvGcAccessMode m = accessOf(node);
        if (m != ARV_GC_ACCESS_MODE_RW && m != ARV_GC_ACCESS_MODE_WO)
            return false;
        GError* err = nullptr;
        const gboolean locked = arv_gc_feature_node_is_locked(ARV_GC_FEATURE_NODE(node), &err);
        if (err) {
            g_error_free(err);
            return false;
        }
        return !locked;
    }

    ArvGcNode* readable(const std::string& name) const {
        ArvGcNode* node = find(name);
        if (!node)
            throw SdkError(Kind::NotAvailable, "Node not available: " + name);
        if (accessOf(node) == ARV_GC_ACCESS_MODE_WO)
            throw SdkError(Kind::AccessDenied, "Node not readable: " + name);
        return node;
    }

    ArvGcNode* writable(const std::string& name) const {
        ArvGcNode* node = find(name);
        return (node && isWritable(node)) ? node : nullptr;
    }

    static ArvGcEnumeration* enumeration(ArvGcNode* node, const std::string& name) {
        if (!ARV_IS_GC_ENUMERATION(node))
            throw SdkError(Kind::InvalidValue, name + " is not an enumeration node");
        return ARV_GC_ENUMERATION(node);
    }

    static std::vector<std::string> available(ArvGcEnumeration* e, const std::string& name) {
        guint n = 0;
        GError* err = nullptr;
        const char** values = arv_gc_enumeration_dup_available_string_values(e, &n, &err);
        if (err) {
            g_free(values);
            throwIfError(err, name);
        }
        std::vector<std::string> out;
        for (guint i = 0; values && i < n; ++i)
            out.push_back(orEmpty(values[i]));
        g_free(values);
        return out;
    }

    // The symbol as the camera offers it. Some SDKs spell entries with the node name in
    // front ("DeviceTemperatureSelector_FpgaCore" for "FpgaCore"); accept that spelling.
    static std::string offeredSymbol(ArvGcEnumeration* e, const std::string& name,
                                     const std::string& symbol) {
        const std::vector<std::string> offered = available(e, name);
        auto has = [&](const std::string& s) {
            return std::find(offered.begin(), offered.end(), s) != offered.end();
        };
        if (has(symbol))
            return symbol;
        for (const std::string& candidate : nodeNameCandidates(name)) {
            const std::string prefix = candidate + "_";
            if (symbol.size() > prefix.size() && symbol.compare(0, prefix.size(), prefix) == 0 &&
                has(symbol.substr(prefix.size())))
                return symbol.substr(prefix.size());
        }
        return {};
    }

    int64_t intBound(const std::string& name, Bound b) {
        ArvGcNode* node = find(name);
        if (!node)
            throw SdkError(Kind::NotAvailable, "Node not available: " + name);
        GError* err = nullptr;
        int64_t v = 0;
        if (ARV_IS_GC_INTEGER(node)) {
            ArvGcInteger* n = ARV_GC_INTEGER(node);
            v = b == Bound::Min   ? arv_gc_integer_get_min(n, &err)
                : b == Bound::Max ? arv_gc_integer_get_max(n, &err)
                                  : arv_gc_integer_get_inc(n, &err);
        } else if (ARV_IS_GC_FLOAT(node)) {
            ArvGcFloat* n = ARV_GC_FLOAT(node);
            v = b == Bound::Min   ? std::llround(arv_gc_float_get_min(n, &err))
                : b == Bound::Max ? std::llround(arv_gc_float_get_max(n, &err))
                                  : 1;
        } else {
            throw SdkError(Kind::InvalidValue, name + " is not a number node");
        }
        throwIfError(err, name);
        return (b == Bound::Inc && v < 1) ? 1 : v;
    }

    double floatBound(const std::string& name, bool min) {
        ArvGcNode* node = find(name);
        if (!node)
            throw SdkError(Kind::NotAvailable, "Node not available: " + name);
        GError* err = nullptr;
        double v = 0.0;
        if (ARV_IS_GC_FLOAT(node)) {
            ArvGcFloat* n = ARV_GC_FLOAT(node);
            v = min ? arv_gc_float_get_min(n, &err) : arv_gc_float_get_max(n, &err);
        } else if (ARV_IS_GC_INTEGER(node)) {
            ArvGcInteger* n = ARV_GC_INTEGER(node);
            v = static_cast<double>(min ? arv_gc_integer_get_min(n, &err)
                                        : arv_gc_integer_get_max(n, &err));
        } else {
            throw SdkError(Kind::InvalidValue, name + " is not a number node");
        }
        throwIfError(err, name);
        return v;
    }

    ArvDevice* m_device; // owned by the camera, which outlives this map
    std::recursive_mutex& m_control;
};

// ---------------------------------------------------------------------------------------
// Stream handle shared with the grab results: a held buffer goes back to its stream
// when the result is released, or is freed when the stream has been torn down since.

struct StreamHandle {
    std::mutex mutex;
    ArvStream* stream = nullptr;

    void giveBack(ArvBuffer* buffer) {
        std::lock_guard<std::mutex> lock(mutex);
        if (stream)
            arv_stream_push_buffer(stream, buffer); // the stream owns it again
        else
            g_object_unref(buffer);
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        if (stream) {
            g_object_unref(stream); // stops the receiving thread, frees queued buffers
            stream = nullptr;
        }
    }
    // The stream, no longer given buffers back; the caller releases it.
    ArvStream* take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(stream, nullptr);
    }
};

// Releasing a camera or a stream tells the device (stream channel and control registers);
// a gone device answers nothing, and each of those writes waits out its GVCP retries
// (2.5 s). The objects of a lost device are therefore released on a thread of their own,
// so no caller waits for them.
struct PendingReleases {
    std::mutex mutex;
    std::condition_variable done;
    int count = 0;
};

PendingReleases& pendingReleases() {
    static auto* pending = new PendingReleases; // outlives threads still releasing at exit
    return *pending;
}

void releaseInBackground(ArvCamera* camera, ArvStream* stream) {
    if (!camera && !stream)
        return;
    PendingReleases& pending = pendingReleases();
    {
        std::lock_guard<std::mutex> lock(pending.mutex);
        ++pending.count;
    }
    std::thread([camera, stream, &pending] {
        if (stream)
            g_object_unref(stream);
        if (camera)
            g_object_unref(camera);
        std::lock_guard<std::mutex> lock(pending.mutex);
        if (--pending.count == 0)
            pending.done.notify_all();
    }).detach();
}

// ---------------------------------------------------------------------------------------
// Device

class AravisDevice : public sdk::Device {
public:
    explicit AravisDevice(sdk::DeviceInfo info) : m_info(std::move(info)) {}
    ~AravisDevice() override {
        try {
            close();
        } catch (...) {
        }
    }

    sdk::DeviceInfo deviceInfo() const override { return m_info; }

    void open() override {
        if (m_camera)
            return;
        if (!discoveryEnabled())
            throw SdkError(Kind::NotAvailable, "Aravis cameras are disabled");
        GError* err = nullptr;
        ArvCamera* camera = nullptr;
        {
            std::lock_guard<std::mutex> lock(systemMutex());
            camera = arv_camera_new(m_info.deviceId.c_str(), &err);
        }
        if (err || !camera) {
            if (camera)
                g_object_unref(camera);
            if (!err)
                throw SdkError(Kind::DeviceLost, "Cannot open " + m_info.friendlyName);
            throwIfError(err, "Cannot open " + m_info.friendlyName);
        }
        m_camera = camera;
        m_nodes = std::make_unique<AravisNodeMap>(arv_camera_get_device(m_camera), m_control);
        m_open = true;
    }

    void close() override {
        if (!m_camera)
            return;
        if (m_lost) {
            releaseLost();
            return;
        }
        stopGrabbing();
        m_open = false;
        m_nodes.reset();
        g_object_unref(m_camera); // ends the control connection
        m_camera = nullptr;
    }

    bool isOpen() const override { return m_open && !m_lost; }
    bool isLost() const override { return m_lost; }

    void abandon() override {
        m_lost = true;
        m_stopRequested = true; // a waiting retrieveResult returns within one slice
        m_grabbing = false;
    }

    sdk::NodeMap& nodeMap() override {
        throwIfLost();
        if (!m_nodes)
            throw SdkError(Kind::AccessDenied, "Device not open: " + m_info.friendlyName);
        return *m_nodes;
    }

    void startGrabbing(size_t maxImages) override {
        throwIfLost();
        if (!m_camera)
            throw SdkError(Kind::AccessDenied, "Device not open: " + m_info.friendlyName);
        if (m_grabbing)
            throw SdkError(Kind::AccessDenied, "Already grabbing");
        std::lock_guard<std::mutex> lock(m_streamMutex);
        const std::lock_guard<std::recursive_mutex> control(m_control);
        releaseStreamLocked();

        GError* err = nullptr;
        arv_camera_set_acquisition_mode(m_camera, ARV_ACQUISITION_MODE_CONTINUOUS, &err);
        throwIfError(err, "Acquisition mode");
        const guint payload = arv_camera_get_payload(m_camera, &err);
        throwIfError(err, "Payload size");
        ArvStream* stream = arv_camera_create_stream(m_camera, nullptr, nullptr, &err);
        if (err || !stream) {
            if (stream)
                g_object_unref(stream);
            if (!err)
                throw SdkError(Kind::Generic, "Cannot create stream");
            throwIfError(err, "Cannot create stream");
        }
        for (int i = 0; i < kBuffers; ++i)
            arv_stream_push_buffer(stream, arv_buffer_new_allocate(payload));
        m_handle = std::make_shared<StreamHandle>();
        m_handle->stream = stream;

        arv_camera_start_acquisition(m_camera, &err);
        if (err) {
            releaseStreamLocked();
            throwIfError(err, "Start acquisition");
        }
        m_maxImages = maxImages;
        m_retrieved = 0;
        m_stopRequested = false;
        m_grabbing = true;
    }

    void stopGrabbing() override {
        m_stopRequested = true; // ends a waiting retrieveResult within one slice
        if (m_lost) {
            m_grabbing = false; // nothing to tell a gone device; close() releases the rest
            return;
        }
        std::lock_guard<std::mutex> lock(m_streamMutex);
        stopLocked();
        releaseStreamLocked();
    }

    bool isGrabbing() const override { return m_grabbing; }

    sdk::GrabResultPtr retrieveResult(int timeoutMs) override {
        throwIfLost();
        std::unique_lock<std::mutex> lock(m_streamMutex);
        if (!m_grabbing || !m_handle || !m_handle->stream)
            return std::make_shared<sdk::GrabResult>(); // invalid: not grabbing
        ArvStream* stream = m_handle->stream;

        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
        ArvBuffer* buffer = nullptr;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
            const auto slice = std::clamp<int64_t>(left.count(), 0, kSliceUs);
            buffer = arv_stream_timeout_pop_buffer(stream, static_cast<guint64>(slice));
            if (buffer)
                break;
            if (m_lost)
                throw SdkError(Kind::DeviceLost, "Device lost: " + m_info.friendlyName);
            if (m_stopRequested || !m_grabbing)
                return std::make_shared<sdk::GrabResult>(); // woken by stopGrabbing
            if (Clock::now() >= deadline)
                throw SdkError(Kind::Timeout,
                               "Grab timed out after " + std::to_string(timeoutMs) + " ms");
        }

        auto result = std::make_shared<sdk::GrabResult>();
        fillResult(*result, buffer);
        std::shared_ptr<StreamHandle> handle = m_handle;
        result->holder = std::shared_ptr<const void>(buffer, [handle](const void* b) {
            handle->giveBack(static_cast<ArvBuffer*>(const_cast<void*>(b)));
        });

        ++m_retrieved;
        if (m_maxImages > 0 && m_retrieved >= m_maxImages)
            stopLocked(); // the counted form ends by itself; held results stay valid
        return result;
    }

private:
    static constexpr int kBuffers = 6;
    static constexpr int64_t kSliceUs = 20000;

    void throwIfLost() const {
        if (m_lost)
            throw SdkError(Kind::DeviceLost, "Device lost: " + m_info.friendlyName);
    }

    // Lost: what this side holds goes without a word to the device.
    void releaseLost() {
        m_open = false;
        m_grabbing = false;
        ArvStream* stream = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_streamMutex);
            if (m_handle)
                stream = m_handle->take(); // held results free their buffers themselves
            m_handle.reset();
        }
        m_nodes.reset();
        releaseInBackground(std::exchange(m_camera, nullptr), stream);
    }

    static void fillResult(sdk::GrabResult& r, ArvBuffer* buffer) {
        r.valid = true;
        // Host time of arrival, in ns; steady enough within one stream for rates.
        r.timestampNs = static_cast<int64_t>(arv_buffer_get_system_timestamp(buffer));
        const ArvBufferStatus status = arv_buffer_get_status(buffer);
        const ArvBufferPayloadType payload = arv_buffer_get_payload_type(buffer);
        const bool image = payload == ARV_BUFFER_PAYLOAD_TYPE_IMAGE ||
                           payload == ARV_BUFFER_PAYLOAD_TYPE_EXTENDED_CHUNK_DATA;
        if (status != ARV_BUFFER_STATUS_SUCCESS || !image) {
            r.succeeded = false;
            r.errorDescription = status != ARV_BUFFER_STATUS_SUCCESS
                                     ? "Buffer status " + std::to_string(static_cast<int>(status))
                                     : std::string("Not an image");
            return;
        }
        size_t size = 0;
        const void* data = arv_buffer_get_image_data(buffer, &size);
        const int w = arv_buffer_get_image_width(buffer);
        const int h = arv_buffer_get_image_height(buffer);
        gint padX = 0, padY = 0;
        arv_buffer_get_image_padding(buffer, &padX, &padY);
        r.pixelType = pixelTypeOf(arv_buffer_get_image_pixel_format(buffer));
        r.width = static_cast<uint32_t>(std::max(0, w));
        r.height = static_cast<uint32_t>(std::max(0, h));
        r.paddingX = static_cast<uint32_t>(std::max(0, padX));
        r.buffer = static_cast<const uint8_t*>(data);
        r.bufferSize = data ? size : 0;
        // Never hand out a buffer shorter than its declared geometry: the converter
        // would read past its end.
        const size_t line = size_t(r.width) * bytesPerPixel(r.pixelType) + r.paddingX;
        const size_t needed = line * r.height;
        if (!data || w <= 0 || h <= 0 || r.bufferSize < needed ||
            r.pixelType == sdk::PixelType::Undefined) {
            r.succeeded = false;
            r.errorDescription = "Incomplete or unsupported image";
            return;
        }
        r.succeeded = true;
    }

    void stopLocked() {
        const bool was = m_grabbing.exchange(false);
        if (was && m_camera) {
            const std::lock_guard<std::recursive_mutex> control(m_control);
            GError* err = nullptr;
            arv_camera_stop_acquisition(m_camera, &err);
            if (err)
                g_error_free(err); // a lost camera cannot be told; it stops by itself
        }
    }

    void releaseStreamLocked() {
        if (m_handle) {
            m_handle->release();
            m_handle.reset();
        }
    }

    sdk::DeviceInfo m_info;
    ArvCamera* m_camera = nullptr;
    // Node and control access (taken after m_streamMutex when both are needed).
    std::recursive_mutex m_control;
    std::unique_ptr<AravisNodeMap> m_nodes;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_grabbing{false};
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_lost{false};
    std::mutex m_streamMutex; // held while a retrieval uses the stream
    std::shared_ptr<StreamHandle> m_handle;
    size_t m_maxImages = 0;
    size_t m_retrieved = 0;
};

// ---------------------------------------------------------------------------------------
// Transport

class AravisTransport : public sdk::Transport {
public:
    std::string name() const override { return "aravis"; }

    sdk::DeviceInfoList enumerate() override {
        sdk::DeviceInfoList list;
        if (!discoveryEnabled())
            return list;
        std::lock_guard<std::mutex> lock(systemMutex());
        arv_update_device_list();
        const unsigned n = arv_get_n_devices();
        for (unsigned i = 0; i < n; ++i) {
            sdk::DeviceInfo info;
            info.deviceId = orEmpty(arv_get_device_id(i));
            info.vendorName = orEmpty(arv_get_device_vendor(i));
            info.modelName = orEmpty(arv_get_device_model(i));
            info.serialNumber = orEmpty(arv_get_device_serial_nbr(i));
            info.transport = name();
            info.friendlyName =
                info.vendorName + " " + info.modelName + " (" + info.serialNumber + ")";
            if (!info.deviceId.empty())
                list.push_back(std::move(info));
        }
        return list;
    }

    std::unique_ptr<sdk::Device> createDevice(const sdk::DeviceInfo& info) override {
        if (info.transport != name() || info.deviceId.empty())
            throw SdkError(Kind::NotAvailable, "Not an Aravis device: " + info.friendlyName);
        return std::make_unique<AravisDevice>(info);
    }
};

} // namespace

bool discoveryEnabled() {
    const char* v = std::getenv("LUMETRA_ARAVIS_DISCOVERY");
    return !(v && std::strcmp(v, "0") == 0);
}

std::vector<std::string> nodeNameCandidates(const std::string& name) {
    // Older GigE cameras (SFNC before 2.0) carry the "Abs"/"Raw" forms.
    static const std::vector<std::vector<std::string>> groups = {
        {"ExposureTime", "ExposureTimeAbs"},
        {"Gain", "GainAbs", "GainRaw"},
        {"AcquisitionFrameRate", "AcquisitionFrameRateAbs"},
        // What the camera can deliver with its present settings (format, window, exposure,
        // link throughput): Basler's names and the standard one.
        {"ResultingFrameRate", "ResultingFrameRateAbs", "AcquisitionResultingFrameRate"},
        {"BlackLevel", "BlackLevelAbs", "BlackLevelRaw"},
        {"DeviceTemperature", "TemperatureAbs"},
        {"DeviceTemperatureSelector", "TemperatureSelector"},
    };
    for (const auto& group : groups) {
        if (std::find(group.begin(), group.end(), name) != group.end()) {
            std::vector<std::string> out{name};
            for (const auto& other : group)
                if (other != name)
                    out.push_back(other);
            return out;
        }
    }
    return {name};
}

int64_t nearestInteger(int64_t value, int64_t min, int64_t max, int64_t inc) {
    if (inc < 1)
        inc = 1;
    if (max < min)
        return min;
    const int64_t top = min + (max - min) / inc * inc; // highest value on the grid
    if (value <= min)
        return min;
    if (value >= top)
        return top;
    const int64_t steps = (value - min + inc / 2) / inc;
    return std::min(top, min + steps * inc);
}

std::shared_ptr<sdk::Transport> createTransport() {
    return std::make_shared<AravisTransport>();
}

bool waitForBackgroundReleases(int timeoutMs) {
    PendingReleases& pending = pendingReleases();
    std::unique_lock<std::mutex> lock(pending.mutex);
    return pending.done.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [&] { return pending.count == 0; });
}

} // namespace lumetra::aravis
