// Placeholder until the libftdi1 bridge backend is built.
#include "port/usb.h"

namespace omr {

const BridgeOps* PlatformBridge() { return nullptr; }

}  // namespace omr
