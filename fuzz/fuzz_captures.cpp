// Pair-capture streams and the run search: codes 10, 30, 11, 24 (and 13,
// 25) through the system command entry with fuzzed replies, and the stream
// decoder on raw receive areas.
#include <cstring>
#include <memory>

#include "api/driver_context.h"
#include "config/captures.h"
#include "fuzz_support.h"

using namespace omr;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  fuzz::Fresh<DriverContext> ctx;

  if (data.ConsumeBool()) {
    // The decoder alone on a receive area of fuzzed length and content.
    std::uint8_t* area = fuzz::ZeroedBuffer<kPairArea>();
    const int total = data.ConsumeIntegralInRange<int>(-8, kPairArea + 8);
    const std::vector<std::uint8_t> stream = data.ConsumeBytes<std::uint8_t>(kPairArea);
    if (!stream.empty()) std::memcpy(area, stream.data(), stream.size());
    const std::int32_t pairs = DecodePairCapture(area, total, ctx->captureArrays);
    if (pairs < 0 || pairs > kCaptureArraySize) __builtin_trap();
    return 0;
  }

  test::ScriptedPort port;
  fuzz::ServeReplies(port, data);
  ctx->activePort = &port;
  ctx->portHandle = port.GetHandle();
  ctx->channelCount = data.ConsumeIntegralInRange<int>(0, 130);

  std::uint8_t* arg = fuzz::ZeroedBuffer<2 * 65535 + 64, 1>();
  static constexpr int kCodes[] = {10, 30, 11, 24, 13, 25, 17, 12};
  for (int step = 0; step < 8 && data.remaining_bytes() > 0; ++step) {
    const int code = data.PickValueInArray(kCodes);
    arg[0] = data.ConsumeIntegral<std::uint8_t>();
    const int before = ctx->capturePairCount;
    const int r = ctx->SysCmd(code, arg);
    if (r != 0 && r != 1) __builtin_trap();
    if (ctx->capturePairCount < 0 || ctx->capturePairCount > kCaptureArraySize) __builtin_trap();
    if (r == 0 && (code == 10 || code == 30) && ctx->capturePairCount != before) __builtin_trap();
  }
  ctx->activePort = nullptr;
  return 0;
}
