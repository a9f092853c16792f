#include "api/driver_module.h"

namespace omr {

void DriverModule::ProcessAttach() {
  installedValue = 0;
  context.Clear();
}

int DriverModule::Installed(int) {
  installedValue = static_cast<std::int32_t>(context.FindReader());
  return installedValue;
}

bool DriverModule::Close() {
  const bool closed = context.CloseReader(static_cast<Handle>(installedValue));
  installedValue = 0;
  return closed;
}

}  // namespace omr
