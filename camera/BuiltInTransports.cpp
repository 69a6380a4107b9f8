#include "BuiltInTransports.h"

#include "simulated/SimulatedTransport.h"
#ifdef LUMETRA_HAVE_ARAVIS
#include "aravis/AravisTransport.h"
#endif

namespace lumetra::camera {

void registerBuiltInTransports() {
    sim::registerTransport();
#ifdef LUMETRA_HAVE_ARAVIS
    aravis::registerTransport();
#endif
}

} // namespace lumetra::camera
