#include "fake_bridge.h"

namespace omr::test {

namespace {

constexpr int kOk = 0;
constexpr int kInvalidHandle = 1;
constexpr int kDeviceNotFound = 2;

FakeBridge& Self(void* ctx) {
  return *static_cast<FakeBridge*>(ctx);
}

}  // namespace

FakeBridge::FakeBridge()
    : ops_{this, Open, Close, Purge, SetTimeouts, Read, Write, QueueStatus, SetUsbParameters, Reset} {}

bool FakeBridge::Mine(std::uint32_t device) {
  if (open && device == token) return true;
  ++foreignCalls;
  return false;
}

int FakeBridge::Open(void* ctx, std::uint32_t* device) {
  FakeBridge& self = Self(ctx);
  ++self.opens;
  if (!self.present || self.open) return kDeviceNotFound;
  self.open = true;
  *device = self.token;
  return kOk;
}

int FakeBridge::Close(void* ctx, std::uint32_t device) {
  FakeBridge& self = Self(ctx);
  self.closes.push_back(device);
  if (!self.Mine(device)) return kInvalidHandle;
  if (self.closeStatus != kOk) return self.closeStatus;
  self.open = false;
  return kOk;
}

int FakeBridge::Purge(void* ctx, std::uint32_t device, std::uint32_t mask) {
  FakeBridge& self = Self(ctx);
  if (!self.Mine(device)) return kInvalidHandle;
  self.purges.push_back(mask);
  if (self.purgeStatus != kOk) return self.purgeStatus;
  if (mask & 1) self.incoming_.clear();
  return kOk;
}

int FakeBridge::SetTimeouts(void* ctx, std::uint32_t device, std::uint32_t readMs, std::uint32_t writeMs) {
  FakeBridge& self = Self(ctx);
  if (!self.Mine(device)) return kInvalidHandle;
  self.timeouts.emplace_back(readMs, writeMs);
  return kOk;
}

int FakeBridge::Read(void* ctx, std::uint32_t device, std::uint8_t* buffer, std::uint32_t count,
                     std::uint32_t* got) {
  FakeBridge& self = Self(ctx);
  if (!self.Mine(device)) return kInvalidHandle;
  self.readCounts.push_back(count);
  std::uint32_t n = 0;
  while (n < count && !self.incoming_.empty()) {
    buffer[n++] = self.incoming_.front();
    self.incoming_.pop_front();
  }
  *got = n + self.overReport;
  return kOk;
}

int FakeBridge::Write(void* ctx, std::uint32_t device, const std::uint8_t* data, std::uint32_t count,
                      std::uint32_t* put) {
  FakeBridge& self = Self(ctx);
  if (!self.Mine(device)) return kInvalidHandle;
  const Bytes written(data, data + count);
  self.writes.push_back(written);
  if (written.size() >= 2 && written[0] == 0xFA) {
    const auto answer = self.answers_.find(written[1]);
    if (answer != self.answers_.end()) self.Queue(answer->second);
  }
  *put = count;
  return kOk;
}

int FakeBridge::QueueStatus(void* ctx, std::uint32_t device, std::uint32_t* waiting) {
  FakeBridge& self = Self(ctx);
  if (!self.Mine(device)) return kInvalidHandle;
  *waiting = self.queueReport;
  return kOk;
}

int FakeBridge::SetUsbParameters(void* ctx, std::uint32_t device, std::uint32_t inSize,
                                 std::uint32_t outSize) {
  FakeBridge& self = Self(ctx);
  if (!self.Mine(device)) return kInvalidHandle;
  self.usbParameters.emplace_back(inSize, outSize);
  return kOk;
}

int FakeBridge::Reset(void* ctx, std::uint32_t device) {
  FakeBridge& self = Self(ctx);
  if (!self.Mine(device)) return kInvalidHandle;
  ++self.resets;
  return self.resetStatus;
}

}  // namespace omr::test
