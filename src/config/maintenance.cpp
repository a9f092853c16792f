// Placeholder until the maintenance commands are built.
#include "config/maintenance.h"

namespace omr {

int SysCmd(const MaintenanceView&, int, void*) { return 0; }
int ReadTotal(Link& link) {
  link.Fail();
  return 0;
}
int GetSerial(Link& link, char*) {
  link.Fail();
  return -1;
}

}  // namespace omr
