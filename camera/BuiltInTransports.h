#pragma once
// The camera transports this build carries.

namespace lumetra::camera {

// Registers every built-in transport with the camera-SDK layer. Called before the layer is
// initialised; an explicit call, so a static library never drops a transport nobody names.
// Idempotent.
void registerBuiltInTransports();

} // namespace lumetra::camera
