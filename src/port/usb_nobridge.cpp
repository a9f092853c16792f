// Builds without a bridge library have no USB reader.
#include "port/usb.h"

namespace omr {

const BridgeOps* PlatformBridge() { return nullptr; }

}  // namespace omr
