#include "e2e_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace omr::e2e {
namespace {

// The prefix of MR_GetResult for a mode, after a read that left error 0.
std::string Prefix(int mode, char letter) {
  switch (mode) {
    case 1:
      return std::string(1, letter);
    case 2:
      return std::string(1, '\0');
    case 3:
      return std::string(1, letter) + '\0';
    default:
      return {};
  }
}

}  // namespace

Library& Omr() {
  static Library library;
  return library;
}

void LibraryTest::SetUp() {
  std::string error;
  ASSERT_TRUE(Omr().Load(error)) << error;
}

void LibraryTest::TearDown() {
  EXPECT_TRUE(Omr().Unload()) << "the library stayed loaded";
}

void ExpectResult(const ExpectedSheet& want, const std::string& where) {
  static std::vector<char> buffer(16384 + 16);
  for (int mode : {0, 1, 2, 3, 7}) {
    std::memset(buffer.data(), 0x5A, buffer.size());
    const int n = Omr().MR_GetResult(buffer.data(), mode);
    const std::string expected = Prefix(mode, want.letter) + want.text;
    ASSERT_EQ(n, static_cast<int>(expected.size())) << where << " mode " << mode;
    EXPECT_EQ(Printable(std::string(buffer.data(), static_cast<std::size_t>(n))), Printable(expected))
        << where << " mode " << mode;
    EXPECT_EQ(buffer[static_cast<std::size_t>(n)], '\0') << where << " mode " << mode;
    EXPECT_EQ(buffer[static_cast<std::size_t>(n) + 1], 0x5A) << where << " mode " << mode << ": wrote past";
  }
}

void ExpectRead(const ExpectedSheet& want, ReadEntry entry, const std::string& where) {
  Library& omr = Omr();
  int result = -2;
  switch (entry) {
    case ReadEntry::Read:
      result = omr.MR_Read();
      break;
    case ReadEntry::ReadNoWait:
      result = omr.MR_ReadNoWait();
      break;
    case ReadEntry::ReadWithLine:
      result = omr.MR_ReadWithLine(0x1234);
      break;
  }
  if (want.error != 0) {
    EXPECT_EQ(result, -1) << where;
    EXPECT_EQ(omr.MR_GetLastError(), want.error) << where;
    return;
  }
  ASSERT_EQ(result, 0) << where << ": error " << omr.MR_GetLastError();
  ExpectResult(want, where);
}

int Connect(const Simulator& sim) {
  setenv("OMR_SERIAL_PORTS", sim.Link().c_str(), 1);
  return Omr().MR_Installed(0);
}

Simulator* SimulatorSuite::sim_ = nullptr;
std::string SimulatorSuite::startError_;
std::size_t SimulatorSuite::cursor_ = 0;

void SimulatorSuite::StartSuite(const std::vector<std::string>& args, const std::string& form) {
  startError_.clear();
  cursor_ = 0;
  if (!Omr().Load(startError_)) return;
  sim_ = new Simulator;
  if (!sim_->Start(args, startError_)) return;
  if (Connect(*sim_) == 0) {
    startError_ = "no reader found at " + sim_->Link();
    return;
  }
  Omr().MR_Clear();  // loading adds to what an earlier suite loaded
  if (!form.empty() && Omr().MR_LoadForm(form.c_str(), "") != 0)
    startError_ = "cannot load " + form + ": error " + std::to_string(Omr().MR_GetLastError());
  Omr().MR_Close();
}

void SimulatorSuite::StopSuite() {
  if (!Omr().Unload()) std::fprintf(stderr, "the library stayed loaded\n");
  if (!sim_) return;
  if (!sim_->Stop()) std::fprintf(stderr, "omrsim did not stop cleanly\n");
  delete sim_;
  sim_ = nullptr;
}

void SimulatorSuite::SetUp() {
  ASSERT_TRUE(startError_.empty()) << startError_;
  ASSERT_NE(sim_, nullptr);
  ASSERT_NE(Connect(*sim_), 0) << sim_->Log();
}

void SimulatorSuite::TearDown() {
  Omr().MR_Close();
  if (HasFailure()) std::fprintf(stderr, "omrsim log (end):\n%s\n", SimulatorLogTail().c_str());
}

std::string SimulatorSuite::SimulatorLogTail() {
  if (!sim_) return {};
  const std::string log = sim_->Log();
  return log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
}

const ExpectedSheet& SimulatorSuite::TakeSheet() {
  static const ExpectedSheet kNone{-1, 0, {}};
  if (!sim_ || cursor_ >= sim_->Expected().size()) {
    ADD_FAILURE() << "no sheet left in the tray";
    return kNone;
  }
  return sim_->Expected()[cursor_++];
}

std::size_t SimulatorSuite::SheetsLeft() {
  return sim_ ? sim_->Expected().size() - cursor_ : 0;
}

}  // namespace omr::e2e
