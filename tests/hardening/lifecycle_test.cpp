// Loading and unloading the library many times with a connected simulated
// reader leaks neither memory nor file descriptors.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <chrono>
#include <cstdlib>

#include "sim_process.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define OMR_WITH_LSAN 1
#endif

namespace omr::test {
namespace {

using InstalledFn = int (*)(int);
using CloseFn = unsigned char (*)();

int Cycles() {
  const char* text = std::getenv("OMR_LIFECYCLE_CYCLES");
  return text != nullptr ? std::atoi(text) : 1000;
}

// One load, connection (which runs four commands), close and unload. False
// when the probe missed the simulator three times: on a loaded machine its
// answer can come after the probe's time-out, which is the probe's business,
// not a leak.
bool Cycle() {
  void* library = dlopen(OMR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  EXPECT_NE(library, nullptr) << dlerror();
  if (library == nullptr) return false;
  auto installed = reinterpret_cast<InstalledFn>(dlsym(library, "MR_Installed"));
  auto close = reinterpret_cast<CloseFn>(dlsym(library, "MR_Close"));
  EXPECT_TRUE(installed != nullptr && close != nullptr);
  bool found = false;
  for (int attempt = 0; attempt < 3 && !found && installed != nullptr && close != nullptr; ++attempt)
    found = installed(0) != 0;
  if (found) {
    EXPECT_EQ(close(), 1);
  }
  EXPECT_EQ(dlclose(library), 0);
  return found;
}

std::size_t HeapInUse() {
  return mallinfo2().uordblks;
}

TEST(LibraryLifecycle, LoadUnloadCyclesWithAConnectedReaderLeakNothing) {
  SimProcess sim(OMRSIM_PATH, {});
  ASSERT_TRUE(sim.Ok());
  setenv("OMR_SERIAL_PORTS", sim.Link().c_str(), 1);

  // The first cycles fill the loader's and the C library's own caches.
  for (int i = 0; i < 3; ++i) Cycle();
  const int fdsBefore = CountOpenFds();
  [[maybe_unused]] const std::size_t heapBefore = HeapInUse();  // compared only without LeakSanitizer

  const int cycles = Cycles();
  const auto start = std::chrono::steady_clock::now();
  int missed = 0;
  for (int i = 0; i < cycles; ++i) {
    if (!Cycle()) ++missed;
    ASSERT_FALSE(HasFailure()) << "cycle " << i;
    if (i % 100 == 0) {
      // Really unloaded: the next load runs the load steps again.
      EXPECT_EQ(dlopen(OMR_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
          << "still loaded after cycle " << i;
      ASSERT_EQ(CountOpenFds(), fdsBefore) << "descriptors leak by cycle " << i;
      std::printf("cycle %4d: heap in use %zu\n", i, HeapInUse());
    }
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
  std::printf("%d cycles in %lld s, reader missed in %d\n", cycles, static_cast<long long>(seconds), missed);
  EXPECT_LE(missed, cycles / 100) << "the reader was not found in " << missed << " of " << cycles
                                  << " cycles";

  EXPECT_EQ(CountOpenFds(), fdsBefore);
#ifdef OMR_WITH_LSAN
  EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "LeakSanitizer found leaks (report above)";
#else
  // Growth of the heap in use over all cycles. The C library's loader keeps
  // a few bytes a cycle of its own (freed at exit: valgrind shows nothing
  // lost and the same reachable blocks after 15 or 43 cycles); anything the
  // library left behind, such as a replaced locale, is kilobytes a cycle.
  const std::size_t heapAfter = HeapInUse();
  const std::size_t allowed = 64 * static_cast<std::size_t>(cycles);
  EXPECT_LT(heapAfter > heapBefore ? heapAfter - heapBefore : 0, allowed)
      << "heap grew from " << heapBefore << " to " << heapAfter;
#endif
}

}  // namespace
}  // namespace omr::test
