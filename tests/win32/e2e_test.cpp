// End to end under Wine: omr.dll finds the simulated reader on a COM port of
// the prefix that leads to the simulator's pty (scripts/test-win32 sets it up
// when the simulator is built), connects, reads its version and closes.
#include <cstdio>

#include "check.h"
#include "omr_api.h"

int main() {
  HMODULE dll = LoadLibraryA("omr.dll");
  if (!CHECK(dll != nullptr)) return check::Finish("e2e_test");
  auto installed = api::Get<api::IntOfInt>(dll, "MR_Installed");
  auto close = api::Get<api::BoolOfVoid>(dll, "MR_Close");
  auto getLastError = api::Get<api::IntOfVoid>(dll, "MR_GetLastError");
  if (CHECK(installed && close && getLastError)) {
    const double start = check::NowMs();
    const int token = installed(0);
    std::printf("  MR_Installed: %d in %.0f ms\n", token, check::NowMs() - start);
    CHECK(token != 0);
    CHECK_EQ(getLastError(), 0);  // the set-up commands all answered
    CHECK_EQ(close(), 1);
    CHECK_EQ(getLastError(), 8);
  }
  CHECK(FreeLibrary(dll) != 0);
  return check::Finish("e2e_test");
}
