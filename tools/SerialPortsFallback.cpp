// Used only where the platform layer brings no port enumeration of its own: no ports are
// known, so --list prints none and --scan probes only the ports given with --port.

#include "platform/SerialPorts.h"

std::vector<TSerialPortInfo> ListSerialPorts() {
    return {};
}
