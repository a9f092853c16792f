// The serial port against a pseudo-terminal: the test is the reader on the
// master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "port/com.h"
#include "port/com_posix.h"
#include "pty_pair.h"

namespace omr::test {
namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class ComPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.Ok());
    ASSERT_NE(com.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1"), 0u);
  }
  // Waits until the port sees `count` bytes, so that reads need not wait.
  void AwaitQueued(int count) {
    const auto start = Clock::now();
    while (com.GetInQueue() < count && ElapsedMs(start) < 1000)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(com.GetInQueue(), count);
  }

  PtyPair pty;
  CCom com;
};

TEST(ComPortClosed, DefaultsAndClosedOperations) {
  CCom com;
  EXPECT_EQ(com.GetHandle(), 0u);
  EXPECT_EQ(com.GetName(), "\\\\.\\COM1");
  EXPECT_EQ(com.GetSettings(), "9600,n,8,1");
  std::uint8_t buffer[4] = {};
  const std::uint8_t data[2] = {0xFA, 0x04};
  EXPECT_EQ(com.Purge(), 0);
  EXPECT_EQ(com.Read(buffer, 4, 0), 0);
  EXPECT_EQ(com.Write(data, 2), 0);
  EXPECT_EQ(com.GetInQueue(), 0);
  EXPECT_EQ(com.Close(0), 0);
  EXPECT_EQ(com.ResetDevice(), 1);
  EXPECT_EQ(com.SetName("/dev/null-not"), 1);
  EXPECT_EQ(com.SetSettings("x"), 1);
}

TEST(ComPortClosed, QueueSizesOnlyWhileOpen) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  CCom com;
  EXPECT_EQ(com.SetInBufferSize(8192), 0);
  EXPECT_EQ(com.SetOutBufferSize(8192), 0);
  EXPECT_EQ(com.GetInBufferSize(), 0);
  EXPECT_EQ(com.GetOutBufferSize(), 0);
  ASSERT_NE(com.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1"), 0u);
  EXPECT_EQ(com.SetInBufferSize(8192), 1);
  EXPECT_EQ(com.SetOutBufferSize(4096), 1);
  EXPECT_EQ(com.GetInBufferSize(), 8192);
  EXPECT_EQ(com.GetOutBufferSize(), 4096);
  // The sizes survive closing.
  EXPECT_EQ(com.Close(com.GetHandle()), 1);
  EXPECT_EQ(com.GetInBufferSize(), 8192);
}

TEST(ComPortClosed, NamesThatAreNoSerialDeviceFailToOpen) {
  char dir[] = "/tmp/omr_com_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/plain";
  const int fd = open(file.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  const std::string fifo = std::string(dir) + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  for (const std::string& name :
       {std::string(dir) + "/missing", file, std::string(dir), fifo, std::string()}) {
    CCom com;
    EXPECT_EQ(com.OpenWith(name.c_str(), "115200,n,8,1"), 0u) << name;
    EXPECT_EQ(com.GetHandle(), 0u) << name;
  }
  struct stat info {};
  ASSERT_EQ(stat(file.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);  // nothing was written into the file
  unlink(fifo.c_str());
  unlink(file.c_str());
  rmdir(dir);
}

TEST(ModeString, FieldsMapToTerminalFlags) {
  struct Case {
    const char* settings;
    speed_t speed;
    tcflag_t size;
    tcflag_t parityFlags;  // of PARENB, PARODD, CMSPAR
    bool twoStops;
  };
  const Case cases[] = {
      {"115200,n,8,1", B115200, CS8, 0, false},
      {"9600,e,7,2", B9600, CS7, PARENB, true},
      {"19200,O,8,1", B19200, CS8, PARENB | PARODD, false},
      {"4800,m,7,1", B4800, CS7, PARENB | PARODD | CMSPAR, false},
      {"2400,s,7,1", B2400, CS7, PARENB | CMSPAR, false},
      {"96,n,8,1", B9600, CS8, 0, false},
      {" 57600 , n , 6 , 1 ", B57600, CS6, 0, false},
      {"1200,n,5,1.5", B1200, CS5, 0, true},
      // Fields left out keep the current values (here 7 data bits, even parity, two stops).
      {"38400", B38400, CS7, PARENB, true},
      {"38400,,,", B38400, CS7, PARENB, true},
  };
  for (const Case& c : cases) {
    termios tio{};
    tio.c_cflag = CS7 | PARENB | CSTOPB | CRTSCTS;
    tio.c_lflag = ICANON | ECHO | ISIG;
    tio.c_iflag = IXON | ICRNL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 5;
    ASSERT_TRUE(ApplyModeString(c.settings, tio)) << c.settings;
    EXPECT_EQ(cfgetispeed(&tio), c.speed) << c.settings;
    EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.settings;
    EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.settings;
    EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parityFlags) << c.settings;
    EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.twoStops) << c.settings;
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << c.settings;
    EXPECT_EQ(tio.c_iflag & (IXON | ICRNL), 0u) << c.settings;
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u) << c.settings;
    EXPECT_NE(tio.c_cflag & CREAD, 0u) << c.settings;
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u) << c.settings;
    EXPECT_EQ(tio.c_cc[VMIN], 0) << c.settings;
    EXPECT_EQ(tio.c_cc[VTIME], 0) << c.settings;
  }
}

