#include "sim/sim_port.h"

#include <algorithm>

namespace omr::sim {

SimPort::SimPort(Firmware& firmware) : firmware_(firmware) {}

void SimPort::Collect() {
  for (Chunk& c : firmware_.TakeOutput()) chunks_.push_back(std::move(c));
}

Handle SimPort::Open() {
  // A fresh connection: whatever the old line carried is gone.
  firmware_.TakeOutput();
  firmware_.ResetLink();
  chunks_.clear();
  frontOffset_ = 0;
  hungUp_ = false;
  handle = nextHandle_++;
  return handle;
}

int SimPort::Close(Handle h) {
  if (handle == 0 || h != handle) return 0;
  handle = 0;
  return 1;
}

int SimPort::Purge() {
  if (handle == 0) return 0;
  ++purges_;
  Collect();
  // Only bytes that have arrived are dropped; a late reply still comes.
  while (!chunks_.empty() && !chunks_.front().hangUp && chunks_.front().readyAtMs <= nowMs_) {
    chunks_.pop_front();
    frontOffset_ = 0;
  }
  return 1;
}

int SimPort::Write(const std::uint8_t* data, int count) {
  if (handle == 0 || hungUp_ || count <= 0) return 0;
  const int n = writeLimit_ >= 0 ? std::min(count, writeLimit_) : count;
  firmware_.Feed(data, static_cast<std::size_t>(n), nowMs_);
  Collect();
  return n;
}

int SimPort::Read(std::uint8_t* buffer, int count, int timeoutMs) {
  int got = 0;
  if (handle != 0 && count > 0) {
    Collect();
    const std::int64_t deadline = nowMs_ + std::max(timeoutMs, 0);
    std::int64_t lastArrival = nowMs_;
    while (got < count && !chunks_.empty() && !hungUp_) {
      Chunk& front = chunks_.front();
      if (front.readyAtMs > deadline) break;
      lastArrival = std::max(lastArrival, front.readyAtMs);
      if (front.hangUp) {
        hungUp_ = true;
        chunks_.clear();
        frontOffset_ = 0;
        break;
      }
      const std::size_t available = front.bytes.size() - frontOffset_;
      const std::size_t take = std::min<std::size_t>(available, static_cast<std::size_t>(count - got));
      std::copy_n(front.bytes.begin() + static_cast<std::ptrdiff_t>(frontOffset_), take, buffer + got);
      got += static_cast<int>(take);
      frontOffset_ += take;
      if (frontOffset_ == front.bytes.size()) {
        chunks_.pop_front();
        frontOffset_ = 0;
      }
    }
    // A complete read ends when its last byte arrived; a short one waited it out,
    // unless the line hung up, which a real port notices at once.
    nowMs_ = (got == count || hungUp_) ? lastArrival : deadline;
  }
  hungUp = hungUp_ && got < count;  // what the host's port reports
  reads_.push_back({count, timeoutMs, got});
  return got;
}

int SimPort::GetInQueue() {
  if (handle == 0) return 0;
  Collect();
  int n = 0;
  bool first = true;
  for (const Chunk& c : chunks_) {
    if (c.hangUp || c.readyAtMs > nowMs_) break;
    n += static_cast<int>(c.bytes.size() - (first ? frontOffset_ : 0));
    first = false;
  }
  return n;
}

}  // namespace omr::sim
