// A CPort for unit tests: plays scripted replies to expected writes, records
// every write, read and time-out, and reports short reads at once instead of
// waiting.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "port/port.h"

namespace omr::test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedPort : public CPort {
 public:
  struct Step {
    Bytes expect;  // empty: any write
    Bytes reply;   // queued for reading when the write arrives
  };
  struct ReadCall {
    int count;
    int timeoutMs;
    int returned;
  };

  ScriptedPort() { handle = 0x5150; }
  ~ScriptedPort() = default;

  // Script: after a write equal to `expect`, `reply` becomes readable.
  ScriptedPort& On(Bytes expect, Bytes reply = {}) {
    steps_.push_back({std::move(expect), std::move(reply)});
    return *this;
  }
  // Bytes already waiting (a late answer of an earlier command).
  void Queue(const Bytes& bytes) { incoming_.insert(incoming_.end(), bytes.begin(), bytes.end()); }
  // Every further Write reports at most this many bytes written.
  void LimitWrites(int maxBytes) { writeLimit_ = maxBytes; }
  // From now on a read that runs out of bytes reports the device gone, as a
  // port does after a hang-up.
  void HangUpWhenDry() { hangUpWhenDry_ = true; }
  // A responder sees every write once the script is used up and may queue bytes.
  void Respond(std::function<void(ScriptedPort&, const Bytes&)> responder) {
    responder_ = std::move(responder);
  }

  const std::vector<Bytes>& Writes() const { return writes_; }
  const std::vector<ReadCall>& Reads() const { return reads_; }
  int Purges() const { return purges_; }
  std::size_t Pending() const { return incoming_.size(); }
  bool ScriptUsedUp() const { return steps_.empty(); }
  // Writes that did not match the next step, for test failure messages.
  const std::vector<std::string>& Mismatches() const { return mismatches_; }
  Bytes AllWritten() const;

  Handle Open() override { return handle = 0x5150; }
  int Close(Handle h) override;
  int Purge() override;
  int Read(std::uint8_t* buffer, int count, int timeoutMs) override;
  int Write(const std::uint8_t* data, int count) override;
  int GetInQueue() override { return static_cast<int>(incoming_.size()); }

 private:
  std::deque<Step> steps_;
  std::deque<std::uint8_t> incoming_;
  std::vector<Bytes> writes_;
  std::vector<ReadCall> reads_;
  std::vector<std::string> mismatches_;
  std::function<void(ScriptedPort&, const Bytes&)> responder_;
  int writeLimit_ = -1;
  bool hangUpWhenDry_ = false;
  int purges_ = 0;
};

std::string Hex(const Bytes& bytes);

}  // namespace omr::test
