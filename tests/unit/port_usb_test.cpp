// The bridge port through a fake bridge backend.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "fake_bridge.h"
#include "port/usb.h"

namespace omr::test {
namespace {

using Pair = std::pair<std::uint32_t, std::uint32_t>;

class UsbPort : public ::testing::Test {
 protected:
  void SetUp() override { usb.SetBridge(bridge.Ops()); }
  void TearDown() override {
    bridge.closeStatus = 0;
    usb.Close(usb.GetHandle());
    EXPECT_EQ(bridge.foreignCalls, 0);
  }

  FakeBridge bridge;
  CUsb usb;
};

TEST_F(UsbPort, OpenWithoutDeviceStaysClosed) {
  bridge.present = false;
  EXPECT_EQ(usb.Open(), 0u);
  EXPECT_EQ(usb.GetHandle(), 0u);
  usb.SetBridge(nullptr);
  EXPECT_EQ(usb.Open(), 0u);
  EXPECT_EQ(usb.GetHandle(), 0u);
}

TEST_F(UsbPort, OpenIgnoresNameAndSettingsAndKeepsTheToken) {
  EXPECT_EQ(usb.OpenWith("COM9", "garbage"), 0x2Au);
  EXPECT_EQ(usb.GetHandle(), 0x2Au);
  EXPECT_EQ(bridge.opens, 1);
}

TEST_F(UsbPort, OpenAgainClosesTheOpenDeviceFirst) {
  ASSERT_EQ(usb.Open(), 0x2Au);
  bridge.closeStatus = 4;  // even a failed close does not keep the old device
  bridge.present = false;
  EXPECT_EQ(usb.Open(), 0u);
  EXPECT_EQ(bridge.closes, (std::vector<std::uint32_t>{0x2A}));
  EXPECT_EQ(usb.GetHandle(), 0u);
}

TEST_F(UsbPort, ZeroFromTheBridgeIsNoDevice) {
  bridge.token = 0;
  EXPECT_EQ(usb.Open(), 0u);
  EXPECT_EQ(usb.GetHandle(), 0u);
  EXPECT_FALSE(bridge.open);  // handed back, not leaked
}

TEST_F(UsbPort, CloseOnlyTheOpenHandle) {
  const Handle h = usb.Open();
  ASSERT_NE(h, 0u);
  EXPECT_EQ(usb.Close(h + 1), 0);
  EXPECT_EQ(usb.Close(0), 0);
  EXPECT_TRUE(bridge.closes.empty());
  EXPECT_EQ(usb.GetHandle(), h);
  EXPECT_EQ(usb.Close(h), 1);
  EXPECT_EQ(usb.GetHandle(), 0u);
  EXPECT_FALSE(bridge.open);
  EXPECT_EQ(usb.Close(h), 0);
}

TEST_F(UsbPort, FailedCloseKeepsTheHandleForAnotherTry) {
  const Handle h = usb.Open();
  bridge.closeStatus = 4;
  EXPECT_EQ(usb.Close(h), 0);
  EXPECT_EQ(usb.GetHandle(), h);
  bridge.closeStatus = 0;
  EXPECT_EQ(usb.Close(h), 1);
  EXPECT_EQ(usb.GetHandle(), 0u);
  EXPECT_EQ(bridge.closes.size(), 2u);
}

TEST_F(UsbPort, ReadSetsBothTimeOutsToTheReadsTimeOut) {
  usb.Open();
  bridge.Queue({0xFB, 0x04, 0x99});
  std::uint8_t buffer[2];
  EXPECT_EQ(usb.Read(buffer, 2, 1000), 2);
  EXPECT_EQ(buffer[0], 0xFB);
  EXPECT_EQ(buffer[1], 0x04);
  EXPECT_EQ(usb.Read(buffer, 2, 333), 1);  // short: the rest that stayed queued
  EXPECT_EQ(buffer[0], 0x99);
  EXPECT_EQ(bridge.timeouts, (std::vector<Pair>{{1000, 1000}, {333, 333}}));
  EXPECT_EQ(bridge.readCounts, (std::vector<std::uint32_t>{2, 2}));
}

TEST_F(UsbPort, ReadNeverReportsMoreThanCount) {
  usb.Open();
  bridge.overReport = 100;
  bridge.Queue({1, 2, 3});
  std::uint8_t buffer[2];
  EXPECT_EQ(usb.Read(buffer, 2, 10), 2);
  bridge.queueReport = 0xFFFFFFF0u;
  EXPECT_EQ(usb.GetInQueue(), 0x7FFFFFFF);
}

TEST_F(UsbPort, WriteIsOneTransfer) {
  usb.Open();
  const std::uint8_t data[5] = {0xFA, 0x47, 1, 2, 3};
  EXPECT_EQ(usb.Write(data, 5), 5);
  EXPECT_EQ(bridge.writes, (std::vector<Bytes>{Bytes(data, data + 5)}));
}

TEST_F(UsbPort, TransferSizesAreRequestsThatAlwaysSucceed) {
  EXPECT_EQ(usb.SetInBufferSize(4096), 1);  // closed: stored, device untouched
  EXPECT_EQ(usb.GetInBufferSize(), 4096);
  EXPECT_TRUE(bridge.usbParameters.empty());
  usb.Open();
  EXPECT_EQ(usb.SetInBufferSize(0), 1);
  EXPECT_EQ(usb.SetOutBufferSize(0), 1);
  EXPECT_EQ(usb.SetInBufferSize(8192), 1);
  EXPECT_EQ(usb.SetOutBufferSize(512), 1);
  EXPECT_EQ(usb.SetOutBufferSize(-5), 1);
  EXPECT_EQ(bridge.usbParameters, (std::vector<Pair>{{0, 0}, {0, 0}, {8192, 0}, {0, 512}, {0, 0}}));
  EXPECT_EQ(usb.GetInBufferSize(), 8192);
  EXPECT_EQ(usb.GetOutBufferSize(), -5);
}

TEST_F(UsbPort, PurgeResetAndQueueReportTheBridge) {
  usb.Open();
  bridge.Queue({5, 6});
  EXPECT_EQ(usb.Purge(), 1);
  EXPECT_EQ(bridge.purges, (std::vector<std::uint32_t>{3}));
  std::uint8_t buffer[2];
  EXPECT_EQ(usb.Read(buffer, 2, 0), 0);
  bridge.purgeStatus = 4;
  EXPECT_EQ(usb.Purge(), 0);

  EXPECT_EQ(usb.ResetDevice(), 1);
  bridge.resetStatus = 4;
  EXPECT_EQ(usb.ResetDevice(), 0);
  EXPECT_EQ(bridge.resets, 2);

  bridge.queueReport = 7;
  EXPECT_EQ(usb.GetInQueue(), 7);
}

TEST_F(UsbPort, ClosedOperationsLeaveTheDeviceAlone) {
  std::uint8_t buffer[2];
  const std::uint8_t data[2] = {0xFA, 0x04};
  EXPECT_EQ(usb.Purge(), 0);
  EXPECT_EQ(usb.Read(buffer, 2, 1000), 0);
  EXPECT_EQ(usb.Write(data, 2), 0);
  EXPECT_EQ(usb.GetInQueue(), 0);
  EXPECT_EQ(usb.ResetDevice(), 0);
  EXPECT_EQ(usb.SetOutBufferSize(0), 1);
  EXPECT_TRUE(bridge.purges.empty());
  EXPECT_TRUE(bridge.timeouts.empty());
  EXPECT_TRUE(bridge.writes.empty());
  EXPECT_TRUE(bridge.usbParameters.empty());
  EXPECT_EQ(bridge.resets, 0);
}

TEST(UsbPortLifetime, DestructionClosesTheDevice) {
  FakeBridge bridge;
  {
    CUsb usb;
    usb.SetBridge(bridge.Ops());
    ASSERT_NE(usb.Open(), 0u);
  }
  EXPECT_FALSE(bridge.open);
  EXPECT_EQ(bridge.closes, (std::vector<std::uint32_t>{0x2A}));
}

}  // namespace
}  // namespace omr::test