const char* const kUnparsable[] = {"",
                                   "abc",
                                   "115200,q,8,1",
                                   "115200,n,9,1",
                                   "115200,n,8,3",
                                   "115200,n,8,1.5",
                                   "115200,n,8,1,x",
                                   "12345,n,8,1",
                                   "115200;n;8;1",
                                   "-9600,n,8,1",
                                   "115200,ne,8,1",
                                   "115200,n,8,1 2"};

TEST(ModeString, UnparsableTextsAreRefused) {
  for (const char* bad : kUnparsable) {
    termios tio{};
    EXPECT_FALSE(ApplyModeString(bad, tio)) << bad;
  }
}

// The settings reach the terminal; a text that cannot be parsed fails the
// open and leaves the device closed.
TEST(ComPortClosed, SettingsReachTheTerminal) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  {
    CCom com;
    ASSERT_NE(com.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1"), 0u);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);  // a master reports its slave's settings
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
  }
  {
    CCom com;
    ASSERT_NE(com.OpenWith(pty.SlaveName().c_str(), "9600,n,8,2"), 0u);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.Master(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
  }
  for (const char* bad : kUnparsable) {
    CCom com;
    EXPECT_EQ(com.OpenWith(pty.SlaveName().c_str(), bad), 0u) << bad;
    EXPECT_EQ(com.GetHandle(), 0u) << bad;
    EXPECT_TRUE(pty.SlaveClosed()) << bad;
  }
}

// A port of another device, say a terminal at 9600 baud with echo, comes
// back from a probe as it was.
TEST(ComPortClosed, CloseRestoresTheTerminalsSettings) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  termios before{};
  ASSERT_EQ(tcgetattr(pty.Master(), &before), 0);
  before.c_lflag |= ICANON | ECHO;
  cfsetispeed(&before, B9600);
  cfsetospeed(&before, B9600);
  ASSERT_EQ(tcsetattr(pty.Master(), TCSANOW, &before), 0);
  CCom com;
  const Handle h = com.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1");
  ASSERT_NE(h, 0u);
  termios during{};
  ASSERT_EQ(tcgetattr(pty.Master(), &during), 0);
  EXPECT_EQ(during.c_lflag & (ICANON | ECHO), 0u);
  ASSERT_EQ(com.Close(h), 1);
  termios after{};
  ASSERT_EQ(tcgetattr(pty.Master(), &after), 0);
  EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  EXPECT_EQ(after.c_cflag, before.c_cflag);
}

TEST(ComPortClosed, HandleIsNonZeroOnDescriptorZero) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  const int savedStdin = dup(0);
  ASSERT_GE(savedStdin, 0);
  close(0);
  CCom com;
  const Handle h = com.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1");
  const std::uint8_t data[1] = {0x55};
  const int written = com.Write(data, 1);
  const int closed = com.Close(h);
  dup2(savedStdin, 0);
  close(savedStdin);
  EXPECT_NE(h, 0u);
  EXPECT_EQ(written, 1);
  EXPECT_EQ(closed, 1);
}

TEST_F(ComPort, OpenIsExclusive) {
  CCom other;
  EXPECT_EQ(other.OpenWith(pty.SlaveName().c_str(), "115200,n,8,1"), 0u);
  ASSERT_EQ(com.Close(com.GetHandle()), 1);
  EXPECT_NE(other.Open(), 0u);
}

TEST_F(ComPort, CloseOnlyWithItsOwnHandle) {
  PtyPair otherPty;
  ASSERT_TRUE(otherPty.Ok());
  CCom other;
  const Handle otherHandle = other.OpenWith(otherPty.SlaveName().c_str(), "115200,n,8,1");
  ASSERT_NE(otherHandle, 0u);
  ASSERT_NE(otherHandle, com.GetHandle());

  const Handle mine = com.GetHandle();
  EXPECT_EQ(com.Close(otherHandle), 0);
  EXPECT_EQ(com.Close(0), 0);
  EXPECT_EQ(com.GetHandle(), mine);
  const std::uint8_t data[1] = {0x42};
  EXPECT_EQ(com.Write(data, 1), 1);  // still open
  EXPECT_EQ(pty.Receive(1, 500), Bytes{0x42});
  EXPECT_EQ(com.Close(mine), 1);
  EXPECT_EQ(com.GetHandle(), 0u);
  EXPECT_EQ(com.Close(mine), 0);
  EXPECT_TRUE(pty.SlaveClosed());
}

