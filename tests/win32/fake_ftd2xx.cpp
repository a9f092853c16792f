// A stand-in for the bridge maker's D2XX library, built as FTD2XX.dll with the
// nine functions at their published ordinals. Device 0 answers like a reader:
// FA 04 with FB 04, FA 4E with a channel count, FA 54 with version 3.1, FA 46
// with a parameter block, any other command with an acknowledgement. Query
// exports let a test see what the driver did.
#include <windows.h>

#include <cstring>

namespace {

using FtHandle = void*;
using FtStatus = ULONG;
constexpr FtStatus kOk = 0, kInvalidHandle = 1, kDeviceNotFound = 2, kDeviceNotOpened = 3;
FtHandle const kDevice = reinterpret_cast<FtHandle>(static_cast<ULONG_PTR>(0x1234));

struct State {
  bool open = false;
  int opens = 0, closes = 0, purges = 0, resets = 0;
  unsigned char queue[256];
  DWORD queued = 0;
  unsigned char written[1024];
  int writtenLength = 0;  // total, may exceed the buffer
  ULONG usbIn[16], usbOut[16];
  int usbCalls = 0;
  ULONG readTimeouts[16], writeTimeouts[16];
  int timeoutCalls = 0;
} g;

void Queue(const unsigned char* reply, DWORD n) {
  if (g.queued + n > sizeof g.queue) return;
  std::memcpy(g.queue + g.queued, reply, n);
  g.queued += n;
}

void Answer(const unsigned char* cmd, DWORD n) {
  if (n < 2 || cmd[0] != 0xFA) return;
  const unsigned char code = cmd[1];
  switch (code) {
    case 0x04: {
      const unsigned char r[] = {0xFB, 0x04};
      Queue(r, sizeof r);
      break;
    }
    case 0x4E: {
      const unsigned char r[] = {0xFB, 0x4E, 0x10, 0x00};
      Queue(r, sizeof r);
      break;
    }
    case 0x54: {
      const unsigned char r[] = {0xFB, 0x54, 0x03, 0x01};
      Queue(r, sizeof r);
      break;
    }
    case 0x46: {
      const unsigned char r[] = {0xFB, 0x46, 0x00, 0x00, 0x07, 0x00};
      Queue(r, sizeof r);
      break;
    }
    default: {
      const unsigned char r[] = {0xFB, code, 0x01, 0x00};
      Queue(r, sizeof r);
      break;
    }
  }
}

bool Valid(FtHandle h) {
  return g.open && h == kDevice;
}

}  // namespace

extern "C" {

FtStatus WINAPI FT_Open(int device, FtHandle* handle) {
  if (handle == nullptr) return kInvalidHandle;
  *handle = nullptr;
  if (device != 0) return kDeviceNotFound;
  if (g.open) return kDeviceNotOpened;  // already open: a leak in the caller
  g.open = true;
  ++g.opens;
  g.queued = 0;
  *handle = kDevice;
  return kOk;
}

FtStatus WINAPI FT_Close(FtHandle h) {
  if (!Valid(h)) return kInvalidHandle;
  g.open = false;
  ++g.closes;
  return kOk;
}

FtStatus WINAPI FT_Read(FtHandle h, LPVOID buffer, DWORD count, LPDWORD got) {
  if (!Valid(h) || buffer == nullptr || got == nullptr) return kInvalidHandle;
  // Whatever is queued comes at once; a short count stands for a time-out.
  const DWORD n = count < g.queued ? count : g.queued;
  std::memcpy(buffer, g.queue, n);
  std::memmove(g.queue, g.queue + n, g.queued - n);
  g.queued -= n;
  *got = n;
  return kOk;
}

FtStatus WINAPI FT_Write(FtHandle h, LPVOID data, DWORD count, LPDWORD put) {
  if (!Valid(h) || data == nullptr || put == nullptr) return kInvalidHandle;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (DWORD i = 0; i < count; ++i) {
    if (g.writtenLength < static_cast<int>(sizeof g.written)) g.written[g.writtenLength] = bytes[i];
    ++g.writtenLength;
  }
  Answer(bytes, count);
  *put = count;
  return kOk;
}

FtStatus WINAPI FT_ResetDevice(FtHandle h) {
  if (!Valid(h)) return kInvalidHandle;
  ++g.resets;
  return kOk;
}

FtStatus WINAPI FT_Purge(FtHandle h, ULONG mask) {
  if (!Valid(h)) return kInvalidHandle;
  if (mask & 1) g.queued = 0;
  ++g.purges;
  return kOk;
}

FtStatus WINAPI FT_SetTimeouts(FtHandle h, ULONG readMs, ULONG writeMs) {
  if (!Valid(h)) return kInvalidHandle;
  if (g.timeoutCalls < 16) {
    g.readTimeouts[g.timeoutCalls] = readMs;
    g.writeTimeouts[g.timeoutCalls] = writeMs;
  }
  ++g.timeoutCalls;
  return kOk;
}

FtStatus WINAPI FT_GetQueueStatus(FtHandle h, DWORD* waiting) {
  if (!Valid(h) || waiting == nullptr) return kInvalidHandle;
  *waiting = g.queued;
  return kOk;
}

FtStatus WINAPI FT_SetUSBParameters(FtHandle h, ULONG inSize, ULONG outSize) {
  if (!Valid(h)) return kInvalidHandle;
  if (g.usbCalls < 16) {
    g.usbIn[g.usbCalls] = inSize;
    g.usbOut[g.usbCalls] = outSize;
  }
  ++g.usbCalls;
  return kOk;
}

// Queries for the tests.
int WINAPI Fake_Written(unsigned char* out, int size) {
  const int stored =
      g.writtenLength < static_cast<int>(sizeof g.written) ? g.writtenLength : sizeof g.written;
  if (out != nullptr && size > 0) std::memcpy(out, g.written, stored < size ? stored : size);
  return g.writtenLength;
}

int WINAPI Fake_UsbParameters(ULONG* ins, ULONG* outs, int max) {
  for (int i = 0; i < g.usbCalls && i < max && i < 16; ++i) {
    ins[i] = g.usbIn[i];
    outs[i] = g.usbOut[i];
  }
  return g.usbCalls;
}

int WINAPI Fake_Timeouts(ULONG* reads, ULONG* writes, int max) {
  for (int i = 0; i < g.timeoutCalls && i < max && i < 16; ++i) {
    reads[i] = g.readTimeouts[i];
    writes[i] = g.writeTimeouts[i];
  }
  return g.timeoutCalls;
}

void WINAPI Fake_Counts(int* opens, int* closes, int* purges, int* isOpen) {
  *opens = g.opens;
  *closes = g.closes;
  *purges = g.purges;
  *isOpen = g.open ? 1 : 0;
}

}  // extern "C"
