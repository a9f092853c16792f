// Placeholder until discovery is built.
#include "link/discovery.h"

#include <cstring>

namespace omr {

Handle FindReader(const ConnectionView&) { return 0; }

bool CloseReader(const ConnectionView& view, Handle token) {
  if (token != view.portHandle || view.activePort == nullptr) return false;
  if (view.activePort->Close(token) == 0) return false;
  view.activePort = nullptr;
  view.link.Fail();
  return true;
}

int GetDeviceName(int, char* out) { return out ? static_cast<int>(std::strlen(out)) : -1; }
int CheckAbility(int code) { return code == 101 || code == 402 ? 1 : 0; }

}  // namespace omr