TEST_F(ComPort, OpenAgainClosesTheDeviceFirst) {
  // An exclusive device that was not closed first could not be opened again.
  EXPECT_NE(com.Open(), 0u);
  EXPECT_NE(com.OpenWith(pty.SlaveName().c_str(), "9600,n,8,1"), 0u);
  EXPECT_EQ(com.GetSettings(), "9600,n,8,1");
}

TEST_F(ComPort, ReadReturnsAsSoonAsTheCountIsComplete) {
  // Half the answer is there at once, the rest comes later.
  ASSERT_TRUE(pty.Send({0xFB, 0x04}));
  std::thread reader([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    pty.Send({0x03, 0x01});
  });
  std::uint8_t buffer[4] = {};
  const auto start = Clock::now();
  const int got = com.Read(buffer, 4, 3000);
  const long elapsed = ElapsedMs(start);
  reader.join();
  EXPECT_EQ(got, 4);
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{0xFB, 0x04, 0x03, 0x01}));
  EXPECT_LT(elapsed, 1500);  // not the time-out
}

TEST_F(ComPort, ShortReadEndsAtTheTimeOut) {
  ASSERT_TRUE(pty.Send({0xFB, 0x24}));
  AwaitQueued(2);
  std::uint8_t buffer[4] = {};
  const auto start = Clock::now();
  EXPECT_EQ(com.Read(buffer, 4, 120), 2);
  const long elapsed = ElapsedMs(start);
  EXPECT_FALSE(com.HungUp());  // silence is no hang-up
  EXPECT_GE(elapsed, 120);
  EXPECT_LT(elapsed, 1000);
  EXPECT_EQ(buffer[0], 0xFB);
  EXPECT_EQ(buffer[1], 0x24);
}

TEST_F(ComPort, ReadNeverTakesMoreThanCount) {
  ASSERT_TRUE(pty.Send({1, 2, 3, 4, 5, 6}));
  AwaitQueued(6);
  std::uint8_t buffer[8];
  std::fill(std::begin(buffer), std::end(buffer), 0xEE);
  const auto start = Clock::now();
  EXPECT_EQ(com.Read(buffer, 4, 1000), 4);
  EXPECT_LT(ElapsedMs(start), 500);
  EXPECT_EQ(Bytes(buffer, buffer + 8), (Bytes{1, 2, 3, 4, 0xEE, 0xEE, 0xEE, 0xEE}));
  EXPECT_EQ(com.GetInQueue(), 2);
  EXPECT_EQ(com.Read(buffer, 4, 0), 2);
  EXPECT_EQ(buffer[0], 5);
  EXPECT_EQ(buffer[1], 6);
}

TEST_F(ComPort, WritePausesAfterEveryByte) {
  const std::uint8_t data[5] = {0xFA, 0x21, 0x00, 0x7F, 0xFF};
  const auto start = Clock::now();
  EXPECT_EQ(com.Write(data, 5), 5);
  EXPECT_GE(ElapsedMs(start), 15);
  EXPECT_EQ(pty.Receive(5, 500), Bytes(data, data + 5));
}

TEST_F(ComPort, PurgeDiscardsWhatArrived) {
  ASSERT_TRUE(pty.Send({7, 8, 9}));
  AwaitQueued(3);
  EXPECT_NE(com.Purge(), 0);
  EXPECT_EQ(com.GetInQueue(), 0);
  std::uint8_t buffer[3];
  EXPECT_EQ(com.Read(buffer, 3, 0), 0);
}

// A reader that unplugs: reads stop at once instead of waiting out the
// time-out, writes count nothing, and the handle can still be closed.
TEST_F(ComPort, HangUpEndsReadsAtOnce) {
  pty.HangUp();
  std::uint8_t buffer[2];
  const auto start = Clock::now();
  EXPECT_EQ(com.Read(buffer, 2, 3000), 0);
  EXPECT_LT(ElapsedMs(start), 1000);
  EXPECT_TRUE(com.HungUp());
  const std::uint8_t data[2] = {0xFA, 0x04};
  EXPECT_EQ(com.Write(data, 2), 0);
  EXPECT_EQ(com.Purge(), 0);
  EXPECT_EQ(com.Close(com.GetHandle()), 1);
}

}  // namespace
}  // namespace omr::test
