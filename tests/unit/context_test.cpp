#include <gtest/gtest.h>

#include <memory>

#include "api/driver_context.h"
#include "api/driver_module.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

TEST(DriverContext, LoadTimeState) {
  auto ctx = std::make_unique<DriverContext>();
  EXPECT_EQ(ctx->portHandle, 0u);
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(ctx->activePort, nullptr);
  EXPECT_EQ(ctx->identifiedLayout, nullptr);
  EXPECT_EQ(ctx->capturePairCount, 0);
  EXPECT_EQ(ctx->channelCount, 0);
  EXPECT_EQ(ctx->sheetWaitMs, 0);
  EXPECT_TRUE(ctx->firmwareVersion.empty());
  EXPECT_EQ(ctx->readerSettings.level, 16);
  EXPECT_EQ(ctx->readerSettings.second, 255);
  EXPECT_EQ(ctx->readerSettings.third, 255);
  for (std::uint8_t b : ctx->resultBuffer) ASSERT_EQ(b, 0);
  for (auto& array : ctx->captureArrays)
    for (std::uint8_t b : array) ASSERT_EQ(b, 0);
  EXPECT_EQ(ctx->comPort.GetName(), "\\\\.\\COM1");
  EXPECT_EQ(ctx->comPort.GetSettings(), "9600,n,8,1");
}

TEST(DriverContext, UnknownLocaleInEnvironmentDoesNotStopLoading) {
  const char* saved = std::getenv("LC_ALL");
  std::string keep = saved ? saved : "";
  setenv("LC_ALL", "xx_NOWHERE.UTF-8", 1);
  EXPECT_NO_THROW({ auto ctx = std::make_unique<DriverContext>(); });
  if (saved)
    setenv("LC_ALL", keep.c_str(), 1);
  else
    unsetenv("LC_ALL");
  std::locale::global(std::locale::classic());
}

TEST(DriverContext, ClearWithReaderResetsForms) {
  auto ctx = std::make_unique<DriverContext>();
  ScriptedPort port;
  ctx->activePort = &port;
  ctx->forms.Layout(kFaceA, 0).defined = 1;
  ctx->forms.errorCode = 6;
  ctx->readerSettings = {4, 50, 60};
  port.On({0xFA, 0x23}, {0xFB, 0x23}).On({0xFA, 0x06, 0x00, 0xFF, 0xFF}, {0xFB, 0x06});
  ctx->Clear();
  EXPECT_EQ(ctx->forms.Layout(kFaceA, 0).defined, 0);
  EXPECT_EQ(ctx->forms.errorCode, 0);
  EXPECT_EQ(ctx->readerSettings.level, 16);
  EXPECT_EQ(ctx->lastError, 0);
  ctx->activePort = nullptr;
}

TEST(DriverContext, ClearWithSilentReaderKeepsForms) {
  auto ctx = std::make_unique<DriverContext>();
  ScriptedPort port;
  ctx->activePort = &port;
  ctx->forms.Layout(kFaceA, 0).defined = 1;
  ctx->Clear();
  EXPECT_EQ(ctx->forms.Layout(kFaceA, 0).defined, 1);
  EXPECT_EQ(ctx->lastError, 8);
  ctx->activePort = nullptr;
}

TEST(DriverContext, ClearWithoutReaderChangesNothing) {
  auto ctx = std::make_unique<DriverContext>();
  ctx->forms.Layout(kFaceA, 0).defined = 1;
  ctx->lastError = 4;
  ctx->Clear();
  EXPECT_EQ(ctx->forms.Layout(kFaceA, 0).defined, 1);
  EXPECT_EQ(ctx->lastError, 4);
}

TEST(DriverContext, UnloadSendsClearToConnectedReader) {
  ScriptedPort port;
  port.On({0xFA, 0x23}, {0xFB, 0x23}).On({0xFA, 0x06, 0x00, 0xFF, 0xFF}, {});
  {
    auto ctx = std::make_unique<DriverContext>();
    ctx->activePort = &port;
  }
  EXPECT_TRUE(port.ScriptUsedUp());
  ASSERT_EQ(port.Writes().size(), 2u);
}

TEST(DriverModule, ProcessAttachZeroesInstalledValue) {
  auto module = std::make_unique<DriverModule>();
  module->installedValue = 77;
  module->ProcessAttach();
  EXPECT_EQ(module->installedValue, 0);
}

TEST(DriverModule, CloseWithoutConnectionAnswersFalse) {
  auto module = std::make_unique<DriverModule>();
  module->context.lastError = 3;
  EXPECT_FALSE(module->Close());
  EXPECT_EQ(module->installedValue, 0);
  EXPECT_EQ(module->context.lastError, 3);
}

TEST(DriverModule, CloseEndsConnection) {
  auto module = std::make_unique<DriverModule>();
  ScriptedPort port;
  module->context.activePort = &port;
  module->context.portHandle = port.GetHandle();
  module->installedValue = static_cast<std::int32_t>(port.GetHandle());
  EXPECT_TRUE(module->Close());
  EXPECT_EQ(module->context.activePort, nullptr);
  EXPECT_EQ(module->context.lastError, 8);
  EXPECT_EQ(module->installedValue, 0);
  EXPECT_EQ(port.GetHandle(), 0u);
  EXPECT_FALSE(module->Close());
}

}  // namespace
}  // namespace omr::test
