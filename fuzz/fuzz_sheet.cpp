// Sheet frames through unpacking, layout identification, the bar check and
// the evaluation of fuzzed layouts, then the result text in every mode.
// Input: form lines, a zero byte, a mode byte, then the frame (or, in the
// direct mode, a line count, a column count and raw cells).
#include <cstring>
#include <memory>
#include <vector>

#include "form/form_loader.h"
#include "fuzz_support.h"
#include "read/recognition.h"
#include "read/result.h"

using namespace omr;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto* split = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
  if (split == nullptr) return 0;
  const std::size_t formSize = static_cast<std::size_t>(split - data);

  fuzz::Fresh<FormDefinition> forms;
  for (const std::string& line : fuzz::SplitLines(data, formSize)) {
    StoreFormLine(*forms, line.c_str());
    forms->errorCode = 0;
  }
  forms->SelectLayout(kFaceA);
  forms->CompleteLayouts(kFaceA);
  forms->SummarizeLengths(kFaceA);

  const std::uint8_t* rest = split + 1;
  std::size_t restSize = size - formSize - 1;
  if (restSize == 0) return 0;
  const std::uint8_t mode = rest[0];
  std::vector<std::uint8_t> frameBytes(rest + 1, rest + restSize);

  fuzz::Fresh<DeviceFrame> frame;
  if ((mode & 4) != 0) {
    // Cells straight into the grid: the recognition without the frame codec.
    if (frameBytes.size() < 2) return 0;
    frame->lines = frameBytes[0] & 0x7F;
    frame->columns = 2 * (frameBytes[1] & 0x7F);
    const std::size_t n = frameBytes.size() - 2 < static_cast<std::size_t>(kFrameArea)
                              ? frameBytes.size() - 2
                              : static_cast<std::size_t>(kFrameArea);
    for (std::size_t i = 0; i < n; ++i) frame->cells[i] = frameBytes[2 + i] & 0x0F;
  } else {
    fuzz::FixFrame(frameBytes, 0, (mode & 2) != 0);
    if ((mode & 1) == 0 && !frameBytes.empty())
      frameBytes.back() ^= 0x5A;  // now and then a CRC that does not match
    frame->Unpack(frameBytes.data(), static_cast<int>(frameBytes.size()));
  }

  std::int32_t error = 0;
  SheetLayout* layout = IdentifyLayout(*forms, *frame, error);
  std::uint8_t text[kWorkingStringSize];
  if (layout != nullptr) {
    CheckBars(*layout, *frame);
    int count = 0;
    EvaluateLayout(*layout, *frame, text, sizeof text, count);
    if (count < 0 || count > static_cast<int>(sizeof text)) __builtin_trap();
  }
  // Every defined layout against this sheet, whatever identification said.
  for (int i = 0; i < kLayoutsPerFace; ++i) {
    const SheetLayout& candidate = forms->Layout(kFaceA, i);
    if (!candidate.defined) continue;
    CheckBars(candidate, *frame);
    int count = 0;
    EvaluateLayout(candidate, *frame, text, static_cast<int>(sizeof text) - (mode >> 4), count);
  }

  std::uint8_t* resultBuffer = fuzz::ZeroedBuffer<kResultBufferSize>();
  std::int32_t lastError = 0;
  const ResultView view{*forms, *frame, layout, resultBuffer, lastError};
  auto* out = reinterpret_cast<char*>(fuzz::ZeroedBuffer<kResultBufferSize + 3, 1>());
  for (int m = -1; m <= 4; ++m) {
    const int n = GetResult(view, out, m);
    if (n > kResultBufferSize + 2) __builtin_trap();
  }
  std::uint8_t grid[2 + kFrameArea];
  frame->CopyGrid(grid);
  return 0;
}
