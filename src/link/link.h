// The exchange rule that every reader command follows, and the small commands
// of the link itself.
#pragma once

#include <cstdint>
#include <string>

#include "port/port.h"

namespace omr {

inline constexpr std::uint8_t kCommandByte = 0xFA;
inline constexpr std::uint8_t kReplyByte = 0xFB;
inline constexpr int kErrComm = 8;
inline constexpr int kShortTimeoutMs = 333;

enum class PurgeFirst : bool { No = false, Yes = true };

// Milliseconds on a monotonic clock. Tests put their own clock in a Link to
// let time pass without waiting.
using MonotonicMs = std::int64_t (*)();
std::int64_t SteadyMs();

// What one exchange achieved, for the commands that report partial counts.
struct Exchange {
  int written = 0;
  int received = 0;
  bool ok = false;  // everything written, reply complete, FB and the code matched
};

// The view of the driver context that commands need: the active port and the
// last error code.
class Link {
 public:
  Link(CPort*& activePort, std::int32_t& lastError) : activePort_(activePort), lastError(lastError) {}

  bool Connected() const { return activePort_ != nullptr; }
  CPort* Port() const { return activePort_; }

  // Purge (unless told not to), write `cmd`, read `replyLen` bytes within
  // `timeoutMs` into `reply` (zero-filled first), then require FB and the
  // command code. Sets no error code: callers decide. Without an active port
  // nothing is touched and the exchange fails.
  Exchange Transact(const std::uint8_t* cmd, int cmdLen, std::uint8_t* reply, int replyLen, int timeoutMs,
                    PurgeFirst purge = PurgeFirst::Yes);

  // Transact, recording error 8 on failure.
  bool Command(const std::uint8_t* cmd, int cmdLen, std::uint8_t* reply, int replyLen, int timeoutMs,
               PurgeFirst purge = PurgeFirst::Yes);

  // An acknowledged command: the reply must be FB code 01 00. Records 8 on failure.
  bool Acknowledged(const std::uint8_t* cmd, int cmdLen, int timeoutMs);

  // Further reads and writes of an exchange already started; 0 without a port.
  int Read(std::uint8_t* buffer, int count, int timeoutMs);
  int Write(const std::uint8_t* data, int count);
  bool Purge();
  // Whether the last read ended because the port reported the device gone.
  bool HungUp() const { return activePort_ != nullptr && activePort_->HungUp(); }

  void Fail() { lastError = kErrComm; }

 private:
  CPort*& activePort_;

 public:
  std::int32_t& lastError;
  MonotonicMs now = SteadyMs;
};

inline bool IsAck(const std::uint8_t* reply, std::uint8_t code) {
  return reply[0] == kReplyByte && reply[1] == code && reply[2] == 1 && reply[3] == 0;
}

// Little-endian 16-bit word of reply bytes 2 and 3.
inline int ReplyWord(const std::uint8_t* reply) {
  return reply[2] | (reply[3] << 8);
}

// Clear the reader and restore its default settings (FA 23, then FA 06 00 FF FF).
// True when the reader answered the clear: the caller's copy of the settings
// is then the defaults again.
bool ClearReader(Link& link);

// The version text "%d.%d" (at least 8 bytes); lastError 0 on success, 8 on failure.
bool QueryVersion(Link& link, char* text);

// The reader's channel count; stored in channelCount too. lastError unchanged on success.
bool QueryChannelCount(Link& link, std::int32_t& channelCount, int* count);

// How long a read waits for the reader's first answer, in milliseconds.
int ComputeSheetWait(Link& link);

// The rule behind it: firmware of this version keeps its wait in its
// parameter block (3.0 and later).
bool WaitInParameters(const char* version);
// The wait for a reader of this version with this 4-byte parameter block
// (null when it gave none).
int SheetWaitFor(const char* version, const std::uint8_t* parameters);

// A decimal number from the start of `text`, "." as the point whatever the
// locale; 0 when there is none.
double ParseDecimal(const char* text);

// Pauses the calling thread.
void SleepMs(int ms);

}  // namespace omr
