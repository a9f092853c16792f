// Finding and connecting the reader: serial candidates from OMR_SERIAL_PORTS
// on pseudo-terminals played by the test, the bridge through a fake backend.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>

#include "api/driver_context.h"
#include "api/driver_module.h"
#include "fake_bridge.h"
#include "pty_pair.h"

namespace omr::test {
namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

const Bytes kProbe{0xFA, 0x04}, kChannels{0xFA, 0x4E}, kVersion{0xFA, 0x54}, kParameters{0xFA, 0x46};

// A reader of version 3.1 with 16 channels and 7 s in its parameter block.
void AnswerEverything(PtyReader& reader) {
  reader.Answer(0x04, {0xFB, 0x04})
      .Answer(0x4E, {0xFB, 0x4E, 0x10, 0x00})
      .Answer(0x54, {0xFB, 0x54, 0x03, 0x01})
      .Answer(0x46, {0xFB, 0x46, 0x00, 0x00, 0x07, 0x00});
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/omr_scan_XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TempDir() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string operator/(const char* leaf) const { return path_ + "/" + leaf; }
  bool Ok() const { return !path_.empty(); }

 private:
  std::string path_;
};

class Scan : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    bridge.present = false;
    ctx->usbPort.SetBridge(bridge.Ops());
  }
  void TearDown() override {
    // Leave no connection behind: unloading would talk to the reader.
    ctx->activePort = nullptr;
  }
  void UsePorts(const std::string& list) {
    env = std::make_unique<ScopedEnv>("OMR_SERIAL_PORTS", list.c_str());
  }

  TempDir dir;
  std::unique_ptr<ScopedEnv> env;
  FakeBridge bridge;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
};

TEST_F(Scan, ReaderOnTheFourthCandidate) {
  const std::string plain = dir / "plain";
  const int fd = open(plain.c_str(), O_CREAT | O_WRONLY, 0600);
  ASSERT_GE(fd, 0);
  close(fd);
  PtyPair silent, pty;
  ASSERT_TRUE(silent.Ok() && pty.Ok());
  PtyReader reader(pty);
  AnswerEverything(reader);
  reader.Start();
  UsePorts(dir / "missing" + ":" + plain + ":" + silent.SlaveName() + ":" + pty.SlaveName());
  ctx->lastError = 5;

  const Handle h = ctx->FindReader();
  reader.Stop();

  ASSERT_NE(h, 0u);
  EXPECT_EQ(h, ctx->portHandle);
  EXPECT_EQ(h, ctx->comPort.GetHandle());
  EXPECT_EQ(ctx->activePort, &ctx->comPort);
  EXPECT_EQ(ctx->comPort.GetName(), pty.SlaveName());
  EXPECT_EQ(ctx->comPort.GetSettings(), "115200,n,8,1");
  EXPECT_EQ(ctx->comPort.GetInBufferSize(), 8192);
  EXPECT_EQ(ctx->comPort.GetOutBufferSize(), 8192);
  EXPECT_EQ(reader.Commands(), (std::vector<Bytes>{kProbe, kChannels, kVersion, kParameters, kVersion}));
  EXPECT_EQ(ctx->channelCount, 16);
  EXPECT_EQ(ctx->sheetWaitMs, 15000);
  EXPECT_EQ(ctx->firmwareVersion, "3.1");
  EXPECT_EQ(ctx->lastError, 0);
  // The silent port got the probe only and was closed before the next candidate.
  EXPECT_EQ(silent.Receive(3, 100), kProbe);
  EXPECT_TRUE(silent.SlaveClosed());
  struct stat info {};
  ASSERT_EQ(stat(plain.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 0);
  EXPECT_EQ(bridge.opens, 0);
}

// Power-on noise waiting in the line would put the probe's reply one byte
// off on every scan.
TEST_F(Scan, StaleBytesInAFreshPortAreDiscarded) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  ASSERT_TRUE(pty.Send({0x00, 0xFB}));
  PtyReader reader(pty);
  AnswerEverything(reader);
  reader.Start();
  UsePorts(pty.SlaveName());
  EXPECT_NE(ctx->FindReader(), 0u);
  reader.Stop();
  EXPECT_EQ(ctx->firmwareVersion, "3.1");
}

// On-board terminals the kernel lists without a UART behind them (type 0)
// are not opened; others, and names sysfs says nothing about, are.
TEST_F(Scan, OnBoardTerminalsWithoutAUartAreSkipped) {
  const std::string sysfs = dir / "tty";
  auto node = [&](const std::string& name, const char* type) {
    const std::string path = sysfs + "/" + name;
    ASSERT_EQ(system(("mkdir -p '" + path + "'").c_str()), 0);
    if (type) {
      FILE* f = fopen((path + "/type").c_str(), "w");
      ASSERT_NE(f, nullptr);
      fputs(type, f);
      fclose(f);
    }
  };
  node("ttyS0", "4\n");
  node("ttyS1", "0\n");
  node("ttyS2", nullptr);
  const struct {
    const char* name;
    bool present;
  } cases[] = {{"/dev/ttyS0", true}, {"/dev/ttyS1", false},  {"/dev/ttyS2", true},
               {"/dev/ttyS9", true}, {"/dev/ttyUSB1", true}, {"/dev/ttySX", true}};
  for (const auto& c : cases) EXPECT_EQ(SerialHardwarePresent(c.name, sysfs), c.present) << c.name;
}

