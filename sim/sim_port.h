// An in-process CPort in front of the firmware model, on a virtual clock: a
// read that cannot be satisfied returns short at once and the clock moves on
// by its time-out, so tests never wait.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "port/port.h"
#include "sim/firmware.h"

namespace omr::sim {

class SimPort : public CPort {
 public:
  struct ReadCall {
    int count;
    int timeoutMs;
    int returned;
  };

  explicit SimPort(Firmware& firmware);
  ~SimPort() = default;

  Handle Open() override;
  int Close(Handle h) override;
  int Purge() override;
  int Read(std::uint8_t* buffer, int count, int timeoutMs) override;
  int Write(const std::uint8_t* data, int count) override;
  int GetInQueue() override;

  std::int64_t NowMs() const { return nowMs_; }
  void AdvanceMs(std::int64_t ms) { nowMs_ += ms; }
  // Every further Write reports at most this many bytes written (-1: no limit).
  void LimitWrites(int maxBytes) { writeLimit_ = maxBytes; }
  // The reader hung up: reads and writes fail until the port is opened again.
  bool HungUp() const { return hungUp_; }
  const std::vector<ReadCall>& Reads() const { return reads_; }
  std::size_t Purges() const { return purges_; }

 private:
  void Collect();

  Firmware& firmware_;
  std::deque<Chunk> chunks_;
  std::size_t frontOffset_ = 0;  // bytes of the front chunk already read
  std::int64_t nowMs_ = 0;
  bool hungUp_ = false;
  int writeLimit_ = -1;
  std::vector<ReadCall> reads_;
  std::size_t purges_ = 0;
  Handle nextHandle_ = 0x51;
};

}  // namespace omr::sim
