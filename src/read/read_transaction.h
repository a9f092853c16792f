// Reading one sheet: the start command, the data block, unpacking,
// layout identification and the bar check.
#pragma once

#include <cstdint>
#include <string>

#include "form/form_definition.h"
#include "link/link.h"
#include "read/device_frame.h"

namespace omr {

struct ReadView {
  Link& link;
  FormDefinition& forms;
  DeviceFrame& frame;
  SheetLayout*& identifiedLayout;
  std::int32_t sheetWaitMs;
  const std::string& firmwareVersion;
};

// 0 when a sheet was read and recognised, -1 otherwise (reason in lastError).
// withLine selects FA 2B with the low byte of `line` instead of FA 24.
int ReadSheet(const ReadView& view, bool withLine, int line);

}  // namespace omr
