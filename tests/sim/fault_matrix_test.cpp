// Every command of the protocol against a simulated reader that fails it in
// each way a line can fail: no reply, a short reply, a wrong code, a
// non-zero status, a reply later than its time-out, a hang-up in the middle.
// The operation answers its failure value and code, takes no longer than its
// time-outs, leaves the form store and the last sheet's grid alone, and the
// next call of it works.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "form/form_loader.h"
#include "sim/firmware.h"
#include "sim/sim_port.h"
#include "sim/synth.h"

namespace omr::sim {
namespace {

enum Kind : unsigned {
  kSilence = 1,
  kShort = 2,
  kWrongCode = 4,
  kStatus = 8,
  kDelay = 16,
  kHangUp = 32,
};
constexpr unsigned kLineFaults = kSilence | kShort | kWrongCode | kDelay | kHangUp;
constexpr unsigned kAllFaults = kLineFaults | kStatus;

constexpr int kUnchanged = INT_MIN;   // lastError keeps the value it had
constexpr int kAnyFailure = INT_MIN;  // any result but the success value
constexpr int kSentinelError = 77;
constexpr int kLateMs = 30000;  // later than every time-out of the protocol

struct Rig {
  Firmware firmware;
  SimPort port{firmware};
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
  std::uint8_t arg[1024] = {};
  char text[64] = {};
};

struct Row {
  const char* name;
  std::uint8_t code;              // the command the fault is put on
  std::function<int(Rig&)> call;  // the operation behind the export
  int success;                    // its success value
  int failure;                    // its failure value (kAnyFailure: not the success value)
  unsigned kinds;                 // faults that apply
  int lineError = 8;              // code after silence, short, late or hang-up
  int wrongError = 8;             // code after a wrong reply code
  int statusError = 3;            // code after the status fault
  int budgetMs = 333;             // sum of the operation's read time-outs
  int shortBytes = -1;            // bytes of a short reply (-1: all but the last)
  int hangUpBytes = -1;           // bytes before the hang-up (-1: half)
  bool replyIgnored = false;      // the reply is not tested: the operation succeeds
  bool noPurge = false;           // sent without a purge: the rest of a bad reply is read next
  int hangUpError = -1;           // code after a hang-up (-1: lineError)
};

int SysCmd(Rig& r, int code) {
  return r.ctx->SysCmd(code, r.arg);
}

std::vector<Row> Rows() {
  const auto sys = [](int code) { return [code](Rig& r) { return SysCmd(r, code); }; };
  const auto sysArg = [](int code, std::vector<std::uint8_t> in) {
    return [code, in](Rig& r) {
      std::memcpy(r.arg, in.data(), in.size());
      return SysCmd(r, code);
    };
  };
  const int read = 8000 + 2000 + 4 * 333;
  std::vector<std::uint8_t> block(128, 'x');
  return {
      {"StartMotor", 0x01, [](Rig& r) { return r.ctx->StartMotor(); }, 0x01FB, kAnyFailure, kLineFaults, 8, 8,
       3, 2000},
      {"StopMotor", 0x02, [](Rig& r) { return r.ctx->StopMotor(); }, 0x02FB, kAnyFailure, kLineFaults, 8, 8,
       3, 2000},
      {"PassSheet", 0x03, [](Rig& r) { return int{r.ctx->PassSheet()}; }, 1, 0, kLineFaults, 8, 8, 3, 2000},
      {"SysCmd22", 0x05, sys(22), 1, 0, kLineFaults, 8, 8, 3, 2000},
      // The settings answer of a download is read and dropped.
      {"DownloadSettings", 0x06, [](Rig& r) { return int{r.ctx->FinishForm()}; }, 1, 0,
       kSilence | kShort | kWrongCode, 8, 8, 3, 666, -1, -1, true},
      {"DownloadBlock", 0x21, [](Rig& r) { return int{r.ctx->FinishForm()}; }, 1, 0, kAllFaults, 8, 8, 8,
       666},
      {"Clear", 0x23,
       [](Rig& r) {
         r.ctx->Clear();
         return r.ctx->lastError == kSentinelError ? 1 : 0;
       },
       1, 0, kLineFaults, 8, 8, 3, 666},
      // No status reply: "No sheet!" from a 3.0 reader, unless the line hung up.
      {"Read", 0x24, [](Rig& r) { return r.ctx->Read(); }, 0, -1, kAllFaults, 16, 8, 3, read, -1, -1, false,
       false, 8},
      {"ReadWithLine", 0x2B, [](Rig& r) { return r.ctx->ReadWithLine(20); }, 0, -1, kAllFaults, 16, 8, 3,
       read, -1, -1, false, false, 8},
      {"ReadData", 0x26, [](Rig& r) { return r.ctx->Read(); }, 0, -1, kLineFaults, 8, 8, 3, read},
      {"IsReading", 0x25, [](Rig& r) { return r.ctx->IsReading(); }, 0, -1, kLineFaults, 8, 8, 3, 333},
      {"StopRead", 0x27, [](Rig& r) { return r.ctx->StopRead(); }, 0x27FB, kAnyFailure, kLineFaults, 8, 8, 3,
       333},
      {"SysCmd13", 0x29, sysArg(13, {3}), 1, 0, kAllFaults, 8, 8, 3, 333 + 5000 + 2000},
      {"SysCmd24", 0x29, sys(24), 1, 0, kAllFaults, 8, 8, 3, 333 + 5000 + 2000},
      // Pair captures take whatever data comes after the header: a reply cut
      // inside the header fails.
      {"SysCmd10", 0x32, sysArg(10, {2}), 1, 0, kAllFaults, 8, 8, 3, 333 + 2000 + 820, 1, 1},
      {"SysCmd30", 0x35, sys(30), 1, 0, kAllFaults, 8, 8, 3, 2000 + 820, 1, 1},
      {"SysCmd12", 0x33, sys(12), 1, 0, kLineFaults, 8, 8, 3, 333},
      {"SysCmd3", 0x41, sys(3), 1, 0, kLineFaults, 8, 8, 3, 666},
      {"SysCmd4", 0x42, sys(4), 1, 0, kAllFaults, 8, 8, 3, 333 + 1200 + 1200},
      {"SysCmd5", 0x43, sys(5), 1, 0, kAllFaults, 8, 8, 8, 1000},
      {"SysCmd6", 0x44, sys(6), 1, 0, kAllFaults, 8, 8, 3, 1333},
      {"SysCmd7", 0x45, sys(7), 1, 0, kAllFaults, 8, 8, 8, 1000},
      {"SysCmd8", 0x46, sys(8), 1, 0, kLineFaults, 8, 8, 3, 1000},
      {"SysCmd9", 0x47, sysArg(9, {0, 0, 0, 0}), 1, 0, kAllFaults, 8, 8, 8, 1000},
      // The serial text is read up to 20 bytes: a reply cut after FB fails.
      {"GetSerial", 0x48, [](Rig& r) { return r.ctx->GetSerial(r.text) > 0 ? 1 : -1; }, 1, -1, kLineFaults, 8,
       8, 3, 333, 1, 1},
      {"ReadTotal", 0x4A,
       [](Rig& r) {
         r.ctx->ReadTotal();
         return r.ctx->lastError == kSentinelError ? 1 : 0;
       },
       1, 0, kLineFaults, 8, 8, 3, 333},
      {"SysCmd14", 0x4B, sysArg(14, {1, 2, 3, 4}), 1, 0, kAllFaults, 8, 8, 8, 333},
      {"SysCmd15", 0x4C, sys(15), 1, 0, kLineFaults, 8, 8, 3, 333},
      {"SysCmd16", 0x4D, sysArg(16, {1, 2}), 1, 0, kAllFaults, 8, 8, 8, 1000},
      {"SysCmd17", 0x4E, sys(17), 1, 0, kLineFaults, 8, 8, 3, 333},
      {"SysCmd18", 0x4F, sysArg(18, {'A', 'B', '1', '2', '3', '4', '5', '6'}), 1, 0, kAllFaults, 8, 8, 8,
       333},
      {"SysCmd19", 0x51, sysArg(19, block), 1, 0, kAllFaults, 8, 8, 8, 333 + 1000},
      {"SysCmd20", 0x52, sys(20), 1, 0, kLineFaults, 8, 8, 3, 333},
      {"SysCmd21", 0x53, sysArg(21, {4, 3, 2, 1}), 1, 0, kAllFaults, 8, 8, 8, 333},
      {"SysCmd23", 0x54, sys(23), 1, 0, kLineFaults, 8, 8, 3, 333},
      {"SysCmd26", 0x60, sys(26), 1, 0, kAllFaults, 8, 8, 8, 666},
      {"SysCmd27", 0x61, sys(27), 1, 0, kAllFaults, 8, 8, 8, 666},
      // The user-text commands never set an error code.
      {"SysCmd28", 0x62, sysArg(28, {'h', 'e', 'l', 'l', 'o', 0}), 1, 0, kAllFaults, kUnchanged, kUnchanged,
       kUnchanged, 1000},
      {"SysCmd29", 0x63, sys(29), 1, 0, kLineFaults, kUnchanged, kUnchanged, kUnchanged, 1000 + 333 + 333, -1,
       -1, false, true},
  };
}

struct Case {
  Row row;
  Kind kind;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.row.name << " fault " << c.kind;
}

std::string CaseName(const testing::TestParamInfo<Case>& info) {
  static const char* const kNames[] = {"Silence", "Short", "WrongCode", "Status", "Delay", "HangUp"};
  int bit = 0;
  while ((1u << bit) != info.param.kind) ++bit;
  return std::string(info.param.row.name) + "_" + kNames[bit];
}

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const Row& row : Rows())
    for (unsigned k = 1; k <= kHangUp; k <<= 1)
      if ((row.kinds & k) != 0) cases.push_back({row, static_cast<Kind>(k)});
  return cases;
}

