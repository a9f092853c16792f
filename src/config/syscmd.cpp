#include <cstring>

#include "config/captures.h"
#include "config/channels.h"
#include "config/maintenance.h"
#include "config/serial.h"

namespace omr {

namespace {

enum class AfterSuccess { Clear, Keep };

// One request and one reply of fixed length; `out` receives reply bytes
// 2..replyLen-1 when given. An acknowledgement must be FB code 01 00.
struct Single {
  std::uint8_t code;
  int paramLen;  // parameter bytes taken from arg
  int replyLen;
  int timeoutMs;
  bool ack;
  bool output;
  AfterSuccess after;
};

bool RunSingle(Link& link, const Single& s, std::uint8_t* arg) {
  std::uint8_t cmd[6] = {kCommandByte, s.code};
  if (s.paramLen > 0) std::memcpy(cmd + 2, arg, static_cast<std::size_t>(s.paramLen));
  std::uint8_t reply[6];
  if (!link.Command(cmd, 2 + s.paramLen, reply, s.replyLen, s.timeoutMs)) return false;
  if (s.ack && !IsAck(reply, s.code)) {
    link.Fail();
    return false;
  }
  if (s.output) std::memcpy(arg, reply + 2, static_cast<std::size_t>(s.replyLen - 2));
  if (s.after == AfterSuccess::Clear) link.lastError = 0;
  return true;
}

// Code 6: a status word, then two value bytes in the order received.
bool GetValue44(Link& link, std::uint8_t* arg) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x44};
  std::uint8_t status[4];
  if (!link.Command(cmd, 2, status, 4, 1000)) return false;
  link.lastError = ReplyWord(status);
  if (link.lastError != 0) return false;
  std::uint8_t value[2] = {};
  if (link.Read(value, 2, kShortTimeoutMs) != 2) {
    link.Fail();
    return false;
  }
  arg[0] = value[0];
  arg[1] = value[1];
  return true;
}

// Codes 26 and 27: only readers of version 2.0 or later get the command.
// A version query without an answer fails both, so a dead link is never
// reported as success.
bool FirmwareGated(Link& link, std::uint8_t code) {
  link.Purge();
  char version[8] = {};
  if (!QueryVersion(link, version)) return false;
  if (ParseDecimal(version) < 1.999999) return code == 0x61;
  const std::uint8_t cmd[4] = {kCommandByte, code, 0x24, 0x07};
  std::uint8_t reply[4];
  if (link.Command(cmd, 4, reply, 4, kShortTimeoutMs, PurgeFirst::No) && IsAck(reply, code)) return true;
  link.Fail();
  return false;
}

void PutInt32(void* arg, std::int32_t value) {
  auto* out = static_cast<std::uint8_t*>(arg);
  const auto v = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool IgnoresArg(int code) {
  return code == 5 || code == 7 || code == 22 || code == 26 || code == 27;
}
bool WorksOffline(int code) {
  return code == 11 || code == 25;
}

}  // namespace

int SysCmd(const MaintenanceView& view, int code, void* arg) {
  if (code < 3 || code > 30) return 0;
  Link& link = view.link;
  if (arg == nullptr && !IgnoresArg(code)) {
    link.lastError = kErrParameter;
    return 0;
  }
  if (!WorksOffline(code) && !link.Connected()) {
    link.Fail();
    return 0;
  }
  auto* bytes = static_cast<std::uint8_t*>(arg);
  bool ok = false;
  switch (code) {
    case 3:
      ok = ReadChannelWords(view, bytes);
      break;
    case 4:
      ok = ReadChannelBlock(view, bytes);
      break;
    case 5:
      ok = RunSingle(link, {0x43, 0, 4, 1000, true, false, AfterSuccess::Clear}, bytes);
      break;
    case 6:
      ok = GetValue44(link, bytes);
      break;
    case 7:
      ok = RunSingle(link, {0x45, 0, 4, 1000, true, false, AfterSuccess::Clear}, bytes);
      break;
    case 8:
      ok = RunSingle(link, {0x46, 0, 6, 1000, false, true, AfterSuccess::Clear}, bytes);
      break;
    case 9:
      ok = RunSingle(link, {0x47, 4, 4, 1000, true, false, AfterSuccess::Clear}, bytes);
      break;
    case 10:
      ok = CapturePairs(view, static_cast<std::int8_t>(bytes[0]));
      if (ok) PutInt32(arg, view.capturePairCount);
      break;
    case 11:
      ok = FetchPairArray(view, bytes);
      break;
    case 12:
      ok = ReadChannelBytes(view, bytes);
      break;
    case 13:
      ok = CaptureMatrix(view, static_cast<std::int8_t>(bytes[0]), bytes);
      break;
    case 14:
      ok = RunSingle(link, {0x4B, 4, 4, kShortTimeoutMs, true, false, AfterSuccess::Clear}, bytes);
      break;
    case 15:
      ok = RunSingle(link, {0x4C, 0, 6, kShortTimeoutMs, false, true, AfterSuccess::Keep}, bytes);
      break;
    case 16:
      ok = RunSingle(link, {0x4D, 2, 4, 1000, true, false, AfterSuccess::Keep}, bytes);
      break;
    case 17:
      ok = QueryChannelCount(link, view.channelCount, nullptr);
      if (ok) PutInt32(arg, view.channelCount);
      break;
    case 18:
      ok = WriteSerial(link, bytes);
      break;
    case 19:
      ok = WriteInfoBlock(link, bytes);
      break;
    case 20:
      ok = ReadInfoBlock(link, bytes);
      break;
    case 21:
      ok = RunSingle(link, {0x53, 4, 4, kShortTimeoutMs, true, false, AfterSuccess::Clear}, bytes);
      break;
    case 22:
      ok = RunSingle(link, {0x05, 0, 2, 2000, false, false, AfterSuccess::Keep}, bytes);
      break;
    case 23:
      ok = QueryVersion(link, static_cast<char*>(arg));
      break;
    case 24:
      ok = FindChannelRuns(view, bytes);
      break;
    case 25:
      ok = GetSheetGrid(view, bytes);
      break;
    case 26:
      ok = FirmwareGated(link, 0x60);
      break;
    case 27:
      ok = FirmwareGated(link, 0x61);
      break;
    case 28:
      ok = WriteUserText(link, static_cast<const char*>(arg));
      break;
    case 29:
      ok = ReadUserText(link, static_cast<char*>(arg));
      break;
    case 30:
      ok = CaptureAllPairs(view);
      if (ok) PutInt32(arg, view.capturePairCount);
      break;
    default:
      break;
  }
  return ok ? 1 : 0;
}

int ReadTotal(Link& link) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x4A};
  std::uint8_t reply[6];
  if (!link.Command(cmd, 2, reply, 6, kShortTimeoutMs)) return 0;
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(reply[2]) | (static_cast<std::uint32_t>(reply[3]) << 8) |
      (static_cast<std::uint32_t>(reply[4]) << 16) | (static_cast<std::uint32_t>(reply[5]) << 24));
}

}  // namespace omr
