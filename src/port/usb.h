// Port on a USB-to-serial bridge chip, through a table of bridge operations.
#pragma once

#include <cstdint>

#include "port/port.h"

namespace omr {

// The bridge operations the port needs. Status results follow the bridge
// library convention: 0 is success. Counts are written through pointers that
// the caller zeroes first. `ctx` is passed back to every operation.
struct BridgeOps {
  void* ctx;
  int (*open)(void* ctx, std::uint32_t* device);  // first device
  int (*close)(void* ctx, std::uint32_t device);
  int (*purge)(void* ctx, std::uint32_t device, std::uint32_t mask);
  int (*setTimeouts)(void* ctx, std::uint32_t device, std::uint32_t readMs, std::uint32_t writeMs);
  int (*read)(void* ctx, std::uint32_t device, std::uint8_t* buffer, std::uint32_t count, std::uint32_t* got);
  int (*write)(void* ctx, std::uint32_t device, const std::uint8_t* data, std::uint32_t count,
               std::uint32_t* put);
  int (*queueStatus)(void* ctx, std::uint32_t device, std::uint32_t* waiting);
  int (*setUsbParameters)(void* ctx, std::uint32_t device, std::uint32_t inSize, std::uint32_t outSize);
  int (*resetDevice)(void* ctx, std::uint32_t device);
};

// The platform's bridge backend; null when the platform has none.
const BridgeOps* PlatformBridge();

class CUsb : public CPort {
 public:
  CUsb();
  ~CUsb();

  Handle OpenWith(const char* name, const char* settings) override;
  Handle Open() override;
  int Close(Handle h) override;
  int Purge() override;
  int Read(std::uint8_t* buffer, int count, int timeoutMs) override;
  int Write(const std::uint8_t* data, int count) override;
  int GetInQueue() override;
  int SetInBufferSize(int size) override;
  int SetOutBufferSize(int size) override;
  int ResetDevice() override;

  // Tests replace the platform backend with a fake.
  void SetBridge(const BridgeOps* ops) { bridge_ = ops; }

 private:
  const BridgeOps* bridge_;
};

}  // namespace omr
