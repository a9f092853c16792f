// The USB bridge on Windows: the bridge maker's D2XX library, module FTD2XX,
// functions bound by their published ordinals.
//
// The module is loaded on first use, not when the driver is constructed: the
// driver is constructed while the system loader runs the DLL's start-up code,
// where loading another library is not safe. A missing module or ordinal
// means no USB device: every operation then fails without touching anything.
#include <windows.h>

#include <cstdint>

#include "port/usb.h"

namespace omr {

namespace {

using FtHandle = void*;
using FtStatus = ULONG;

constexpr FtStatus kFtOk = 0;
constexpr FtStatus kFtDeviceNotFound = 2;
constexpr FtStatus kFtInvalidHandle = 1;

using FtOpen = FtStatus(WINAPI*)(int deviceNumber, FtHandle* handle);
using FtClose = FtStatus(WINAPI*)(FtHandle);
using FtRead = FtStatus(WINAPI*)(FtHandle, LPVOID buffer, DWORD count, LPDWORD got);
using FtWrite = FtStatus(WINAPI*)(FtHandle, LPVOID data, DWORD count, LPDWORD put);
using FtResetDevice = FtStatus(WINAPI*)(FtHandle);
using FtPurge = FtStatus(WINAPI*)(FtHandle, ULONG mask);
using FtSetTimeouts = FtStatus(WINAPI*)(FtHandle, ULONG readMs, ULONG writeMs);
using FtGetQueueStatus = FtStatus(WINAPI*)(FtHandle, DWORD* waiting);
using FtSetUsbParameters = FtStatus(WINAPI*)(FtHandle, ULONG inSize, ULONG outSize);

struct D2xx {
  bool tried = false;
  bool bound = false;
  FtOpen open = nullptr;
  FtClose close = nullptr;
  FtRead read = nullptr;
  FtWrite write = nullptr;
  FtResetDevice resetDevice = nullptr;
  FtPurge purge = nullptr;
  FtSetTimeouts setTimeouts = nullptr;
  FtGetQueueStatus queueStatus = nullptr;
  FtSetUsbParameters setUsbParameters = nullptr;
  // Device handles of the library by token. On Win32 the token is the handle
  // value itself; a 64-bit build keeps pointers here and hands out slot numbers.
  static constexpr int kSlots = 4;
  FtHandle slots[kSlots] = {};
};

template <typename F>
bool Bind(HMODULE module, int ordinal, F& fn) {
  fn = reinterpret_cast<F>(
      reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(static_cast<WORD>(ordinal)))));
  return fn != nullptr;
}

D2xx& Library() {
  static D2xx lib;
  if (!lib.tried) {
    lib.tried = true;
    HMODULE module = LoadLibraryA("FTD2XX");
    if (module != nullptr) {
      lib.bound = Bind(module, 1, lib.open) && Bind(module, 2, lib.close) && Bind(module, 3, lib.read) &&
                  Bind(module, 4, lib.write) && Bind(module, 6, lib.resetDevice) &&
                  Bind(module, 16, lib.purge) && Bind(module, 17, lib.setTimeouts) &&
                  Bind(module, 18, lib.queueStatus) && Bind(module, 33, lib.setUsbParameters);
      // The module stays loaded for the life of the process once bound.
      if (!lib.bound) FreeLibrary(module);
    }
  }
  return lib;
}

constexpr bool kHandleFitsToken = sizeof(FtHandle) <= sizeof(std::uint32_t);

// The library's handle for a token; null for a token that names no device.
FtHandle Lookup(D2xx& lib, std::uint32_t token) {
  if (token == 0) return nullptr;
  if constexpr (kHandleFitsToken) {
    return reinterpret_cast<FtHandle>(static_cast<std::uintptr_t>(token));
  } else {
    return token <= D2xx::kSlots ? lib.slots[token - 1] : nullptr;
  }
}

