// Sheet transport commands.
#pragma once

#include "link/link.h"

namespace omr {

int StartMotor(Link& link);
int StopMotor(Link& link);
bool PassSheet(Link& link);
int IsReading(Link& link);
int StopRead(Link& link);

}  // namespace omr
