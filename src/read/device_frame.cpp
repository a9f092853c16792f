// Placeholder until the sheet frame is built.
#include "read/device_frame.h"

#include <cstring>

namespace omr {

DeviceFrame::DeviceFrame() {
  std::memset(cells, 0, sizeof cells);
  std::memset(receivedFrame, 0, sizeof receivedFrame);
  std::memset(decoded, 0, sizeof decoded);
}

bool DeviceFrame::Unpack(const std::uint8_t*, int) { return false; }
int DeviceFrame::CellAt(int, int) const { return -1; }
bool DeviceFrame::CopyGrid(std::uint8_t*) const { return false; }

}  // namespace omr