int OpOpen(void*, std::uint32_t* device) {
  *device = 0;
  D2xx& lib = Library();
  if (!lib.bound) return static_cast<int>(kFtDeviceNotFound);
  FtHandle h = nullptr;
  const FtStatus status = lib.open(0, &h);
  if (status != kFtOk || h == nullptr) return static_cast<int>(status != kFtOk ? status : kFtDeviceNotFound);
  if constexpr (kHandleFitsToken) {
    *device = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h));
    return static_cast<int>(kFtOk);
  } else {
    for (int i = 0; i < D2xx::kSlots; ++i) {
      if (lib.slots[i] == nullptr) {
        lib.slots[i] = h;
        *device = static_cast<std::uint32_t>(i + 1);
        return static_cast<int>(kFtOk);
      }
    }
    lib.close(h);
    return static_cast<int>(kFtDeviceNotFound);
  }
}

int OpClose(void*, std::uint32_t device) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  if (h == nullptr) return static_cast<int>(kFtInvalidHandle);
  const FtStatus status = lib.close(h);
  if constexpr (!kHandleFitsToken) {
    if (status == kFtOk) lib.slots[device - 1] = nullptr;
  }
  return static_cast<int>(status);
}

int OpPurge(void*, std::uint32_t device, std::uint32_t mask) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  return h ? static_cast<int>(lib.purge(h, mask)) : static_cast<int>(kFtInvalidHandle);
}

int OpSetTimeouts(void*, std::uint32_t device, std::uint32_t readMs, std::uint32_t writeMs) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  return h ? static_cast<int>(lib.setTimeouts(h, readMs, writeMs)) : static_cast<int>(kFtInvalidHandle);
}

int OpRead(void*, std::uint32_t device, std::uint8_t* buffer, std::uint32_t count, std::uint32_t* got) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  if (h == nullptr) return static_cast<int>(kFtInvalidHandle);
  DWORD n = 0;
  const FtStatus status = lib.read(h, buffer, count, &n);
  // Never report more than was asked for, whatever the library says.
  *got = n > count ? count : static_cast<std::uint32_t>(n);
  return static_cast<int>(status);
}

int OpWrite(void*, std::uint32_t device, const std::uint8_t* data, std::uint32_t count, std::uint32_t* put) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  if (h == nullptr) return static_cast<int>(kFtInvalidHandle);
  DWORD n = 0;
  // The library's prototype takes a non-const buffer; it only reads it.
  const FtStatus status = lib.write(h, const_cast<std::uint8_t*>(data), count, &n);
  *put = n > count ? count : static_cast<std::uint32_t>(n);
  return static_cast<int>(status);
}

int OpQueueStatus(void*, std::uint32_t device, std::uint32_t* waiting) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  if (h == nullptr) return static_cast<int>(kFtInvalidHandle);
  DWORD n = 0;
  const FtStatus status = lib.queueStatus(h, &n);
  *waiting = static_cast<std::uint32_t>(n);
  return static_cast<int>(status);
}

int OpSetUsbParameters(void*, std::uint32_t device, std::uint32_t inSize, std::uint32_t outSize) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  return h ? static_cast<int>(lib.setUsbParameters(h, inSize, outSize)) : static_cast<int>(kFtInvalidHandle);
}

int OpResetDevice(void*, std::uint32_t device) {
  D2xx& lib = Library();
  FtHandle h = lib.bound ? Lookup(lib, device) : nullptr;
  return h ? static_cast<int>(lib.resetDevice(h)) : static_cast<int>(kFtInvalidHandle);
}

const BridgeOps kD2xxOps = {
    nullptr,      OpOpen, OpClose, OpPurge, OpSetTimeouts, OpRead, OpWrite, OpQueueStatus, OpSetUsbParameters,
    OpResetDevice};

}  // namespace

const BridgeOps* PlatformBridge() {
  return &kD2xxOps;
}

}  // namespace omr
