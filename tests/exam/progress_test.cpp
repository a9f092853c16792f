// The meter that tells how far a step over every sheet is, and the board
// the office server reads it from.
#include "progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace omr::exam {
namespace {

struct Told {
  std::string step;
  std::int64_t done;
  std::int64_t total;
  bool operator==(const Told&) const = default;
};

std::vector<Told> Meter(std::int64_t total, const std::vector<std::int64_t>& adds, std::int64_t chunk,
                      std::chrono::milliseconds interval) {
  std::vector<Told> told;
  const ProgressFn fn = [&](std::string_view s, std::int64_t d, std::int64_t t) {
    told.push_back({std::string(s), d, t});
  };
  ProgressMeter meter(fn, step::kRescore, total, interval, chunk);
  for (const std::int64_t n : adds) meter.Add(n);
  meter.Finish();
  return told;
}

TEST(ProgressMeter, TellsAtTheStartAtChunksWhenTheIntervalPassedAndAtTheEnd) {
  struct Case {
    const char* what;
    std::int64_t total;
    std::vector<std::int64_t> adds;
    std::int64_t chunk;
    std::chrono::milliseconds interval;
    std::vector<std::int64_t> done;  // what it tells, in order
    std::int64_t total_told;
  };
  const std::vector<Case> cases = {
      {"every chunk when no interval holds it",
       5,
       {1, 1, 1, 1, 1},
       2,
       std::chrono::milliseconds(0),
       {0, 2, 4, 5},
       5},
      {"a batch at a time crosses chunks at once",
       7,
       {3, 3, 1},
       2,
       std::chrono::milliseconds(0),
       {0, 3, 6, 7},
       7},
      {"the interval holds back the chunks between", 5, {1, 1, 1, 1, 1}, 1, std::chrono::hours(1), {0, 5}, 5},
      {"no sheets", 0, {}, 2, std::chrono::milliseconds(0), {0, 0}, 0},
      // Sheets stored meanwhile: the total grows to what was done.
      {"more sheets than counted", 2, {1, 1, 1}, 1, std::chrono::milliseconds(0), {0, 1, 2, 3, 3}, 3},
      // Fewer: it still ends at its total, nothing left to do.
      {"fewer sheets than counted", 4, {1, 1}, 10, std::chrono::milliseconds(0), {0, 4}, 4},
  };
  for (const Case& c : cases) {
    const std::vector<Told> told = Meter(c.total, c.adds, c.chunk, c.interval);
    std::vector<std::int64_t> done;
    for (const Told& t : told) {
      done.push_back(t.done);
      EXPECT_EQ(t.step, "rescore") << c.what;
      EXPECT_LE(t.done, t.total) << c.what;
    }
    EXPECT_EQ(done, c.done) << c.what;
    ASSERT_FALSE(told.empty()) << c.what;
    EXPECT_EQ(told.back().total, c.total_told) << c.what;
  }
}

TEST(ProgressMeter, WithoutAReceiverItTellsNothing) {
  const ProgressFn none;
  EXPECT_NO_THROW({
    ProgressMeter meter(none, step::kScore, 10, std::chrono::milliseconds(0), 1);
    for (int i = 0; i < 10; ++i) meter.Add();
    meter.Finish();  // an empty function called would throw std::bad_function_call
  });
}

TEST(ProgressBoard, AScopeReportsUnderItsKeyUntilItEnds) {
  ProgressBoard board;
  EXPECT_FALSE(board.Get("a\nexam"));
  {
    const ProgressBoard::Scope first(board, "a\nexam");
    EXPECT_FALSE(board.Get("a\nexam"));  // nothing reported yet
    first.Reporter()(step::kRescore, 10, 40);
    ASSERT_TRUE(board.Get("a\nexam"));
    EXPECT_EQ(board.Get("a\nexam")->step, "rescore");
    EXPECT_EQ(board.Get("a\nexam")->done, 10);
    EXPECT_EQ(board.Get("a\nexam")->total, 40);
    EXPECT_FALSE(board.Get("b\nexam"));
    {
      // A second request on the exam: the latest report is shown; when that
      // one ends first, the other's entry is not its to remove.
      const ProgressBoard::Scope second(board, "a\nexam");
      second.Reporter()(step::kSave, 1, 2);
      EXPECT_EQ(board.Get("a\nexam")->step, "save");
      first.Reporter()(step::kRescore, 20, 40);
    }
    ASSERT_TRUE(board.Get("a\nexam"));
    EXPECT_EQ(board.Get("a\nexam")->done, 20);
  }
  EXPECT_FALSE(board.Get("a\nexam"));
}

}  // namespace
}  // namespace omr::exam
