#include "progress.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace omr::exam {

std::string_view StepWords(std::string_view s) {
  if (s == step::kRescan) return "re-scanning";
  if (s == step::kRescore) return "re-scoring";
  if (s == step::kScore) return "scoring";
  if (s == step::kSave) return "saving scores";
  if (s == step::kImport) return "importing";
  if (s == step::kIntegrity) return "reading grids";
  return s;
}

ProgressMeter::ProgressMeter(const ProgressFn& progress, std::string_view step, std::int64_t total,
                             std::chrono::milliseconds interval, std::int64_t chunk)
    : progress_(progress),
      step_(step),
      total_(std::max<std::int64_t>(total, 0)),
      interval_(interval),
      chunk_(std::max<std::int64_t>(chunk, 1)),
      next_(progress ? chunk_ : std::numeric_limits<std::int64_t>::max()) {
  if (progress_) Tell();
}

void ProgressMeter::Check() {
  next_ = done_ + chunk_;
  if (std::chrono::steady_clock::now() - told_ >= interval_) Tell();
}

void ProgressMeter::Tell() {
  total_ = std::max(total_, done_);
  told_ = std::chrono::steady_clock::now();
  progress_(step_, done_, total_);
}

void ProgressMeter::Finish() {
  if (!progress_) return;
  done_ = total_ = std::max(total_, done_);
  Tell();
  next_ = std::numeric_limits<std::int64_t>::max();
}

ProgressBoard::Scope::Scope(ProgressBoard& board, std::string key) : board_(board), key_(std::move(key)) {
  {
    const std::lock_guard<std::mutex> lock(board_.mutex_);
    id_ = ++board_.next_;
  }
  reporter_ = [this](std::string_view step, std::int64_t done, std::int64_t total) {
    const std::lock_guard<std::mutex> lock(board_.mutex_);
    // The latest step on the exam is the one shown.
    Entry& e = board_.entries_[key_];
    e.owner = id_;
    e.state.step.assign(step);
    e.state.done = done;
    e.state.total = total;
  };
}

ProgressBoard::Scope::~Scope() {
  const std::lock_guard<std::mutex> lock(board_.mutex_);
  const auto hit = board_.entries_.find(key_);
  if (hit != board_.entries_.end() && hit->second.owner == id_) board_.entries_.erase(hit);
}

std::optional<ProgressBoard::State> ProgressBoard::Get(const std::string& key) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  const auto hit = entries_.find(key);
  if (hit == entries_.end()) return std::nullopt;
  return hit->second.state;
}

}  // namespace omr::exam
