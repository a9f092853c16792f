// Bridge backend on libftdi1: the first FTDI device on the bus.
#include <ftdi.h>
#include <libusb.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "port/usb.h"

namespace omr {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kSlots = 4;
constexpr unsigned char kLatencyMs = 2;
constexpr int kDefaultWriteTimeoutMs = 5000;
// One bulk request; the chip answers every latency period, so this only
// bounds a device that stopped answering altogether.
constexpr int kBulkTimeoutMs = 100;
constexpr std::size_t kPendingSize = 512;

struct Device {
  ftdi_context* ftdi = nullptr;
  std::uint32_t token = 0;
  std::uint32_t readTimeoutMs = 0;
  // Bytes fetched by a queue-status call and not yet read: libftdi has no
  // queue-status call, so the backend keeps its own count.
  std::uint8_t pending[kPendingSize];
  std::size_t pendingLen = 0;
};

struct Backend {
  Device devices[kSlots];
  std::uint32_t lastToken = 0;
};

Backend& State() {
  static Backend backend;
  return backend;
}

Device* Find(void* ctx, std::uint32_t token) {
  if (token == 0) return nullptr;
  for (Device& d : static_cast<Backend*>(ctx)->devices)
    if (d.ftdi != nullptr && d.token == token) return &d;
  return nullptr;
}

// Small, non-zero, positive as a signed 32-bit value, and not in use.
std::uint32_t NextToken(Backend& backend) {
  while (true) {
    backend.lastToken = backend.lastToken >= 0x7FFFFFFEu ? 1 : backend.lastToken + 1;
    if (Find(&backend, backend.lastToken) == nullptr) return backend.lastToken;
  }
}

void Configure(ftdi_context* ftdi) {
  // A FIFO-mode chip refuses the line settings; that does not matter.
  ftdi_set_latency_timer(ftdi, kLatencyMs);
  ftdi_set_baudrate(ftdi, 115200);
  ftdi_set_line_property(ftdi, BITS_8, STOP_BIT_1, NONE);
  ftdi_setflowctrl(ftdi, SIO_DISABLE_FLOW_CTRL);
  ftdi->usb_write_timeout = kDefaultWriteTimeoutMs;
}

int OpenFirst(void* ctx, std::uint32_t* token) {
  Backend& backend = *static_cast<Backend*>(ctx);
  Device* slot = nullptr;
  for (Device& d : backend.devices)
    if (d.ftdi == nullptr) slot = &d;
  if (slot == nullptr) return kFailed;

  ftdi_context* ftdi = ftdi_new();
  if (ftdi == nullptr) return kFailed;
  ftdi_device_list* list = nullptr;
  // Vendor and product 0: the FTDI vendor 0x0403 with its usual bridge products.
  if (ftdi_usb_find_all(ftdi, &list, 0, 0) <= 0 || list == nullptr) {
    ftdi_list_free(&list);
    ftdi_free(ftdi);
    return kFailed;
  }
  // Give the device back to the kernel's serial driver when it is closed.
  ftdi->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
  const int opened = ftdi_usb_open_dev(ftdi, list->dev);
  ftdi_list_free(&list);
  if (opened != 0) {
    ftdi_free(ftdi);
    return kFailed;
  }
  // Opening resets the chip: configure afterwards.
  Configure(ftdi);
  slot->ftdi = ftdi;
  slot->token = NextToken(backend);
  slot->readTimeoutMs = 0;
  slot->pendingLen = 0;
  *token = slot->token;
  return kOk;
}

int CloseDevice(void* ctx, std::uint32_t token) {
  Device* d = Find(ctx, token);
  if (d == nullptr) return kFailed;
  // libusb releases the device whatever the close reports.
  ftdi_usb_close(d->ftdi);
  ftdi_free(d->ftdi);
  d->ftdi = nullptr;
  d->token = 0;
  d->pendingLen = 0;
  return kOk;
}

int PurgeDevice(void* ctx, std::uint32_t token, std::uint32_t mask) {
  Device* d = Find(ctx, token);
  if (d == nullptr) return kFailed;
  int result = 0;
  if (mask & 1) {
    d->pendingLen = 0;
    result |= ftdi_tciflush(d->ftdi);
  }
  if (mask & 2) result |= ftdi_tcoflush(d->ftdi);
  return result == 0 ? kOk : kFailed;
}

int SetTimeouts(void* ctx, std::uint32_t token, std::uint32_t readMs, std::uint32_t writeMs) {
  Device* d = Find(ctx, token);
  if (d == nullptr) return kFailed;
  d->readTimeoutMs = readMs;
  d->ftdi->usb_write_timeout =
      writeMs == 0 || writeMs > 0x7FFFFFFFu ? kDefaultWriteTimeoutMs : static_cast<int>(writeMs);
  return kOk;
}

// One bulk request's worth of data: >= 0 bytes, or a negative libusb error.
int FetchOnce(ftdi_context* ftdi, std::uint8_t* buffer, std::uint32_t room) {
  ftdi->usb_read_timeout = kBulkTimeoutMs;
  const int n = ftdi_read_data(ftdi, buffer, static_cast<int>(room > 0x10000 ? 0x10000 : room));
  if (n == LIBUSB_ERROR_TIMEOUT) return 0;
  return n;
}

// The chip hands over whatever arrived within one latency period, often
// nothing: keep asking until the count is complete or the call's time-out.
int ReadDevice(void* ctx, std::uint32_t token, std::uint8_t* buffer, std::uint32_t count,
               std::uint32_t* got) {
  Device* d = Find(ctx, token);
  if (d == nullptr) return kFailed;
  std::uint32_t have = 0;
  if (d->pendingLen > 0) {
    const std::size_t take = d->pendingLen < count ? d->pendingLen : count;
    std::memcpy(buffer, d->pending, take);
    std::memmove(d->pending, d->pending + take, d->pendingLen - take);
    d->pendingLen -= take;
    have = static_cast<std::uint32_t>(take);
  }
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(d->readTimeoutMs);
  int status = kOk;
  while (have < count) {
    const Clock::time_point before = Clock::now();
    const int n = FetchOnce(d->ftdi, buffer + have, count - have);
    if (n < 0) {
      status = kFailed;  // the device is gone or broken: stop at once
      break;
    }
    have += static_cast<std::uint32_t>(n);
    const Clock::time_point after = Clock::now();
    if (have >= count || after >= deadline) break;
    // Never turn an empty, instant answer into a busy loop.
    if (n == 0 && after - before < std::chrono::milliseconds(1))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  *got = have;
  return status;
}

int WriteDevice(void* ctx, std::uint32_t token, const std::uint8_t* data, std::uint32_t count,
                std::uint32_t* put) {
  Device* d = Find(ctx, token);
  if (d == nullptr || count > 0x7FFFFFFFu) return kFailed;
  const int n = ftdi_write_data(d->ftdi, data, static_cast<int>(count));
  if (n < 0) return kFailed;
  *put = static_cast<std::uint32_t>(n);
  return kOk;
}

int QueueStatus(void* ctx, std::uint32_t token, std::uint32_t* waiting) {
  Device* d = Find(ctx, token);
  if (d == nullptr) return kFailed;
  if (d->pendingLen < kPendingSize) {
    const int n = FetchOnce(d->ftdi, d->pending + d->pendingLen,
                            static_cast<std::uint32_t>(kPendingSize - d->pendingLen));
    if (n > 0) d->pendingLen += static_cast<std::size_t>(n);
  }
  *waiting = static_cast<std::uint32_t>(d->pendingLen);
  return kOk;
}

int SetUsbParameters(void* ctx, std::uint32_t token, std::uint32_t inSize, std::uint32_t outSize) {
  Device* d = Find(ctx, token);
  if (d == nullptr) return kFailed;
  // 0 leaves a size as it is.
  int result = 0;
  if (inSize != 0) result |= ftdi_read_data_set_chunksize(d->ftdi, inSize);
  if (outSize != 0) result |= ftdi_write_data_set_chunksize(d->ftdi, outSize);
  return result == 0 ? kOk : kFailed;
}

int ResetDevice(void* ctx, std::uint32_t token) {
  Device* d = Find(ctx, token);
  if (d == nullptr) return kFailed;
  d->pendingLen = 0;
  if (ftdi_usb_reset(d->ftdi) != 0) return kFailed;
  Configure(d->ftdi);
  return kOk;
}

}  // namespace

const BridgeOps* PlatformBridge() {
  static const BridgeOps ops{&State(),   OpenFirst,   CloseDevice, PurgeDevice,      SetTimeouts,
                             ReadDevice, WriteDevice, QueueStatus, SetUsbParameters, ResetDevice};
  return &ops;
}

}  // namespace omr
