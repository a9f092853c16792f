// The pty server as a host sees it: open the link like a serial port, talk,
// close, reopen, survive a hang-up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "sim/firmware.h"
#include "sim/pty_server.h"

namespace omr::sim {
namespace {

using Clock = std::chrono::steady_clock;

int OpenClient(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

// Reads until `count` bytes, the deadline, or a hang-up (then `hungUp` is set).
Bytes ReadBytes(int fd, std::size_t count, int timeoutMs, bool* hungUp = nullptr) {
  Bytes out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) continue;
    std::uint8_t buffer[512];
    const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - out.size()));
    if (n > 0) out.insert(out.end(), buffer, buffer + n);
    if ((p.revents & (POLLHUP | POLLERR)) && n <= 0) {
      if (hungUp) *hungUp = true;
      break;
    }
  }
  return out;
}

Bytes Exchange(int fd, const Bytes& command, std::size_t replyLength, int timeoutMs = 2000) {
  EXPECT_EQ(write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
  return ReadBytes(fd, replyLength, timeoutMs);
}

std::string LinkTarget(const std::string& link) {
  char target[512];
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

class PtyServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    link = ::testing::TempDir() + "/omrsim-test-" + std::to_string(getpid());
    unlink(link.c_str());
    PtyServer::Options options{link, 2000, nullptr, {}};
    options.received = [this](const std::uint8_t* data, std::size_t count) {
      const std::lock_guard<std::mutex> lock(receivedMutex);
      received.insert(received.end(), data, data + count);
    };
    server = std::make_unique<PtyServer>(firmware, options);
    std::string error;
    ASSERT_TRUE(server->Open(error)) << error;
    thread = std::thread([this] {
      std::string error;
      served = server->Serve(error);
    });
  }
  void TearDown() override {
    if (server) server->RequestStop();
    if (thread.joinable()) thread.join();
    EXPECT_TRUE(served);
    server.reset();
    EXPECT_TRUE(LinkTarget(link).empty()) << "link left behind";
  }

  Firmware firmware;
  std::string link;
  std::unique_ptr<PtyServer> server;
  std::thread thread;
  bool served = false;
  std::mutex receivedMutex;
  Bytes received;
};

TEST_F(PtyServerTest, ProbeThroughTheLink) {
  EXPECT_EQ(LinkTarget(link), server->SlavePath());
  const int fd = OpenClient(link);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Exchange(fd, {0xFA, 0x04}, 2), (Bytes{0xFB, 0x04}));
  EXPECT_EQ(Exchange(fd, {0xFA, 0x54}, 4), (Bytes{0xFB, 0x54, 3, 0}));
  close(fd);
}

// Stray bytes and incomplete commands included: what the host wrote, in order.
TEST_F(PtyServerTest, HandsOnEveryByteReceived) {
  const int fd = OpenClient(link);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Exchange(fd, {0x55, 0xFA, 0x04}, 2), (Bytes{0xFB, 0x04}));
  EXPECT_EQ(Exchange(fd, {0xFA, 0x54}, 4), (Bytes{0xFB, 0x54, 3, 0}));
  ASSERT_EQ(write(fd, "\xFA", 1), 1);
  const auto deadline = Clock::now() + std::chrono::seconds(2);
  const Bytes sent{0x55, 0xFA, 0x04, 0xFA, 0x54, 0xFA};
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(receivedMutex);
      if (received.size() >= sent.size() || Clock::now() > deadline) {
        EXPECT_EQ(received, sent);
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  close(fd);
}

TEST_F(PtyServerTest, ReopensAfterTheHostClosesEvenWhenItWasExclusive) {
  for (int round = 0; round < 3; ++round) {
    const int fd = OpenClient(link);
    ASSERT_GE(fd, 0) << "round " << round;
    ioctl(fd, TIOCEXCL);
    EXPECT_EQ(Exchange(fd, {0xFA, 0x04}, 2), (Bytes{0xFB, 0x04}));
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));  // the server clears the flag
  }
}

