// Port on a USB-to-serial bridge chip, over the platform's table of bridge
// operations.
#include "port/usb.h"

namespace omr {

namespace {

constexpr std::uint32_t kPurgeRxTx = 3;
constexpr int kBridgeOk = 0;

// A bridge reports counts it was given room for; never trust more than that.
int Bounded(std::uint32_t reported, int limit) {
  return reported > static_cast<std::uint32_t>(limit) ? limit : static_cast<int>(reported);
}

}  // namespace

CUsb::CUsb() : bridge_(PlatformBridge()) {}

CUsb::~CUsb() {
  if (handle != 0) Close(handle);
}

Handle CUsb::OpenWith(const char*, const char*) {
  return Open();
}

Handle CUsb::Open() {
  if (handle != 0) {
    if (bridge_ != nullptr) bridge_->close(bridge_->ctx, handle);
    handle = 0;
  }
  if (bridge_ == nullptr) return 0;
  std::uint32_t device = 0;
  if (bridge_->open(bridge_->ctx, &device) != kBridgeOk) return 0;
  if (device == 0) {
    // Zero is the closed state: a device behind it could never be closed again.
    bridge_->close(bridge_->ctx, device);
    return 0;
  }
  handle = device;
  return handle;
}

int CUsb::Close(Handle h) {
  if (handle == 0 || h != handle || bridge_ == nullptr) return 0;
  // A failed close keeps the handle so that a later Close or Open tries again.
  if (bridge_->close(bridge_->ctx, handle) != kBridgeOk) return 0;
  handle = 0;
  return 1;
}

int CUsb::Purge() {
  if (handle == 0 || bridge_ == nullptr) return 0;
  return bridge_->purge(bridge_->ctx, handle, kPurgeRxTx) == kBridgeOk ? 1 : 0;
}

int CUsb::Read(std::uint8_t* buffer, int count, int timeoutMs) {
  hungUp = false;
  if (handle == 0 || bridge_ == nullptr || buffer == nullptr || count <= 0) return 0;
  const std::uint32_t ms = timeoutMs > 0 ? static_cast<std::uint32_t>(timeoutMs) : 0;
  bridge_->setTimeouts(bridge_->ctx, handle, ms, ms);
  std::uint32_t got = 0;
  // The count is all a read delivers; a failed call says only that the
  // bridge is gone (unplugged), which a silent reader never causes.
  hungUp = bridge_->read(bridge_->ctx, handle, buffer, static_cast<std::uint32_t>(count), &got) != kBridgeOk;
  return Bounded(got, count);
}

int CUsb::Write(const std::uint8_t* data, int count) {
  if (handle == 0 || bridge_ == nullptr || data == nullptr || count <= 0) return 0;
  std::uint32_t put = 0;
  bridge_->write(bridge_->ctx, handle, data, static_cast<std::uint32_t>(count), &put);
  return Bounded(put, count);
}

int CUsb::GetInQueue() {
  if (handle == 0 || bridge_ == nullptr) return 0;
  std::uint32_t waiting = 0;
  bridge_->queueStatus(bridge_->ctx, handle, &waiting);
  return Bounded(waiting, 0x7FFFFFFF);
}

// The transfer sizes are requests the bridge may refuse; the port answers 1
// whatever the bridge says, and stores the size also while closed.
int CUsb::SetInBufferSize(int size) {
  inBufferSize = size;
  if (handle != 0 && bridge_ != nullptr)
    bridge_->setUsbParameters(bridge_->ctx, handle, size > 0 ? static_cast<std::uint32_t>(size) : 0, 0);
  return 1;
}

int CUsb::SetOutBufferSize(int size) {
  outBufferSize = size;
  if (handle != 0 && bridge_ != nullptr)
    bridge_->setUsbParameters(bridge_->ctx, handle, 0, size > 0 ? static_cast<std::uint32_t>(size) : 0);
  return 1;
}

int CUsb::ResetDevice() {
  if (handle == 0 || bridge_ == nullptr) return 0;
  return bridge_->resetDevice(bridge_->ctx, handle) == kBridgeOk ? 1 : 0;
}

}  // namespace omr
