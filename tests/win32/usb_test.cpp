// The USB path: with no reader on any serial port and the fake FTD2XX.dll
// beside the program, discovery must find the reader behind the bridge.
//   usb_test reader   the full fake: connect, set-up commands, transfer sizes
//   usb_test broken   a fake lacking one ordinal: no device, no crash
#include <cstdio>
#include <cstring>

#include "check.h"
#include "omr_api.h"

namespace {

using Written = int(__stdcall*)(unsigned char*, int);
using Pairs = int(__stdcall*)(ULONG*, ULONG*, int);
using Counts = void(__stdcall*)(int*, int*, int*, int*);

const unsigned char kDeviceName[] = "HalvexorZuta\xCF\xB5\xC1\xD0";  // GBK

void ConnectsThroughTheBridge(HMODULE dll, HMODULE fake) {
  auto installed = api::Get<api::IntOfInt>(dll, "MR_Installed");
  auto close = api::Get<api::BoolOfVoid>(dll, "MR_Close");
  auto getLastError = api::Get<api::IntOfVoid>(dll, "MR_GetLastError");
  auto getDeviceName = api::Get<api::IntOfIntText>(dll, "MR_GetDeviceName");
  auto written = api::Get<Written>(fake, "Fake_Written");
  auto usbParameters = api::Get<Pairs>(fake, "Fake_UsbParameters");
  auto timeouts = api::Get<Pairs>(fake, "Fake_Timeouts");
  auto counts = api::Get<Counts>(fake, "Fake_Counts");
  if (!CHECK(installed && close && getLastError && getDeviceName && written && usbParameters && timeouts &&
             counts))
    return;

  const int token = installed(0);
  CHECK(token != 0);
  if (sizeof(void*) == 4) CHECK_EQ(token, 0x1234);  // the bridge's device handle

  int opens = 0, closes = 0, purges = 0, isOpen = 0;
  counts(&opens, &closes, &purges, &isOpen);
  CHECK_EQ(opens, 1);
  CHECK_EQ(isOpen, 1);

  // Probe, channel count, version, parameter block (version 3.1), version.
  const unsigned char want[] = {0xFA, 0x04, 0xFA, 0x4E, 0xFA, 0x54, 0xFA, 0x46, 0xFA, 0x54};
  unsigned char sent[64] = {};
  const int n = written(sent, sizeof sent);
  CHECK_EQ(n, sizeof want);
  CHECK_BYTES(sent, want, sizeof want);

  ULONG reads[16] = {}, writes[16] = {};
  if (CHECK(timeouts(reads, writes, 16) >= 1)) {
    CHECK_EQ(reads[0], 1000);  // the USB probe waits up to a second
    CHECK_EQ(writes[0], 1000);
  }

  // Transfer sizes: in 0 (out 0), then out 0 (in 0).
  ULONG ins[16] = {}, outs[16] = {};
  CHECK_EQ(usbParameters(ins, outs, 16), 2);
  CHECK(ins[0] == 0 && outs[0] == 0 && ins[1] == 0 && outs[1] == 0);

  CHECK_EQ(getLastError(), 0);  // the version query succeeded last

  char name[32];
  std::memset(name, 0x5A, sizeof name - 1);
  name[sizeof name - 1] = '\0';
  CHECK_EQ(getDeviceName(2005, name), 16);
  CHECK_BYTES(name, kDeviceName, 17);
  std::strcpy(name, "abc");
  CHECK_EQ(getDeviceName(1, name), 3);
  CHECK(std::strcmp(name, "abc") == 0);

  CHECK_EQ(close(), 1);
  counts(&opens, &closes, &purges, &isOpen);
  CHECK_EQ(closes, 1);
  CHECK_EQ(isOpen, 0);
  CHECK_EQ(getLastError(), 8);
  CHECK_EQ(close(), 0);
}

void FindsNothingBehindABrokenLibrary(HMODULE dll) {
  auto installed = api::Get<api::IntOfInt>(dll, "MR_Installed");
  auto getLastError = api::Get<api::IntOfVoid>(dll, "MR_GetLastError");
  if (!CHECK(installed && getLastError)) return;
  CHECK_EQ(installed(0), 0);
  CHECK_EQ(installed(0), 0);  // a second scan after the failed binding
  CHECK_EQ(getLastError(), 0);
}

}  // namespace

int main(int argc, char** argv) {
  const bool reader = argc > 1 && std::strcmp(argv[1], "reader") == 0;
  const char* program = reader ? "usb_test reader" : "usb_test broken";
  HMODULE dll = LoadLibraryA("omr.dll");
  if (!CHECK(dll != nullptr)) return check::Finish(program);
  if (reader) {
    // The driver loaded the same module when it scanned; this only adds a reference.
    HMODULE fake = LoadLibraryA("FTD2XX.dll");
    if (CHECK(fake != nullptr)) {
      ConnectsThroughTheBridge(dll, fake);
      FreeLibrary(fake);
    }
  } else {
    FindsNothingBehindABrokenLibrary(dll);
  }
  CHECK(FreeLibrary(dll) != 0);
  return check::Finish(program);
}