TEST_F(PtyServerTest, WholeFrameArrivesInPieces) {
  Bytes frame = EmptyFrame();
  frame.resize(3000, 0x11);  // not a real frame: only its length matters here
  firmware.QueueSheet(Sheet{0, frame, "big"});
  const int fd = OpenClient(link);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Exchange(fd, {0xFA, 0x24}, 4), (Bytes{0xFB, 0x24, 0, 0}));
  EXPECT_EQ(Exchange(fd, {0xFA, 0x26}, frame.size()), frame);
  close(fd);
}

TEST_F(PtyServerTest, HangUpMidFrameThenReconnect) {
  firmware.QueueSheet(Sheet{0, Bytes(200, 0x22), "cut"});
  firmware.AddFault(0x26, Fault{FaultKind::HangUp, 50});
  const int fd = OpenClient(link);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Exchange(fd, {0xFA, 0x24}, 4), (Bytes{0xFB, 0x24, 0, 0}));
  ASSERT_EQ(write(fd, "\xFA\x26", 2), 2);
  bool hungUp = false;
  const Bytes part = ReadBytes(fd, 200, 3000, &hungUp);
  EXPECT_EQ(part, Bytes(50, 0x22));
  EXPECT_TRUE(hungUp);
  close(fd);

  // The link moves to a fresh pty (the kernel may give it the old number).
  const auto deadline = Clock::now() + std::chrono::seconds(3);
  while (server->HangUps() == 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(server->HangUps(), 1u);
  EXPECT_EQ(LinkTarget(link), server->SlavePath());
  const int again = OpenClient(link);
  ASSERT_GE(again, 0);
  EXPECT_EQ(Exchange(again, {0xFA, 0x04}, 2), (Bytes{0xFB, 0x04}));
  close(again);
}

#ifdef OMRSIM_PATH
int RunOmrsim(const std::vector<std::string>& args, std::string* output) {
  std::string command = OMRSIM_PATH;
  for (const std::string& a : args) command += " " + a;
  command += " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return -1;
  char buffer[256];
  while (fgets(buffer, sizeof buffer, pipe))
    if (output) *output += buffer;
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OmrsimTest, HelpAndBadArguments) {
  std::string out;
  EXPECT_EQ(RunOmrsim({"--help"}, &out), 0);
  EXPECT_NE(out.find("--link PATH"), std::string::npos);
  EXPECT_NE(out.find("--answers FILE"), std::string::npos);
  out.clear();
  EXPECT_EQ(RunOmrsim({"--bogus"}, &out), 2);
  EXPECT_NE(out.find("unknown option"), std::string::npos);
  EXPECT_EQ(RunOmrsim({"--random", "3"}, nullptr), 2);  // needs --form
  EXPECT_EQ(RunOmrsim({"--fault", "26:boom"}, nullptr), 2);
}

TEST(OmrsimTest, ServesUntilTerminated) {
  const std::string link = ::testing::TempDir() + "/omrsim-proc-" + std::to_string(getpid());
  unlink(link.c_str());
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    execl(OMRSIM_PATH, OMRSIM_PATH, "--link", link.c_str(), "--empty-status", "16", "--verbose", nullptr);
    _exit(127);
  }
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (LinkTarget(link).empty() && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const int fd = OpenClient(link);
  EXPECT_GE(fd, 0);
  if (fd >= 0) {
    EXPECT_EQ(Exchange(fd, {0xFA, 0x04}, 2), (Bytes{0xFB, 0x04}));
    EXPECT_EQ(Exchange(fd, {0xFA, 0x24}, 4), (Bytes{0xFB, 0x24, 16, 0}));
    close(fd);
  }
  kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(LinkTarget(link).empty());
}
#endif

}  // namespace
}  // namespace omr::sim
