#include "link/link.h"

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace omr {

Exchange Link::Transact(const std::uint8_t* cmd, int cmdLen, std::uint8_t* reply, int replyLen, int timeoutMs,
                        PurgeFirst purge) {
  Exchange ex;
  if (replyLen > 0) std::memset(reply, 0, static_cast<std::size_t>(replyLen));
  CPort* port = activePort_;
  if (port == nullptr) return ex;
  if (purge == PurgeFirst::Yes) port->Purge();
  ex.written = port->Write(cmd, cmdLen);
  if (ex.written != cmdLen) return ex;
  ex.received = port->Read(reply, replyLen, timeoutMs);
  ex.ok = ex.received == replyLen && replyLen >= 2 && reply[0] == kReplyByte && reply[1] == cmd[1];
  return ex;
}

bool Link::Command(const std::uint8_t* cmd, int cmdLen, std::uint8_t* reply, int replyLen, int timeoutMs,
                   PurgeFirst purge) {
  if (Transact(cmd, cmdLen, reply, replyLen, timeoutMs, purge).ok) return true;
  Fail();
  return false;
}

bool Link::Acknowledged(const std::uint8_t* cmd, int cmdLen, int timeoutMs) {
  std::uint8_t reply[4];
  if (Command(cmd, cmdLen, reply, 4, timeoutMs) && IsAck(reply, cmd[1])) return true;
  Fail();
  return false;
}

int Link::Read(std::uint8_t* buffer, int count, int timeoutMs) {
  return activePort_ ? activePort_->Read(buffer, count, timeoutMs) : 0;
}

int Link::Write(const std::uint8_t* data, int count) {
  return activePort_ ? activePort_->Write(data, count) : 0;
}

bool Link::Purge() {
  return activePort_ && activePort_->Purge() != 0;
}

bool ClearReader(Link& link) {
  if (!link.Connected()) return false;
  const std::uint8_t clear[2] = {kCommandByte, 0x23};
  std::uint8_t reply[2];
  if (!link.Command(clear, 2, reply, 2, kShortTimeoutMs)) return false;
  // The settings command's answer is read but never tested.
  const std::uint8_t defaults[5] = {kCommandByte, 0x06, 0x00, 0xFF, 0xFF};
  link.Purge();
  if (link.Write(defaults, 5) != 5) {
    link.Fail();
    return false;
  }
  link.Read(reply, 2, kShortTimeoutMs);
  return true;
}

bool QueryVersion(Link& link, char* text) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x54};
  std::uint8_t reply[4];
  if (!link.Command(cmd, 2, reply, 4, kShortTimeoutMs)) return false;
  std::snprintf(text, 8, "%u.%u", reply[2], reply[3]);
  link.lastError = 0;
  return true;
}

bool QueryChannelCount(Link& link, std::int32_t& channelCount, int* count) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x4E};
  std::uint8_t reply[4];
  if (!link.Command(cmd, 2, reply, 4, kShortTimeoutMs)) return false;
  channelCount = ReplyWord(reply);
  if (count) *count = channelCount;
  return true;
}

int ComputeSheetWait(Link& link) {
  char version[16] = {};
  if (!QueryVersion(link, version)) return SheetWaitFor("", nullptr);
  if (!WaitInParameters(version)) return SheetWaitFor(version, nullptr);
  const std::uint8_t cmd[2] = {kCommandByte, 0x46};
  std::uint8_t reply[6];
  if (!link.Command(cmd, 2, reply, 6, 1000)) return SheetWaitFor(version, nullptr);
  return SheetWaitFor(version, reply + 2);
}

bool WaitInParameters(const char* version) {
  return version != nullptr && ParseDecimal(version) >= 3.0;
}

int SheetWaitFor(const char* version, const std::uint8_t* parameters) {
  if (!WaitInParameters(version)) return 2000;
  // A reader that answers its version but not its parameter block gets the
  // shortest wait of its generation rather than a value made of version text.
  if (parameters == nullptr) return 8000;
  return (parameters[2] + 8) * 1000;
}

double ParseDecimal(const char* text) {
  if (text == nullptr) return 0.0;
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r' || *text == '\f' || *text == '\v')
    ++text;
  const char* begin = text;
  if (*begin == '+') ++begin;  // from_chars takes no plus sign
  double value = 0.0;
  const char* end = begin + std::strlen(begin);
  auto [ptr, ec] = std::from_chars(begin, end, value);
  (void)ptr;
  if (ec != std::errc()) return 0.0;
  return value;
}

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace omr
