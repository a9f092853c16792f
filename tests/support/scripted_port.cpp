#include "scripted_port.h"

#include <algorithm>
#include <cstdio>

namespace omr::test {

std::string Hex(const Bytes& bytes) {
  std::string out;
  char piece[4];
  for (std::uint8_t b : bytes) {
    std::snprintf(piece, sizeof piece, "%02X ", b);
    out += piece;
  }
  if (!out.empty()) out.pop_back();
  return out;
}

Bytes ScriptedPort::AllWritten() const {
  Bytes all;
  for (const Bytes& w : writes_) all.insert(all.end(), w.begin(), w.end());
  return all;
}

int ScriptedPort::Close(Handle h) {
  if (handle == 0 || h != handle) return 0;
  handle = 0;
  return 1;
}

int ScriptedPort::Purge() {
  if (handle == 0) return 0;
  ++purges_;
  incoming_.clear();
  return 1;
}

int ScriptedPort::Read(std::uint8_t* buffer, int count, int timeoutMs) {
  int n = 0;
  if (handle != 0) {
    n = std::min<int>(count, static_cast<int>(incoming_.size()));
    for (int i = 0; i < n; ++i) {
      buffer[i] = incoming_.front();
      incoming_.pop_front();
    }
  }
  hungUp = hangUpWhenDry_ && n < count;
  reads_.push_back({count, timeoutMs, n});
  return n;
}

int ScriptedPort::Write(const std::uint8_t* data, int count) {
  if (handle == 0) return 0;
  const int n = writeLimit_ >= 0 ? std::min(count, writeLimit_) : count;
  Bytes written(data, data + count);
  writes_.push_back(written);
  if (!steps_.empty()) {
    Step step = steps_.front();
    if (step.expect.empty() || step.expect == written) {
      steps_.pop_front();
      Queue(step.reply);
    } else {
      mismatches_.push_back("expected " + Hex(step.expect) + ", got " + Hex(written));
    }
  } else if (responder_) {
    responder_(*this, written);
  }
  return n;
}

}  // namespace omr::test
