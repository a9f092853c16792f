// Placeholder until the legacy text-command interface is built.
#include "api/driver_module.h"

namespace omr {

bool DriverModule::ConnectOnDemand() { return installedValue != 0; }
int DriverModule::OmrS(char*) { return -1; }
int DriverModule::OmrG(char*) { return -1; }
int DriverModule::OmrVer(char*) { return -1; }

}  // namespace omr
