// The byte pauses of the serial port: never shorter than 3 ms a byte, and
// the caller's thread keeps its own timer slack.
#include <gtest/gtest.h>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <chrono>

#include "port/com.h"
#include "pty_pair.h"

namespace omr::test {
namespace {

TEST(ComPortPause, EachByteIsFollowedByThreeMilliseconds) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  CCom com;
  ASSERT_NE(com.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1"), 0u);
  const std::uint8_t data[4] = {0xFA, 0x24, 0xFA, 0x26};
  for (int round = 0; round < 5; ++round) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(com.Write(data, 4), 4);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(12)) << "round " << round;
  }
  EXPECT_EQ(pty.Receive(20, 1000).size(), 20u);
}

#ifdef __linux__
TEST(ComPortPause, CallerTimerSlackComesBack) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  CCom com;
  ASSERT_NE(com.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1"), 0u);
  const long saved = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  ASSERT_EQ(prctl(PR_SET_TIMERSLACK, 123456UL, 0UL, 0UL, 0UL), 0);
  const std::uint8_t data[2] = {0xFA, 0x04};
  EXPECT_EQ(com.Write(data, 2), 2);
  EXPECT_EQ(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0), 123456);
  prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved), 0UL, 0UL, 0UL);
}
#endif

}  // namespace
}  // namespace omr::test
