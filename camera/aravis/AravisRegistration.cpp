// Apart from the transport, so a program that uses the transport directly needs no
// camera-SDK factory.
#include "AravisTransport.h"

namespace lumetra::aravis {

void registerTransport() {
    sdk::registerTransportMaker("aravis", &createTransport);
}

} // namespace lumetra::aravis
