#include "config/serial.h"

#include <cstring>

#include "config/maintenance.h"
#include "config/scramble.h"
#include "read/crc16.h"

namespace omr {

namespace {

constexpr std::uint8_t kUserTextWrite = 0x62;
constexpr std::uint8_t kUserTextRead = 0x63;

}  // namespace

int GetSerial(Link& link, char* out) {
  if (out == nullptr) {
    link.lastError = kErrParameter;
    return -1;
  }
  const std::uint8_t cmd[2] = {kCommandByte, 0x48};
  std::uint8_t reply[kSerialReplySize];
  // Up to 20 bytes are asked for; any count from one byte on is taken.
  const Exchange ex = link.Transact(cmd, 2, reply, kSerialReplySize, kShortTimeoutMs);
  if (ex.written != 2 || ex.received < 1 || reply[0] != kReplyByte || reply[1] != cmd[1]) {
    link.Fail();
    return -1;
  }
  const std::uint8_t* text = reply + 2;
  int limit = kSerialTextMax;  // a plain text without a zero byte is cut after the reply's 18 bytes
  std::uint8_t plain[16] = {};
  if (!LooksPlainSerial(text)) {
    std::memcpy(plain, text, kSerialSize);
    UnscrambleBytes(plain, kSerialSize);
    text = plain;
    limit = kSerialSize;
  }
  const int length =
      static_cast<int>(strnlen(reinterpret_cast<const char*>(text), static_cast<std::size_t>(limit)));
  std::memcpy(out, text, static_cast<std::size_t>(length));
  out[length] = '\0';
  return length;
}

bool WriteSerial(Link& link, const std::uint8_t* serial) {
  std::uint8_t cmd[2 + kSerialSize] = {kCommandByte, 0x4F};
  std::memcpy(cmd + 2, serial, kSerialSize);
  ScrambleBytes(cmd + 2, kSerialSize);
  if (!link.Acknowledged(cmd, sizeof cmd, kShortTimeoutMs)) return false;
  link.lastError = 0;
  return true;
}

bool WriteInfoBlock(Link& link, const std::uint8_t* block) {
  std::uint8_t request[256] = {kCommandByte, 0x51};
  std::uint8_t* scrambled = request + 2;
  std::memcpy(scrambled, block, kInfoBlockSize);
  ScrambleBytes(scrambled, kInfoBlockSize);

  // The CRC covers the reader's own serial number, scrambled; a failed
  // query leaves eight zero bytes and does not stop the write.
  char serialText[kSerialTextMax + 1] = {};
  std::uint8_t serial[kSerialSize] = {};
  const int serialLength = GetSerial(link, serialText);
  if (serialLength > 0)
    std::memcpy(serial, serialText, static_cast<std::size_t>(serialLength < 8 ? serialLength : 8));
  ScrambleBytes(serial, kSerialSize);
  std::uint16_t crc = Crc16(serial, kSerialSize, 0);
  crc = Crc16(scrambled, kInfoBlockSize, crc);
  request[2 + kInfoBlockSize] = static_cast<std::uint8_t>(crc & 0xFF);
  request[3 + kInfoBlockSize] = static_cast<std::uint8_t>(crc >> 8);

  if (!link.Acknowledged(request, 4 + kInfoBlockSize, 1000)) return false;
  link.lastError = 0;
  return true;
}

bool ReadInfoBlock(Link& link, std::uint8_t* out) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x52};
  std::uint8_t reply[2 + kInfoBlockSize];
  if (!link.Command(cmd, 2, reply, sizeof reply, kShortTimeoutMs)) return false;
  std::uint8_t block[kInfoBlockSize];
  std::memcpy(block, reply + 2, kInfoBlockSize);
  if (!LooksPlainBlock(block)) UnscrambleBytes(block, kInfoBlockSize);
  std::memcpy(out, block, kInfoBlockSize);
  out[kInfoBlockSize] = 0;
  return true;
}

bool WriteUserText(Link& link, const char* text) {
  int length = static_cast<int>(strnlen(text, kUserTextMax + 1));
  if (length > kUserTextMax) return false;
  std::uint8_t area[kUserTextArea] = {kCommandByte, kUserTextWrite};
  std::uint8_t* data = area + 4;
  std::memcpy(data, text, static_cast<std::size_t>(length));
  // One byte always scrambles to 0x00 and would be lost; sent with its zero
  // terminator it reads back as the same text.
  if (length == 1) length = 2;
  area[2] = static_cast<std::uint8_t>(length & 0xFF);
  area[3] = static_cast<std::uint8_t>(length >> 8);
  ScrambleBytes(data, length);
  const std::uint16_t crc = Crc16(data, length, 0);
  data[length] = static_cast<std::uint8_t>(crc & 0xFF);
  data[length + 1] = static_cast<std::uint8_t>(crc >> 8);

  // Neither the count written nor lastError is part of this command's outcome.
  link.Purge();
  link.Write(area, length + 6);
  std::uint8_t reply[4] = {};
  return link.Read(reply, 4, 1000) == 4 && IsAck(reply, kUserTextWrite);
}

bool ReadUserText(Link& link, char* out) {
  const std::uint8_t cmd[2] = {kCommandByte, kUserTextRead};
  link.Write(cmd, 2);  // no purge, count not tested
  std::uint8_t header[4] = {};
  if (link.Read(header, 4, 1000) != 4 || header[0] != kReplyByte || header[1] != kUserTextRead) return false;
  const int length = ReplyWord(header);
  // A stored length the receive area cannot hold is refused unread.
  if (length > kUserTextArea) return false;
  std::uint8_t area[kUserTextArea] = {};
  if (length > 0) link.Read(area, length, kShortTimeoutMs);
  std::uint8_t crcBytes[2] = {};
  link.Read(crcBytes, 2, kShortTimeoutMs);
  const std::uint16_t received = static_cast<std::uint16_t>(crcBytes[0] | (crcBytes[1] << 8));
  if (Crc16(area, length, 0) != received) return false;
  UnscrambleBytes(area, length);
  std::memcpy(out, area, static_cast<std::size_t>(length));
  out[length] = '\0';
  return true;
}

}  // namespace omr