TEST_F(Scan, OlderReaderIsNotAskedForItsParameters) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PtyReader reader(pty);
  AnswerEverything(reader);
  reader.Answer(0x54, {0xFB, 0x54, 0x02, 0x09});
  reader.Start();
  UsePorts(pty.SlaveName());

  ASSERT_NE(ctx->FindReader(), 0u);
  reader.Stop();
  EXPECT_EQ(reader.Commands(), (std::vector<Bytes>{kProbe, kChannels, kVersion, kVersion}));
  EXPECT_EQ(ctx->sheetWaitMs, 2000);
  EXPECT_EQ(ctx->firmwareVersion, "2.9");
}

TEST_F(Scan, ConnectionStandsWithoutTheChannelCount) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PtyReader reader(pty);
  reader.Answer(0x04, {0xFB, 0x04}).Answer(0x54, {0xFB, 0x54, 0x02, 0x00});
  reader.Start();
  UsePorts(pty.SlaveName());
  ctx->channelCount = 7;

  EXPECT_NE(ctx->FindReader(), 0u);
  reader.Stop();
  EXPECT_EQ(ctx->activePort, &ctx->comPort);
  EXPECT_EQ(ctx->channelCount, 7);
  EXPECT_EQ(ctx->lastError, 0);  // the version query after it succeeded
  EXPECT_EQ(ctx->firmwareVersion, "2.0");
}

TEST_F(Scan, NoReaderAnywhere) {
  UsePorts(dir / "one" + "::" + dir / "two");
  ctx->lastError = 5;
  const auto start = Clock::now();
  EXPECT_EQ(ctx->FindReader(), 0u);
  EXPECT_LT(ElapsedMs(start), 500);
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(ctx->portHandle, 0u);
  EXPECT_EQ(ctx->activePort, &ctx->usbPort);
  EXPECT_EQ(bridge.opens, 1);
}

TEST_F(Scan, ReaderOnlyOnTheBridge) {
  UsePorts(dir / "missing");
  bridge.present = true;
  bridge.Answer(0x04, {0xFB, 0x04})
      .Answer(0x4E, {0xFB, 0x4E, 0x20, 0x00})
      .Answer(0x54, {0xFB, 0x54, 0x03, 0x00})
      .Answer(0x46, {0xFB, 0x46, 0x00, 0x00, 0x02, 0x00});

  EXPECT_EQ(ctx->FindReader(), bridge.token);
  EXPECT_EQ(ctx->portHandle, bridge.token);
  EXPECT_EQ(ctx->activePort, &ctx->usbPort);
  EXPECT_EQ(bridge.writes, (std::vector<Bytes>{kProbe, kChannels, kVersion, kParameters, kVersion}));
  ASSERT_FALSE(bridge.timeouts.empty());
  EXPECT_EQ(bridge.timeouts[0], std::make_pair(1000u, 1000u));
  EXPECT_EQ(bridge.purges.size(), 5u);  // the freshly opened bridge, then every set-up command
  using Pair = std::pair<std::uint32_t, std::uint32_t>;
  EXPECT_EQ(bridge.usbParameters, (std::vector<Pair>{{0, 0}, {0, 0}}));
  EXPECT_EQ(ctx->usbPort.GetInBufferSize(), 0);
  EXPECT_EQ(ctx->usbPort.GetOutBufferSize(), 0);
  EXPECT_EQ(ctx->channelCount, 32);
  EXPECT_EQ(ctx->sheetWaitMs, 10000);
  EXPECT_EQ(ctx->firmwareVersion, "3.0");
  EXPECT_EQ(ctx->lastError, 0);
}

TEST_F(Scan, SilentBridgeIsClosedAgain) {
  UsePorts(dir / "missing");
  bridge.present = true;
  EXPECT_EQ(ctx->FindReader(), 0u);
  EXPECT_EQ(ctx->activePort, nullptr);
  EXPECT_EQ(ctx->portHandle, 0u);
  EXPECT_FALSE(bridge.open);
  EXPECT_EQ(bridge.timeouts, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1000, 1000}}));
}

