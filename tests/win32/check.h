// A tiny assertion helper for the Windows test programs: each failed check
// prints its place and text, and the program's exit code is the number of
// failures (0 when all held).
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#endif

#include <cstdio>
#include <cstring>

namespace check {

inline int& Failures() {
  static int failures = 0;
  return failures;
}

inline int& Checks() {
  static int checks = 0;
  return checks;
}

inline bool That(bool ok, const char* file, int line, const char* text) {
  ++Checks();
  if (!ok) {
    ++Failures();
    std::printf("FAIL %s:%d: %s\n", file, line, text);
    std::fflush(stdout);
  }
  return ok;
}

// Prints the summary and yields the exit code.
inline int Finish(const char* program) {
  std::printf("%s: %d checks, %d failed\n", program, Checks(), Failures());
  std::fflush(stdout);
  return Failures() > 125 ? 125 : Failures();
}

inline double NowMs() {
#ifdef _WIN32
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
#else
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
#endif
}

}  // namespace check

#define CHECK(cond) check::That((cond), __FILE__, __LINE__, #cond)
#define CHECK_EQ(a, b)                                                                          \
  do {                                                                                          \
    const long long check_a_ = static_cast<long long>(a), check_b_ = static_cast<long long>(b); \
    if (!check::That(check_a_ == check_b_, __FILE__, __LINE__, #a " == " #b))                   \
      std::printf("     %lld != %lld\n", check_a_, check_b_);                                   \
  } while (0)
#define CHECK_BYTES(got, want, n) \
  check::That(std::memcmp((got), (want), (n)) == 0, __FILE__, __LINE__, "bytes of " #got " == " #want)
