// The read loop against a scripted reader: what each read's code and grid
// make of a sheet, how a run ends, when the transport is stopped, and a stop
// asked from another thread while the loop runs on its own.
#include "read_loop.h"

#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <stop_token>
#include <thread>

namespace omr::reading {
namespace {

// One read: its code and the grid copy the library holds afterwards (empty: none).
struct Step {
  int code;
  std::vector<std::uint8_t> grid;
};

std::vector<std::uint8_t> Grid(std::uint8_t cell) {
  return {1, 2, cell, static_cast<std::uint8_t>(0xF0 | cell)};  // 1 x 2; high bits are no part of a value
}

class ScriptedReader final : public Reader {
 public:
  ScriptedReader(std::string version, std::deque<Step> steps) : version_(std::move(version)), steps_(steps) {}
  int Read() override {
    if (steps_.empty()) return 16;
    const Step s = steps_.front();
    steps_.pop_front();
    if (!s.grid.empty()) grid_ = s.grid;
    return s.code;
  }
  std::string Result(int mode) override { return mode == 1 ? "A" : "ABC"; }
  bool GridCopy(std::vector<std::uint8_t>& copy) override {
    copy = grid_;
    return !grid_.empty();
  }
  bool Version(std::string& version) override {
    ++versionAsked;
    version = answers ? version_ : "";
    return answers;
  }
  bool StopTransport() override { return ++stopped > 0; }

  bool answers = true;  // false: gone (it does not tell its version)
  int versionAsked = 0;
  int stopped = 0;

