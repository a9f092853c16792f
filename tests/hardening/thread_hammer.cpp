// Several threads call the exports at once against a simulated reader. The
// process-wide lock serialises them: every call answers as it would alone,
// and under ThreadSanitizer no race is reported. Arguments: the omrsim
// executable and a form file; runs for OMR_HAMMER_SECONDS (default 3).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "omr.h"
#include "sim_process.h"

namespace {

std::atomic<int> g_failures{0};
std::atomic<long> g_calls{0};

void Fail(const char* what, int value) {
  if (g_failures.fetch_add(1) < 20) std::fprintf(stderr, "unexpected: %s gave %d\n", what, value);
}

void Hammer(int id, std::chrono::steady_clock::time_point deadline) {
  char text[20000];
  for (int i = 0; std::chrono::steady_clock::now() < deadline; ++i) {
    switch ((i + id) % 9) {
      case 0: {
        const int r = MR_Read();
        if (r != 0 && r != -1) Fail("MR_Read", r);
        break;
      }
      case 1: {
        const int r = MR_GetResult(text, 1);
        if (r < -1) Fail("MR_GetResult", r);
        break;
      }
      case 2: {
        std::memset(text, 0, 16);
        const int r = MR_SysCmd(23, text);
        if (r != 1 || std::strcmp(text, "3.0") != 0) Fail("MR_SysCmd 23", r);
        break;
      }
      case 3:
        MR_ReadTotal();
        break;
      case 4: {
        const int r = MR_IsReading();
        if (r != 0) Fail("MR_IsReading", r);
        break;
      }
      case 5: {
        const int r = MR_GetErrMsgEn(8, text);
        if (r <= 0) Fail("MR_GetErrMsgEn", r);
        break;
      }
      case 6: {
        char piece[16] = "001  ";
        OmrS(piece);
        break;
      }
      case 7: {
        const int r = MR_GetSerial(text);
        if (r < 0) Fail("MR_GetSerial", r);
        break;
      }
      case 8: {
        const int r = MR_SysCmd(25, text);  // the last grid: no reader command
        if (r != 0 && r != 1) Fail("MR_SysCmd 25", r);
        break;
      }
    }
    g_calls.fetch_add(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s OMRSIM FORM\n", argv[0]);
    return 2;
  }
  omr::test::SimProcess sim(argv[1], {"--form", argv[2], "--random", "500", "--empty-status", "16"});
  if (!sim.Ok()) {
    std::fprintf(stderr, "omrsim did not start\n");
    return 1;
  }
  setenv("OMR_SERIAL_PORTS", sim.Link().c_str(), 1);
  if (MR_Installed(0) == 0) {
    std::fprintf(stderr, "no reader found\n");
    return 1;
  }
  if (MR_LoadForm(argv[2], "") != 0) {
    std::fprintf(stderr, "form not loaded: error %d\n", MR_GetLastError());
    return 1;
  }

  const char* secondsText = std::getenv("OMR_HAMMER_SECONDS");
  const int seconds = secondsText != nullptr ? std::atoi(secondsText) : 3;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int id = 0; id < 4; ++id) threads.emplace_back(Hammer, id, deadline);
  for (std::thread& t : threads) t.join();

  // Closing while nothing else runs still works, and a second close has nothing to close.
  const int closed = MR_Close();
  const int again = MR_Close();
  std::printf("%ld calls from 4 threads, %d unexpected answers\n", g_calls.load(), g_failures.load());
  if (closed != 1) Fail("MR_Close", closed);
  if (again != 0) Fail("second MR_Close", again);
  if (g_calls.load() < 20) Fail("too few calls", static_cast<int>(g_calls.load()));
  return g_failures.load() == 0 ? 0 : 1;
}