TEST_F(Scan, EmptyCandidateListGoesStraightToTheBridge) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PtyReader reader(pty);
  AnswerEverything(reader);
  reader.Start();
  UsePorts(pty.SlaveName());
  ASSERT_NE(ctx->FindReader(), 0u);
  // A scan without serial names still ends the serial connection before the bridge.
  UsePorts("");
  EXPECT_EQ(ctx->FindReader(), 0u);
  reader.Stop();
  EXPECT_EQ(ctx->comPort.GetHandle(), 0u);
  EXPECT_EQ(bridge.opens, 1);
}

class Module : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.Ok());
    bridge.present = false;
    module->context.usbPort.SetBridge(bridge.Ops());
  }
  void TearDown() override { module->context.activePort = nullptr; }

  TempDir dir;
  FakeBridge bridge;
  std::unique_ptr<DriverModule> module = std::make_unique<DriverModule>();
};

TEST_F(Module, InstalledThenCloseTwice) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PtyReader reader(pty);
  AnswerEverything(reader);
  reader.Start();
  ScopedEnv env("OMR_SERIAL_PORTS", pty.SlaveName().c_str());

  const int token = module->Installed(0);
  reader.Stop();
  ASSERT_GT(token, 0);
  EXPECT_EQ(module->installedValue, token);
  DriverContext& ctx = module->context;
  EXPECT_EQ(ctx.lastError, 0);

  EXPECT_TRUE(module->Close());
  EXPECT_EQ(ctx.lastError, 8);
  EXPECT_EQ(ctx.activePort, nullptr);
  EXPECT_EQ(module->installedValue, 0);
  EXPECT_EQ(ctx.portHandle, static_cast<Handle>(token));  // kept until the next scan
  EXPECT_EQ(ctx.comPort.GetHandle(), 0u);
  EXPECT_TRUE(pty.SlaveClosed());

  ctx.lastError = 3;
  EXPECT_FALSE(module->Close());
  EXPECT_EQ(ctx.lastError, 3);
  EXPECT_EQ(module->installedValue, 0);
}

// A reader that unplugs in the middle of a connection: the next exchange
// fails with 8 at once, and a later scan connects to the reader again.
TEST_F(Module, ReconnectAfterHangUp) {
  const std::string link = dir / "reader";
  ScopedEnv env("OMR_SERIAL_PORTS", link.c_str());
  auto first = std::make_unique<PtyPair>();
  ASSERT_TRUE(first->Ok());
  ASSERT_EQ(symlink(first->SlaveName().c_str(), link.c_str()), 0);
  {
    PtyReader reader(*first);
    AnswerEverything(reader);
    reader.Start();
    ASSERT_GT(module->Installed(0), 0);
  }
  first->HangUp();

  DriverContext& ctx = module->context;
  char version[16] = {};
  const auto start = Clock::now();
  EXPECT_FALSE(QueryVersion(ctx.link, version));
  EXPECT_LT(ElapsedMs(start), 300);
  EXPECT_EQ(ctx.lastError, 8);
  std::uint8_t reply[2];
  const auto readStart = Clock::now();
  EXPECT_EQ(ctx.activePort->Read(reply, 2, 2000), 0);
  EXPECT_LT(ElapsedMs(readStart), 1000);

  PtyPair second;
  ASSERT_TRUE(second.Ok());
  ASSERT_EQ(unlink(link.c_str()), 0);
  ASSERT_EQ(symlink(second.SlaveName().c_str(), link.c_str()), 0);
  PtyReader reader(second);
  AnswerEverything(reader);
  reader.Answer(0x54, {0xFB, 0x54, 0x04, 0x02});
  reader.Start();
  EXPECT_GT(module->Installed(0), 0);
  EXPECT_EQ(ctx.activePort, &ctx.comPort);
  EXPECT_EQ(ctx.firmwareVersion, "4.2");
  EXPECT_TRUE(QueryVersion(ctx.link, version));
  reader.Stop();
  first.reset();
}

// The built library, loaded the way an application loads it, finds a reader
// named in the environment.
TEST(SharedLibrary, InstalledFindsTheReaderNamedInTheEnvironment) {
  PtyPair pty;
  ASSERT_TRUE(pty.Ok());
  PtyReader reader(pty);
  AnswerEverything(reader);
  reader.Start();
  ScopedEnv env("OMR_SERIAL_PORTS", pty.SlaveName().c_str());
  void* lib = dlopen(OMR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << dlerror();
  auto installed = reinterpret_cast<int (*)(int)>(dlsym(lib, "MR_Installed"));
  auto closeReader = reinterpret_cast<unsigned char (*)()>(dlsym(lib, "MR_Close"));
  ASSERT_NE(installed, nullptr);
  ASSERT_NE(closeReader, nullptr);
  EXPECT_GT(installed(0), 0);
  EXPECT_EQ(closeReader(), 1);
  EXPECT_EQ(closeReader(), 0);
  reader.Stop();
  dlclose(lib);
  EXPECT_EQ(reader.Commands().front(), kProbe);
}

}  // namespace
}  // namespace omr::test
