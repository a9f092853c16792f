// Placeholder until the bridge port is built: no device is ever found.
#include "port/usb.h"

namespace omr {

CUsb::CUsb() : bridge_(PlatformBridge()) {}
CUsb::~CUsb() { Close(handle); }
Handle CUsb::OpenWith(const char*, const char*) { return Open(); }
Handle CUsb::Open() { return 0; }
int CUsb::Close(Handle h) {
  if (handle == 0 || h != handle) return 0;
  handle = 0;
  return 1;
}
int CUsb::Purge() { return 0; }
int CUsb::Read(std::uint8_t*, int, int) { return 0; }
int CUsb::Write(const std::uint8_t*, int) { return 0; }
int CUsb::GetInQueue() { return 0; }
int CUsb::SetInBufferSize(int size) {
  inBufferSize = size;
  return 1;
}
int CUsb::SetOutBufferSize(int size) {
  outBufferSize = size;
  return 1;
}
int CUsb::ResetDevice() { return 0; }

}  // namespace omr