const char* const kForm[] = {
    "\"T A 002 47/\"",
    "\"L 020 30 24/\"",
    "\"M 001 01 20/\"",
    "\"D 01 ABCD/\"",
    "\"D 02 8421/\"",
    "\"F   5   3U S  1   4R 0/\"",
    "\"F  10   3U B  2   1R 0/\"",
};

class FaultMatrix : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    rig_.port.Open();
    DriverContext& c = *rig_.ctx;
    c.activePort = &rig_.port;
    c.portHandle = rig_.port.GetHandle();
    c.channelCount = 48;
    c.sheetWaitMs = 8000;
    c.firmwareVersion = "3.0";
    for (const char* line : kForm) ASSERT_TRUE(StoreFormLine(c.forms, line)) << line;
    ASSERT_TRUE(c.FinishForm());
    for (int i = 0; i < 4; ++i) QueueSheet("ABCD5");
    // A sheet read first, so that the grid holds something to keep.
    ASSERT_EQ(c.Read(), 0) << "error " << c.lastError;
    ASSERT_GT(c.frame.lines, 0);
    // A stored text, so that a missing CRC byte cannot match by chance.
    const char stored[] = "stored text";
    rig_.firmware.SetStoredUserText(Bytes(stored, stored + sizeof stored - 1));
  }

  void TearDown() override { rig_.ctx->activePort = nullptr; }

  void QueueSheet(const std::string& answers) {
    SheetPlan plan;
    for (char a : answers) plan.answers.push_back(Answer::Char(a));
    SynthesizedSheet sheet;
    std::string error;
    ASSERT_TRUE(Synthesize(rig_.ctx->forms, plan, sheet, error)) << error;
    rig_.firmware.QueueSheet(Sheet{0, sheet.frame, "sheet"});
  }

  Fault FaultFor(const Row& row, Kind kind) const {
    switch (kind) {
      case kSilence:
        return Fault{FaultKind::Silence};
      case kShort:
        return Fault{FaultKind::ShortReply, row.shortBytes};
      case kWrongCode:
        return Fault{FaultKind::WrongCode};
      case kStatus:
        return Fault{FaultKind::Status};
      case kDelay:
        return Fault{FaultKind::Delay, kLateMs};
      case kHangUp:
        return Fault{FaultKind::HangUp, row.hangUpBytes};
    }
    return Fault{};
  }

  Rig rig_;
};

