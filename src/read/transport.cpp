// Placeholder until transport control is built.
#include "read/transport.h"

namespace omr {

int StartMotor(Link& link) {
  link.Fail();
  return 0;
}
int StopMotor(Link& link) {
  link.Fail();
  return 0;
}
bool PassSheet(Link& link) {
  link.Fail();
  return false;
}
int IsReading(Link& link) {
  link.Fail();
  return -1;
}
int StopRead(Link& link) {
  link.Fail();
  return 0;
}

}  // namespace omr
