// One line on stderr that says how far a long step is, written over in place
// and erased when it ends; only when stderr is a terminal, so that scripts
// and files see nothing of it.
#pragma once

#include <cstdint>
#include <string>

namespace omrctl {

class ProgressLine {
 public:
  ProgressLine();
  ~ProgressLine() { Clear(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  bool on() const { return on_; }
  // Replaces the line.
  void Show(const std::string& text);
  // Erases the line, when one is shown: before other output, and at the end.
  void Clear();

 private:
  bool on_;
  bool shown_ = false;
};

// "412,000 of 1,000,000 sheets (41 %)"
std::string CountOf(std::int64_t done, std::int64_t total, const char* what);

}  // namespace omrctl
