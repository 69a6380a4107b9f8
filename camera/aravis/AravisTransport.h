#pragma once
// Real GenICam cameras (GigE Vision, USB3 Vision) behind our camera-SDK interface,
// through libaravis. Devices are listed with their serial number and a friendly name
// "vendor model (serial)"; features are reached by GenICam node name, with the names
// that differ between camera generations mapped onto each other.

#include <memory>
#include <string>
#include <vector>

#include "sdk/Sdk.h"

namespace lumetra::aravis {

std::shared_ptr<sdk::Transport> createTransport();

// Offers the transport to the camera-SDK layer, as "aravis".
void registerTransport();

// Device discovery broadcasts on every network interface. Setting the environment
// variable LUMETRA_ARAVIS_DISCOVERY to "0" keeps the transport silent (no discovery,
// no device list, no opening); the test runs set it so that only the tests that run
// inside a private network namespace ever talk to a camera.
bool discoveryEnabled();

// The node names tried, in order, for a feature name the camera code uses.
std::vector<std::string> nodeNameCandidates(const std::string& name);

// The value an integer try-set with Nearest correction writes: clamped into [min, max]
// and onto the increment grid that starts at min (never beyond max).
int64_t nearestInteger(int64_t value, int64_t min, int64_t max, int64_t inc);

// The objects of a lost camera are released on threads of their own (a gone device makes
// each release wait out its retries). True once all of them are done, false after the
// timeout; nothing needs to wait for them, but a leak check at exit does.
bool waitForBackgroundReleases(int timeoutMs);

} // namespace lumetra::aravis
