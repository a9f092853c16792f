// Serial port on Windows: overlapped transfers that the caller waits for at
// once, so each call is synchronous but a read can end by its time-out.
#include <windows.h>
// windows.h first: mmsystem.h needs its types.
#include <mmsystem.h>

#include <cstring>

#include "port/com.h"

namespace omr {

namespace {

constexpr std::size_t kNameBufferSize = 32;
constexpr DWORD kPurgeBoth = PURGE_TXCLEAR | PURGE_RXCLEAR;  // 0x000A
constexpr int kBytePauseMs = 3;

HANDLE AsHandle(std::intptr_t device) {
  return reinterpret_cast<HANDLE>(device);
}

// The token kept in `handle`: the HANDLE value itself (32 bits on Win32).
Handle TokenOf(HANDLE h) {
  return static_cast<Handle>(reinterpret_cast<std::uintptr_t>(h));
}

// Raises the system timer resolution for the life of one byte loop, so that
// the 3 ms pause after each byte is not stretched to a whole tick.
class FineTimer {
 public:
  FineTimer() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
  ~FineTimer() {
    if (raised_) timeEndPeriod(1);
  }
  FineTimer(const FineTimer&) = delete;
  FineTimer& operator=(const FineTimer&) = delete;

 private:
  bool raised_;
};

}  // namespace

CCom::CCom() {
  name = "\\\\.\\COM1";
  settings = "9600,n,8,1";
  device_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
}

CCom::~CCom() {
  Close(handle);
}

Handle CCom::OpenWith(const char* newName, const char* newSettings) {
  if (handle != 0) Close(handle);
  if (!SetName(newName) || !SetSettings(newSettings)) return 0;
  return Open();
}

Handle CCom::Open() {
  if (handle != 0) {
    CloseHandle(AsHandle(device_));
    device_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
    handle = 0;
  }
  // The name travels through a 32-byte buffer; a longer name is refused
  // rather than cut to the name of some other device.
  if (name.size() >= kNameBufferSize) return 0;
  char path[kNameBufferSize] = {};
  std::memcpy(path, name.c_str(), name.size());

  HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;

  DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  // A settings text that cannot be parsed fails the open as well: applying
  // the port's previous state instead would hide the mistake.
  bool applied = GetCommState(h, &dcb) != 0;
  dcb.DCBlength = sizeof(DCB);
  applied = applied && BuildCommDCBA(settings.c_str(), &dcb) && SetCommState(h, &dcb);
  if (!applied) {
    CloseHandle(h);
    return 0;
  }
  device_ = reinterpret_cast<std::intptr_t>(h);
  handle = TokenOf(h);
  return handle;
}

int CCom::Close(Handle h) {
  if (handle == 0 || h != handle) return 0;
  CloseHandle(AsHandle(device_));
  device_ = reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE);
  handle = 0;
  return 1;
}

int CCom::Purge() {
  if (handle == 0) return 0;
  return PurgeComm(AsHandle(device_), kPurgeBoth) ? 1 : 0;
}

int CCom::Read(std::uint8_t* buffer, int count, int timeoutMs) {
  hungUp = false;
  if (handle == 0 || buffer == nullptr || count <= 0) return 0;
  HANDLE dev = AsHandle(device_);

  COMMTIMEOUTS timeouts;
  // A port whose device was pulled out fails every call on its handle.
  if (!GetCommTimeouts(dev, &timeouts)) {
    hungUp = true;
    return 0;
  }
  // A total of 0 with the other read values at 0 would wait without end.
  timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 1);
  if (!SetCommTimeouts(dev, &timeouts)) return 0;

  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return 0;
  OVERLAPPED ov;
  std::memset(&ov, 0, sizeof ov);
  ov.hEvent = event;

  DWORD got = 0;
  if (!ReadFile(dev, buffer, static_cast<DWORD>(count), &got, &ov)) {
    got = 0;
    const DWORD started = GetLastError();
    if (started == ERROR_IO_PENDING) {
      // The port's time-out ends the wait. Windows completes a timed-out read
      // as success with the bytes that came; Wine reports ERROR_TIMEOUT.
      if (!GetOverlappedResult(dev, &ov, &got, TRUE) && GetLastError() != ERROR_TIMEOUT) {
        got = 0;
        hungUp = true;
      }
    } else if (started != ERROR_TIMEOUT) {
      hungUp = true;
    }
  }
  CloseHandle(event);
  return got > static_cast<DWORD>(count) ? count : static_cast<int>(got);
}

int CCom::Write(const std::uint8_t* data, int count) {
  if (handle == 0 || data == nullptr || count <= 0) return 0;
  FineTimer fineTimer;
  int total = 0;
  for (int i = 0; i < count; ++i) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof ov);
    if (handle != 0) {
      HANDLE dev = AsHandle(device_);
      HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
      if (event != nullptr) {
        ov.hEvent = event;
        DWORD put = 0;
        if (!WriteFile(dev, data + i, 1, &put, &ov)) {
          put = 0;
          if (GetLastError() == ERROR_IO_PENDING && !GetOverlappedResult(dev, &ov, &put, TRUE)) put = 0;
        }
        CloseHandle(event);
        total += put == 1 ? 1 : 0;
      }
    }
    Sleep(kBytePauseMs);
  }
  return total;
}

int CCom::GetInQueue() {
  if (handle == 0) return 0;
  DWORD errors = 0;
  COMSTAT status;
  std::memset(&status, 0, sizeof status);
  if (!ClearCommError(AsHandle(device_), &errors, &status)) return 0;
  return static_cast<int>(status.cbInQue);
}

int CCom::SetInBufferSize(int size) {
  if (handle == 0 || size < 0) return 0;
  if (!SetupComm(AsHandle(device_), static_cast<DWORD>(size), static_cast<DWORD>(outBufferSize))) return 0;
  inBufferSize = size;
  return 1;
}

int CCom::SetOutBufferSize(int size) {
  if (handle == 0 || size < 0) return 0;
  if (!SetupComm(AsHandle(device_), static_cast<DWORD>(inBufferSize), static_cast<DWORD>(size))) return 0;
  outBufferSize = size;
  return 1;
}

}  // namespace omr
