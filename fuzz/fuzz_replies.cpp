// Every export-level operation of the driver context against a reader whose
// every reply comes from the fuzzer: a sequence of operations, each command
// answered by the next length-prefixed piece of the input.
#include <cstring>
#include <memory>

#include "api/driver_context.h"
#include "form/form_loader.h"
#include "fuzz_support.h"

using namespace omr;

namespace {

constexpr const char* kSampleForm[] = {
    "\"T A 030 01/\"",
    "\"L 030 20 10/\"",
    "\"M 001 02 05/\"",
    "\"D 01 ABCD/\"",
    "\"F   5   3U S  1   4R 0/\"",
    "\"F  10   3U M  1   2R 1/\"",
    "\"T B 025 02/\"",
    "\"L 025 20 10/\"",
};

// Large enough for every output a reader's counts can announce (2N+4 with N
// up to 65535, rows x columns up to 255 x 255).
constexpr std::size_t kArgSize = 2 * 65535 + 64;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  FuzzedDataProvider data(bytes, size);
  fuzz::Fresh<DriverContext> ctx;
  test::ScriptedPort port;
  fuzz::ServeReplies(port, data);
  ctx->activePort = &port;
  ctx->portHandle = port.GetHandle();
  ctx->channelCount = data.ConsumeIntegralInRange<int>(0, 64);
  ctx->sheetWaitMs = 2000;
  ctx->firmwareVersion = "3.0";
  for (const char* line : kSampleForm) StoreFormLine(ctx->forms, line);
  ctx->forms.SelectLayout(kFaceA);
  ctx->forms.CompleteLayouts(kFaceA);

  std::uint8_t* arg = fuzz::ZeroedBuffer<kArgSize>();
  auto* out = reinterpret_cast<char*>(fuzz::ZeroedBuffer<kResultBufferSize + 3, 1>());
  for (int step = 0; step < 16 && data.remaining_bytes() > 0; ++step) {
    switch (data.ConsumeIntegralInRange<int>(0, 17)) {
      case 0:
        ctx->Read();
        break;
      case 1:
        ctx->ReadWithLine(data.ConsumeIntegral<int>());
        break;
      case 2: {
        const int n = ctx->GetResult(out, data.ConsumeIntegralInRange<int>(-1, 4));
        if (n > kResultBufferSize + 2) __builtin_trap();
        break;
      }
      case 3:
        ctx->StartMotor();
        break;
      case 4:
        ctx->StopMotor();
        break;
      case 5:
        ctx->PassSheet();
        break;
      case 6:
        ctx->IsReading();
        break;
      case 7:
        ctx->StopRead();
        break;
      case 8: {
        const int code = data.ConsumeIntegralInRange<int>(-1, 31);
        const bool none = data.ConsumeIntegralInRange<int>(0, 15) == 0;
        std::memset(arg, 0, 8);
        arg[0] = data.ConsumeIntegral<std::uint8_t>();
        for (int i = 1; i < 8; ++i) arg[i] = data.ConsumeIntegral<std::uint8_t>();
        if (code == 28) {  // a text of some length
          const int length = data.ConsumeIntegralInRange<int>(0, 2000);
          std::memset(arg, 'a', static_cast<std::size_t>(length));
          arg[length] = 0;
        }
        const int r = ctx->SysCmd(code, none ? nullptr : arg);
        if (r != 0 && r != 1) __builtin_trap();
        break;
      }
      case 9: {
        char serial[64];
        ctx->GetSerial(data.ConsumeBool() ? serial : nullptr);
        break;
      }
      case 10:
        ctx->ReadTotal();
        break;
      case 11:
        ctx->Clear();
        break;
      case 12:
        ctx->AddFormLine(kSampleForm[data.ConsumeIntegralInRange<int>(0, 7)]);
        break;
      case 13:
        ctx->FinishForm();
        break;
      case 14:
        port.LimitWrites(data.ConsumeIntegralInRange<int>(-1, 140));
        break;
      case 15: {
        char version[16] = {};
        QueryVersion(ctx->link, version);
        if (version[15] != 0) __builtin_trap();
        break;
      }
      case 16: {
        int count = 0;
        QueryChannelCount(ctx->link, ctx->channelCount, &count);
        break;
      }
      case 17: {
        const int wait = ComputeSheetWait(ctx->link);
        if (wait <= 0) __builtin_trap();
        break;
      }
    }
  }
  ctx->activePort = nullptr;  // the port goes before the context
  return 0;
}
