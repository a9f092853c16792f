// The recognised sheet as text.
#pragma once

#include <cstdint>

#include "form/form_definition.h"
#include "read/device_frame.h"

namespace omr {

inline constexpr int kResultBufferSize = 16384;

struct ResultView {
  FormDefinition& forms;
  const DeviceFrame& frame;
  const SheetLayout* identifiedLayout;
  std::uint8_t* resultBuffer;  // kResultBufferSize bytes
  std::int32_t& lastError;
};

// Prefix for the mode, the question characters and a zero byte; the count
// before the zero, or -1.
int GetResult(const ResultView& view, char* out, int mode);

}  // namespace omr
