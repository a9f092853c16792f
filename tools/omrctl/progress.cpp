#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace omrctl {

namespace {

// "1,000,000": the grouping a reader of the line expects, whatever the locale.
std::string Grouped(std::int64_t n) {
  std::string digits = std::to_string(n < 0 ? -n : n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return n < 0 ? "-" + out : out;
}

}  // namespace

ProgressLine::ProgressLine() : on_(isatty(STDERR_FILENO) == 1) {}

void ProgressLine::Show(const std::string& text) {
  if (!on_) return;
  std::fprintf(stderr, "\r\033[K%s", text.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void ProgressLine::Clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

std::string CountOf(std::int64_t done, std::int64_t total, const char* what) {
  std::string out = Grouped(done) + " of " + Grouped(total) + " " + what;
  if (total > 0) out += " (" + std::to_string(done * 100 / total) + " %)";
  return out;
}

}  // namespace omrctl
