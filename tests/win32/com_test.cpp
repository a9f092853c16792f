// The serial port class on a COM port of the Wine prefix that is linked to a
// pty, with an echoing peer on the Linux side (scripts/test-win32).
//   com_test NAME   e.g. \\.\COM5
#include "port/com.h"

#include <cstdio>
#include <cstring>

#include "check.h"

namespace {

// Wine does not enforce the no-sharing mode on serial devices.
bool UnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void ClosedPort() {
  omr::CCom com;
  CHECK(com.GetName() == "\\\\.\\COM1");
  CHECK(com.GetSettings() == "9600,n,8,1");
  CHECK_EQ(com.GetHandle(), 0u);
  CHECK_EQ(com.Purge(), 0);
  unsigned char b[4];
  CHECK_EQ(com.Read(b, 4, 10), 0);
  CHECK_EQ(com.Write(b, 4), 0);
  CHECK_EQ(com.GetInQueue(), 0);
  CHECK_EQ(com.SetInBufferSize(8192), 0);
  CHECK_EQ(com.GetInBufferSize(), 0);
  CHECK_EQ(com.Close(0), 0);

  com.SetName("\\\\.\\COM249");  // no such port in the prefix
  CHECK_EQ(com.Open(), 0u);
  CHECK_EQ(com.GetHandle(), 0u);
  com.SetName("\\\\.\\COM1234567890123456789012345678");  // longer than 31
  CHECK_EQ(com.Open(), 0u);
}

void OpenPort(const char* name) {
  omr::CCom com;
  // A settings text the platform cannot parse fails the open and closes the device.
  CHECK_EQ(com.OpenWith(name, "fast please"), 0u);
  CHECK_EQ(com.GetHandle(), 0u);

  const omr::Handle h = com.OpenWith(name, "115200,n,8,1");
  if (!CHECK(h != 0)) return;
  CHECK_EQ(com.GetHandle(), h);

  // Exclusive: a second object cannot open the same port.
  if (!UnderWine()) {
    omr::CCom other;
    CHECK_EQ(other.OpenWith(name, "115200,n,8,1"), 0u);
  }

  CHECK_EQ(com.SetInBufferSize(8192), 1);
  CHECK_EQ(com.SetOutBufferSize(8192), 1);
  CHECK_EQ(com.GetInBufferSize(), 8192);
  CHECK_EQ(com.GetOutBufferSize(), 8192);
  CHECK(com.Purge() != 0);

  // One byte at a time with 3 ms after each: five bytes take at least 15 ms.
  const unsigned char five[] = {0xFA, 0x04, 0x00, 0x7F, 0xFF};
  double start = check::NowMs();
  CHECK_EQ(com.Write(five, 5), 5);
  const double writeMs = check::NowMs() - start;
  CHECK(writeMs >= 15.0);
  std::printf("  5 bytes written in %.1f ms\n", writeMs);

  // The peer echoes: a complete answer returns before the time-out.
  unsigned char got[8] = {};
  start = check::NowMs();
  CHECK_EQ(com.Read(got, 5, 1000), 5);
  CHECK_BYTES(got, five, 5);
  CHECK(check::NowMs() - start < 900);

  // Only two of four bytes arrive: two after the whole-call time-out.
  const unsigned char two[] = {0xFB, 0x04};
  CHECK_EQ(com.Write(two, 2), 2);
  start = check::NowMs();
  std::memset(got, 0, sizeof got);
  CHECK_EQ(com.Read(got, 4, 333), 2);
  double readMs = check::NowMs() - start;
  CHECK_BYTES(got, two, 2);
  CHECK(readMs >= 320 && readMs < 2000);
  std::printf("  2 of 4 bytes read in %.1f ms (time-out 333)\n", readMs);

  // Nothing arrives: 0 after the time-out.
  start = check::NowMs();
  CHECK_EQ(com.Read(got, 2, 100), 0);
  readMs = check::NowMs() - start;
  CHECK(readMs >= 90 && readMs < 1500);
  std::printf("  0 of 2 bytes read in %.1f ms (time-out 100)\n", readMs);

  // More waiting than asked for: exactly count, the rest stays queued.
  const unsigned char three[] = {1, 2, 3};
  CHECK_EQ(com.Write(three, 3), 3);
  Sleep(150);
  CHECK_EQ(com.GetInQueue(), 3);
  CHECK_EQ(com.Read(got, 1, 200), 1);
  CHECK_EQ(got[0], 1);
  CHECK_EQ(com.GetInQueue(), 2);
  CHECK(com.Purge() != 0);
  CHECK_EQ(com.GetInQueue(), 0);

  CHECK_EQ(com.Close(h + 4), 0);  // another handle: the port stays open
  CHECK_EQ(com.GetHandle(), h);
  CHECK_EQ(com.Close(h), 1);
  CHECK_EQ(com.GetHandle(), 0u);
  CHECK_EQ(com.Close(h), 0);

  // Closed again, the port can be opened anew.
  const omr::Handle again = com.OpenWith(name, "115200,n,8,1");
  CHECK(again != 0);
  // A new Open closes the open handle first.
  CHECK(com.Open() != 0);
  if (!UnderWine()) {
    omr::CCom other;
    CHECK_EQ(other.OpenWith(name, "115200,n,8,1"), 0u);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ClosedPort();
  if (argc > 1)
    OpenPort(argv[1]);
  else
    CHECK(!"usage: com_test PORTNAME");
  return check::Finish("com_test");
}
