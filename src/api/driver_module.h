// The library as a whole: the driver context and the module-level values
// beside it (the installed value and the legacy interface's reply text).
#pragma once

#include <cstdint>

#include "api/driver_context.h"

namespace omr {

inline constexpr int kReplyBufferSize = 2048;

class DriverModule {
 public:
  DriverModule() = default;

  // The module entry point's attach notice.
  void ProcessAttach();

  int Installed(int ignored);
  bool Close();

  // Legacy text-command interface.
  int OmrS(char* command);
  int OmrG(char* out);
  int OmrVer(char* out);

  DriverContext context;
  std::int32_t installedValue = 0;
  char replyBuffer[kReplyBufferSize] = {};
  bool formSent = false;

 private:
  bool ConnectOnDemand();
  // Room for a whole result with its prefix, before a piece is cut from it.
  char resultScratch[kResultBufferSize + 3] = {};
};


}  // namespace omr
