// Placeholder until the POSIX serial port is built: every open fails.
#include "port/com.h"

namespace omr {

CCom::CCom() {
  name = "\\\\.\\COM1";
  settings = "9600,n,8,1";
}
CCom::~CCom() { Close(handle); }
Handle CCom::OpenWith(const char* n, const char* s) {
  if (handle != 0) Close(handle);
  if (!SetName(n) || !SetSettings(s)) return 0;
  return Open();
}
Handle CCom::Open() { return 0; }
int CCom::Close(Handle h) {
  if (handle == 0 || h != handle) return 0;
  handle = 0;
  return 1;
}
int CCom::Purge() { return 0; }
int CCom::Read(std::uint8_t*, int, int) { return 0; }
int CCom::Write(const std::uint8_t*, int) { return 0; }
int CCom::GetInQueue() { return 0; }
int CCom::SetInBufferSize(int) { return 0; }
int CCom::SetOutBufferSize(int) { return 0; }

}  // namespace omr
