#pragma once
// The simulated sensor head as a camera transport: every top-level group of
// simulated-head.ini in the working directory is one device.

#include "sdk/Sdk.h"
#include "simulated/SimulatedHead.h"

#include <QString>

#include <memory>
#include <set>
#include <string>

namespace lumetra::sim {

constexpr const char* kHeadFileName = "simulated-head.ini";
// A head file is a few hundred bytes; anything beyond this is not one, and a list of more
// heads than this is not a bench.
constexpr qint64 kMaxHeadFileBytes = 4 * 1024 * 1024;
constexpr int kMaxHeads = 16;

// Devices that have been unplugged stay away from the device list until their file is
// written again (a new head is a new plug-in).
struct UnplugRegistry {
    std::mutex mutex;
    std::set<std::string> gone;
};

class SimulatedTransport : public sdk::Transport {
public:
    SimulatedTransport();
    std::string name() const override { return "simulated"; }
    sdk::DeviceInfoList enumerate() override;
    // nullptr when the head is no longer described in the file.
    std::unique_ptr<sdk::Device> createDevice(const sdk::DeviceInfo& info) override;

private:
    // An existing regular file within the size limit; says once why another is ignored.
    bool usableFile(const QString& path);

    std::shared_ptr<UnplugRegistry> m_unplugged;
    std::string m_reported; // the file state last reported as unusable
};

// Builds a device straight from a configuration (used by the transport, the benchmark and
// the tests that need no file).
std::unique_ptr<sdk::Device> createSimulatedDevice(const HeadConfig& head,
                                                   std::shared_ptr<UnplugRegistry> registry = {},
                                                   const std::string& unplugKey = {});

sdk::DeviceInfo deviceInfoFor(const HeadConfig& head);

// Offers the transport to the camera-SDK layer, as "simulated".
void registerTransport();

} // namespace lumetra::sim
