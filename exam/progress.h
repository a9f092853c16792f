// How far a step that goes over every sheet of an exam is: the project's
// whole-exam operations tell whoever asked (a terminal line, the office page)
// a few times a second, never a sheet at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace omr::exam {

// `done` of `total` sheets of `step` (one of the steps below); called again
// with done == total when the step ends. Called on the thread doing the work.
using ProgressFn = std::function<void(std::string_view step, std::int64_t done, std::int64_t total)>;

namespace step {
inline constexpr std::string_view kRescan = "rescan";        // the stored grids decoded again
inline constexpr std::string_view kRescore = "rescore";      // every sheet scored again
inline constexpr std::string_view kScore = "score";          // every sheet scored (to read, not to store)
inline constexpr std::string_view kSave = "save";            // the scores written
inline constexpr std::string_view kImport = "import";        // another project's sheets brought in
inline constexpr std::string_view kIntegrity = "integrity";  // the grids read for erasures
}  // namespace step

// The words a terminal shows for a step: "re-scoring".
std::string_view StepWords(std::string_view step);

// Counts the sheets of one step and tells `progress` at its start, after at
// most every `chunk` sheets when `interval` has passed since it last told,
// and at Finish. Costs an addition a sheet when `progress` is empty.
class ProgressMeter {
 public:
  static constexpr std::int64_t kChunk = 1000;
  static constexpr std::chrono::milliseconds kInterval{200};

  // `total` may come out low (sheets stored meanwhile): it grows to what is done.
  ProgressMeter(const ProgressFn& progress, std::string_view step, std::int64_t total,
                std::chrono::milliseconds interval = kInterval, std::int64_t chunk = kChunk);
  void Add(std::int64_t sheets = 1) {
    done_ += sheets;
    if (done_ >= next_) Check();
  }
  // Tells done == total (what was done, when that is less: nothing is left).
  void Finish();

 private:
  void Check();
  void Tell();

  const ProgressFn& progress_;
  std::string_view step_;
  std::int64_t total_;
  std::chrono::milliseconds interval_;
  std::int64_t chunk_;
  std::int64_t done_ = 0;
  std::int64_t next_;
  std::chrono::steady_clock::time_point told_;
};

// Where steps on several exams report, for another thread to read: the
// office server keeps one and its pages ask it while their request works.
class ProgressBoard {
 public:
  struct State {
    std::string step;
    std::int64_t done = 0;
    std::int64_t total = 0;
  };

  // Reports into the board under `key` while it lives; its entry goes with it.
  class Scope {
   public:
    Scope(ProgressBoard& board, std::string key);
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    const ProgressFn& Reporter() const { return reporter_; }

   private:
    ProgressBoard& board_;
    std::string key_;
    std::uint64_t id_;
    ProgressFn reporter_;
  };

  // The latest step reported under `key` that has not ended its scope.
  std::optional<State> Get(const std::string& key) const;

 private:
  struct Entry {
    std::uint64_t owner = 0;
    State state;
  };
  mutable std::mutex mutex_;
  std::uint64_t next_ = 0;
  std::map<std::string, Entry> entries_;
};

}  // namespace omr::exam
