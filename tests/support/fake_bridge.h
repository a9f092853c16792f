// A bridge backend for tests: one simulated device that answers two-byte
// commands FA code with a reply given per code, records every call, and
// reports short reads at once instead of waiting.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "port/usb.h"

namespace omr::test {

using Bytes = std::vector<std::uint8_t>;

class FakeBridge {
 public:
  FakeBridge();
  FakeBridge(const FakeBridge&) = delete;
  FakeBridge& operator=(const FakeBridge&) = delete;

  const BridgeOps* Ops() const { return &ops_; }

  // Device and failures.
  bool present = true;
  std::uint32_t token = 0x2A;
  int closeStatus = 0;
  int purgeStatus = 0;
  int resetStatus = 0;
  std::uint32_t queueReport = 0;
  // A misbehaving bridge: claims this many bytes more than it delivered.
  std::uint32_t overReport = 0;

  FakeBridge& Answer(std::uint8_t code, Bytes reply) {
    answers_[code] = std::move(reply);
    return *this;
  }
  void Queue(const Bytes& bytes) { incoming_.insert(incoming_.end(), bytes.begin(), bytes.end()); }

  // What the port asked for.
  bool open = false;
  int opens = 0;
  std::vector<std::uint32_t> closes;                                   // device argument of every close
  std::vector<std::uint32_t> purges;                                   // masks
  std::vector<std::pair<std::uint32_t, std::uint32_t>> timeouts;       // read, write
  std::vector<std::pair<std::uint32_t, std::uint32_t>> usbParameters;  // in, out
  std::vector<std::uint32_t> readCounts;
  std::vector<Bytes> writes;
  int resets = 0;
  // Calls that named a device other than the open one.
  int foreignCalls = 0;

 private:
  bool Mine(std::uint32_t device);

  static int Open(void* ctx, std::uint32_t* device);
  static int Close(void* ctx, std::uint32_t device);
  static int Purge(void* ctx, std::uint32_t device, std::uint32_t mask);
  static int SetTimeouts(void* ctx, std::uint32_t device, std::uint32_t readMs, std::uint32_t writeMs);
  static int Read(void* ctx, std::uint32_t device, std::uint8_t* buffer, std::uint32_t count,
                  std::uint32_t* got);
  static int Write(void* ctx, std::uint32_t device, const std::uint8_t* data, std::uint32_t count,
                   std::uint32_t* put);
  static int QueueStatus(void* ctx, std::uint32_t device, std::uint32_t* waiting);
  static int SetUsbParameters(void* ctx, std::uint32_t device, std::uint32_t inSize, std::uint32_t outSize);
  static int Reset(void* ctx, std::uint32_t device);

  BridgeOps ops_;
  std::map<std::uint8_t, Bytes> answers_;
  std::deque<std::uint8_t> incoming_;
};

}  // namespace omr::test
