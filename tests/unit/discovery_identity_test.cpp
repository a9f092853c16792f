// Serial candidate names, closing the connection and the device identity.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "link/discovery.h"
#include "pty_pair.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

std::vector<std::string> Candidates() {
  std::vector<std::string> names;
  std::string name;
  for (int i = 0; SerialCandidate(i, name); ++i) names.push_back(name);
  return names;
}

TEST(SerialCandidates, BuiltInListInOrder) {
  ScopedEnv env("OMR_SERIAL_PORTS", nullptr);
  const std::vector<std::string> names = Candidates();
  ASSERT_EQ(names.size(), 64u);
  EXPECT_EQ(names[0], "/dev/ttyUSB0");
  EXPECT_EQ(names[15], "/dev/ttyUSB15");
  EXPECT_EQ(names[16], "/dev/ttyACM0");
  EXPECT_EQ(names[31], "/dev/ttyACM15");
  EXPECT_EQ(names[32], "/dev/ttyS0");
  EXPECT_EQ(names[63], "/dev/ttyS31");
  std::string name = "kept";
  EXPECT_FALSE(SerialCandidate(-1, name));
}

TEST(SerialCandidates, EnvironmentReplacesTheList) {
  struct Case {
    const char* value;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"/tmp/a", {"/tmp/a"}},
      {"/tmp/a:/dev/pts/3", {"/tmp/a", "/dev/pts/3"}},
      {":/tmp/a::/tmp/b:", {"/tmp/a", "/tmp/b"}},
      {"", {}},
      {":::", {}},
  };
  for (const Case& c : cases) {
    ScopedEnv env("OMR_SERIAL_PORTS", c.value);
    EXPECT_EQ(Candidates(), c.names) << '"' << c.value << '"';
  }
}

TEST(SerialCandidates, EnvironmentListIsBounded) {
  std::string list;
  for (int i = 0; i < 300; ++i) list += "/tmp/p" + std::to_string(i) + ":";
  ScopedEnv env("OMR_SERIAL_PORTS", list.c_str());
  const std::vector<std::string> names = Candidates();
  ASSERT_EQ(names.size(), static_cast<std::size_t>(kMaxSerialCandidates));
  EXPECT_EQ(names.back(), "/tmp/p255");
}

class CloseReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ctx->activePort = &port;
    ctx->portHandle = port.GetHandle();
    ctx->lastError = 0;
  }
  void TearDown() override { ctx->activePort = nullptr; }

  ScriptedPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
};

TEST_F(CloseReaderTest, ClosesTheActivePort) {
  const Handle h = port.GetHandle();
  EXPECT_TRUE(ctx->CloseReader(h));
  EXPECT_EQ(port.GetHandle(), 0u);
  EXPECT_EQ(ctx->activePort, nullptr);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(ctx->portHandle, h);
  EXPECT_TRUE(port.Writes().empty());  // nothing is sent on closing
}

TEST_F(CloseReaderTest, RefusesAStaleTokenOrAMissingPort) {
  const Handle h = port.GetHandle();
  EXPECT_FALSE(ctx->CloseReader(h + 1));
  EXPECT_FALSE(ctx->CloseReader(0));
  // A token that matches portHandle but not the port: the port refuses.
  ctx->portHandle = h + 1;
  EXPECT_FALSE(ctx->CloseReader(h + 1));
  EXPECT_EQ(ctx->activePort, &port);
  ctx->portHandle = h;
  ctx->activePort = nullptr;
  EXPECT_FALSE(ctx->CloseReader(h));
  EXPECT_EQ(port.GetHandle(), h);
  EXPECT_EQ(ctx->lastError, 0);
}

TEST(DeviceIdentity, NameForTheDeviceNumber) {
  char out[32];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(GetDeviceName(2005, out), 16);
  const char expected[] = "HalvexorZuta\xCF\xB5\xC1\xD0";
  static_assert(sizeof expected == 17);
  EXPECT_EQ(std::memcmp(out, expected, 17), 0);
  EXPECT_EQ(out[17], 'x');  // no byte written past the terminator
}

TEST(DeviceIdentity, OtherNumbersLeaveTheTextAlone) {
  char out[16] = "abc";
  EXPECT_EQ(GetDeviceName(1, out), 3);
  EXPECT_STREQ(out, "abc");
  char empty[4] = {};
  EXPECT_EQ(GetDeviceName(2004, empty), 0);
  EXPECT_EQ(GetDeviceName(2005, nullptr), -1);
  EXPECT_EQ(GetDeviceName(1, nullptr), -1);
}

TEST(DeviceIdentity, Abilities) {
  for (int code : {101, 402}) EXPECT_EQ(CheckAbility(code), 1) << code;
  for (int code : {0, -1, 100, 102, 201, 202, 203, 301, 401, 403, 2005})
    EXPECT_EQ(CheckAbility(code), 0) << code;
  EXPECT_EQ(kDeviceNumber, 2005);
}

}  // namespace
}  // namespace omr::test