// What a failure must leave as it was.
struct Kept {
  explicit Kept(const DriverContext& c)
      : forms(std::make_unique<FormDefinition>(c.forms)), lines(c.frame.lines), columns(c.frame.columns) {
    std::memcpy(cells, c.frame.cells, sizeof cells);
  }
  std::unique_ptr<FormDefinition> forms;
  std::int32_t lines, columns;
  std::uint8_t cells[kFrameArea];
};

bool SameLayouts(const FormDefinition& a, const FormDefinition& b) {
  return std::memcmp(a.layouts, b.layouts, sizeof a.layouts) == 0 &&
         std::memcmp(a.parameterBlock, b.parameterBlock, sizeof a.parameterBlock) == 0 &&
         a.errorCode == b.errorCode && a.currentIndex == b.currentIndex;
}

TEST_P(FaultMatrix, FailsCleanlyAndRecovers) {
  const Row& row = GetParam().row;
  const Kind kind = GetParam().kind;
  DriverContext& c = *rig_.ctx;
  const Kept before(c);
  c.lastError = kSentinelError;
  rig_.firmware.AddFault(row.code, FaultFor(row, kind));

  const std::int64_t virtualStart = rig_.port.NowMs();
  const auto realStart = std::chrono::steady_clock::now();
  const int result = row.call(rig_);
  const auto realMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - realStart)
          .count();

  EXPECT_EQ(rig_.firmware.FaultsPending(), 0u) << "the fault never fired";
  if (row.replyIgnored) {
    EXPECT_EQ(result, row.success);
  } else {
    if (row.failure == kAnyFailure)
      EXPECT_NE(result, row.success);
    else
      EXPECT_EQ(result, row.failure);
    const int expected = kind == kStatus                           ? row.statusError
                         : kind == kWrongCode                      ? row.wrongError
                         : kind == kHangUp && row.hangUpError >= 0 ? row.hangUpError
                                                                   : row.lineError;
    EXPECT_EQ(c.lastError, expected == kUnchanged ? kSentinelError : expected);
  }
  EXPECT_LE(rig_.port.NowMs() - virtualStart, row.budgetMs) << "waited past the time-outs";
  EXPECT_LT(realMs, 1000);
  EXPECT_TRUE(SameLayouts(*before.forms, c.forms)) << "the form store changed";
  EXPECT_EQ(c.frame.lines, before.lines);
  EXPECT_EQ(c.frame.columns, before.columns);
  EXPECT_EQ(std::memcmp(c.frame.cells, before.cells, sizeof before.cells), 0) << "the grid changed";

  // The application reconnects after a hang-up and waits out a late reply.
  if (rig_.port.HungUp()) rig_.port.Open();
  rig_.port.AdvanceMs(kLateMs + 1000);
  // The rest of a bad reply stays in the port until a command that purges.
  if (row.noPurge) {
    EXPECT_EQ(c.SysCmd(23, rig_.arg), 1);
  }
  c.lastError = kSentinelError;
  EXPECT_EQ(row.call(rig_), row.success) << "the next call failed with " << c.lastError;
}

INSTANTIATE_TEST_SUITE_P(Commands, FaultMatrix, testing::ValuesIn(Cases()), CaseName);

}  // namespace
}  // namespace omr::sim
