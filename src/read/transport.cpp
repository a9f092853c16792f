#include "read/transport.h"

namespace omr {

namespace {

constexpr int kMotorTimeoutMs = 2000;

// Motor commands report the last count or value they handled: the bytes
// written after a short write, the bytes read after a short answer,
// otherwise the two answer bytes as a little-endian number.
int MotorCommand(Link& link, std::uint8_t code) {
  const std::uint8_t cmd[2] = {kCommandByte, code};
  std::uint8_t reply[4];
  const Exchange ex = link.Transact(cmd, 2, reply, 2, kMotorTimeoutMs);
  if (ex.ok) return reply[0] | (reply[1] << 8);
  link.Fail();
  if (ex.written != 2) return ex.written;
  if (ex.received != 2) return ex.received;
  return reply[0] | (reply[1] << 8);
}

}  // namespace

int StartMotor(Link& link) {
  return MotorCommand(link, 0x01);
}

int StopMotor(Link& link) {
  return MotorCommand(link, 0x02);
}

bool PassSheet(Link& link) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x03};
  std::uint8_t reply[2];
  return link.Command(cmd, 2, reply, 2, kMotorTimeoutMs);
}

int IsReading(Link& link) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x25};
  std::uint8_t reply[4];
  if (!link.Command(cmd, 2, reply, 4, kShortTimeoutMs)) return -1;
  return ReplyWord(reply);
}

int StopRead(Link& link) {
  // The answer is awaited even after a short write, and whatever arrived is
  // returned, so this command cannot use Transact's early exit.
  const std::uint8_t cmd[2] = {kCommandByte, 0x27};
  std::uint8_t reply[4] = {};
  link.Purge();
  bool ok = link.Write(cmd, 2) == 2;
  const int received = link.Read(reply, 2, kShortTimeoutMs);
  ok = ok && received == 2 && reply[0] == kReplyByte && reply[1] == cmd[1];
  if (!ok) link.Fail();
  return reply[0] | (reply[1] << 8);
}

}  // namespace omr