 private:
  std::string version_;
  std::deque<Step> steps_;
  std::vector<std::uint8_t> grid_;
};

class Recorder final : public SheetHandler {
 public:
  SheetVerdict Take(FedSheet& sheet) override {
    sheets.push_back(sheet);
    return {sheet.code != 0, stopAt == sheet.number};
  }
  std::vector<FedSheet> sheets;
  int stopAt = 0;
};

TEST(ReadLoop, EachReadBecomesAnOutcomeAndARunEndsAsItShould) {
  using O = SheetOutcome;
  struct Case {
    const char* what;
    std::string version;
    std::deque<Step> steps;
    bool answersAtTheEnd;
    LoopOptions options;
    std::vector<O> outcomes;
    LoopEnd end;
    bool transportStopped;
  };
  const Case cases[] = {
      {"read, not recognised, refused with the last grid, CRC, empty tray (3.0)",
       "3.0",
       {{0, Grid(1)}, {7, Grid(2)}, {5, {}}, {20, {}}, {16, {}}},
       true,
       {},
       {O::Read, O::NotRecognised, O::FeedAgain, O::FeedAgain},
       LoopEnd::TrayEmpty,
       false},
      {"error 8 from a reader before 3.0 that still answers: the tray is empty",
       "2.1",
       {{0, Grid(1)}, {8, {}}},
       true,
       {},
       {O::Read},
       LoopEnd::TrayEmpty,
       false},
      {"error 8 from one that does not: it is gone",
       "2.1",
       {{0, Grid(1)}, {8, {}}},
       false,
       {},
       {O::Read},
       LoopEnd::ReaderGone,
       false},
      {"error 8 from 3.0: gone", "3.0", {{8, {}}}, true, {}, {}, LoopEnd::ReaderGone, false},
      {"the count",
       "3.0",
       {{0, Grid(1)}, {0, Grid(2)}, {0, Grid(3)}},
       true,
       {2, 0, 1, 0},
       {O::Read, O::Read},
       LoopEnd::Count,
       false},
      {"failures in a row, with a good sheet between",
       "3.0",
       {{3, {}}, {0, Grid(1)}, {3, {}}, {4, Grid(2)}, {0, Grid(3)}},
       true,
       {0, 2, 1, 0},
       {O::FeedAgain, O::Read, O::FeedAgain, O::NotRecognised},
       LoopEnd::TooManyFailures,
       true},
  };
  for (const Case& c : cases) {
    ScriptedReader reader(c.version, c.steps);
    ReadLoop loop(reader, c.options);
    reader.answers = c.answersAtTheEnd;
    Recorder handler;
    const LoopReport report = loop.Run(handler, nullptr);
    std::vector<O> outcomes;
    for (const FedSheet& s : handler.sheets) outcomes.push_back(s.outcome);
    EXPECT_EQ(outcomes, c.outcomes) << c.what;
    EXPECT_EQ(report.end, c.end) << c.what;
    EXPECT_EQ(reader.stopped > 0, c.transportStopped) << c.what;
    EXPECT_EQ(report.fed, static_cast<int>(c.outcomes.size())) << c.what;
  }
}

TEST(ReadLoop, ASheetCarriesItsOwnGridAndResultOnly) {
  ScriptedReader reader("3.0", {{0, Grid(9)}, {7, {}}, {0, Grid(4)}});
  ReadLoop loop(reader, {0, 0, 11, 0});
  Recorder handler;
  handler.stopAt = 13;  // the third could not be kept
  const LoopReport report = loop.Run(handler, nullptr);
  ASSERT_EQ(handler.sheets.size(), 3u);
  const FedSheet& first = handler.sheets[0];
  EXPECT_EQ(first.number, 11);
  EXPECT_EQ((std::vector<int>{first.lines, first.columns}), (std::vector<int>{1, 2}));
  EXPECT_EQ(first.cells, (std::vector<std::uint8_t>{9, 9}));
  EXPECT_EQ(first.result, "ABC");
  EXPECT_EQ(first.letter, 'A');
  // Refused with the grid of the sheet before: no grid, no result.
  EXPECT_EQ(handler.sheets[1].outcome, SheetOutcome::FeedAgain);
  EXPECT_TRUE(handler.sheets[1].cells.empty() && handler.sheets[1].result.empty());
  EXPECT_EQ(report.end, LoopEnd::SheetNotKept);
  EXPECT_EQ(reader.stopped, 1);
  EXPECT_EQ(reader.versionAsked, 1);  // once, at the start
}

// The loop on a thread of its own: a stop asked while a sheet is being kept
// ends the run after that sheet, with the transport stopped.
TEST(ReadLoop, AStopFromAnotherThreadFinishesTheSheetInFlight) {
  ScriptedReader reader("3.0", {{0, Grid(1)}, {0, Grid(2)}, {0, Grid(3)}});
  ReadLoop loop(reader, {});
  struct Blocking final : SheetHandler {
    std::promise<void> taking;
    std::promise<void> mayGo;
    int taken = 0;
    SheetVerdict Take(FedSheet&) override {
      if (++taken == 1) {
        taking.set_value();
        mayGo.get_future().wait();
      }
      return {};
    }
  } handler;
  std::stop_source stop;
  LoopReport report;
  std::thread reading([&] { report = loop.Run(handler, [&] { return stop.stop_requested(); }); });
  handler.taking.get_future().wait();
  stop.request_stop();
  handler.mayGo.set_value();
  reading.join();
  EXPECT_EQ(report.end, LoopEnd::Stopped);
  EXPECT_EQ(report.fed, 1);
  EXPECT_EQ(handler.taken, 1);
  EXPECT_EQ(reader.stopped, 1);
}

// A station that reads all day: an empty tray is waited out (told once each
// time it runs empty), sheets added later go on in the same numbering, and a
// stop during the wait ends the run as stopped.
TEST(ReadLoop, WaitingOnAnEmptyTrayGoesOnUntilAStop) {
  ScriptedReader reader("3.0", {{0, Grid(1)}, {16, {}}, {16, {}}, {16, {}}, {0, Grid(2)}, {0, Grid(3)}});
  LoopOptions options;
  options.waitMs = 1;
  ReadLoop loop(reader, options);
  struct Station final : SheetHandler {
    std::vector<int> taken;
    std::vector<int> waits;
    SheetVerdict Take(FedSheet& sheet) override {
      taken.push_back(sheet.number);
      return {};
    }
    void Waiting(int number) override { waits.push_back(number); }
  } handler;
  const LoopReport report = loop.Run(handler, [&] { return handler.waits.size() >= 2; });
  EXPECT_EQ(handler.taken, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(handler.waits, (std::vector<int>{2, 4}));
  EXPECT_EQ(report.end, LoopEnd::Stopped);
  EXPECT_EQ(report.fed, 3);
  EXPECT_EQ(reader.stopped, 1);
}

}  // namespace
}  // namespace omr::reading
