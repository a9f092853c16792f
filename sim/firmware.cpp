#include "sim/firmware.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "config/scramble.h"
#include "read/crc16.h"

namespace omr::sim {

namespace {

constexpr std::uint8_t kCommand = 0xFA;
constexpr std::uint8_t kReply = 0xFB;

void PutLe(Bytes& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t GetLe(const Bytes& in, std::size_t offset, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<std::uint32_t>(in[offset + i]) << (8 * i);
  return value;
}

Bytes Ack(std::uint8_t code, bool accepted = true) {
  return {kReply, code, static_cast<std::uint8_t>(accepted ? 1 : 0), 0};
}

// Replies that carry a status word and, when it is 0, more data.
bool IsStatusReply(std::uint8_t code) {
  switch (code) {
    case 0x24:
    case 0x2B:
    case 0x29:
    case 0x32:
    case 0x35:
    case 0x42:
    case 0x44:
      return true;
    default:
      return false;
  }
}

bool WellFormedParameterBlock(const Bytes& b) {
  static constexpr struct {
    std::size_t offset;
    std::uint8_t value;
  } kFixed[] = {{2, 0x19}, {3, 0x00}, {4, '['},  {5, 'B'},  {6, ']'},  {7, '['},
                {8, 'L'},  {12, ']'}, {13, '['}, {14, '*'}, {19, ']'}, {20, '['},
                {21, 'H'}, {24, ']'}, {25, '['}, {26, 'C'}, {28, ']'}};
  if (b.size() != 29) return false;
  for (const auto& f : kFixed)
    if (b[f.offset] != f.value) return false;
  return true;
}

}  // namespace

int CommandLength(std::uint8_t code) {
  switch (code) {
    case 0x01:
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x23:
    case 0x24:
    case 0x25:
    case 0x26:
    case 0x27:
    case 0x33:
    case 0x35:
    case 0x41:
    case 0x42:
    case 0x43:
    case 0x44:
    case 0x45:
    case 0x46:
    case 0x48:
    case 0x4A:
    case 0x4C:
    case 0x4E:
    case 0x52:
    case 0x54:
    case 0x63:
      return 2;
    case 0x29:
    case 0x2B:
    case 0x32:
      return 3;
    case 0x4D:
    case 0x60:
    case 0x61:
      return 4;
    case 0x06:
      return 5;
    case 0x47:
    case 0x4B:
    case 0x53:
      return 6;
    case 0x4F:
      return 10;
    case 0x21:
      return 29;
    case 0x51:
      return 132;
    case 0x62:
      return 0;  // 6 + the length in bytes 2 and 3
    default:
      return -1;
  }
}

std::string HexBytes(const std::uint8_t* data, std::size_t count, std::size_t limit) {
  std::string out;
  char piece[4];
  for (std::size_t i = 0; i < count && i < limit; ++i) {
    std::snprintf(piece, sizeof piece, "%02X ", data[i]);
    out += piece;
  }
  if (count > limit) out += "... (" + std::to_string(count) + " bytes)";
  if (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

Firmware::Firmware(FirmwareConfig config) : config_(config) {
  static constexpr char kSerial[] = "SIM00001";
  std::memcpy(serial_.data(), kSerial, 8);
  static constexpr char kInfo[] = "Simulated optical mark reader";
  infoBlock_.fill(' ');
  std::memcpy(infoBlock_.data(), kInfo, sizeof kInfo - 1);
  // A capture with one stretch of high values per row, shifted row by row.
  matrix_.resize(static_cast<std::size_t>(matrixRows_) * matrixColumns_);
  for (int r = 0; r < matrixRows_; ++r)
    for (int c = 0; c < matrixColumns_; ++c)
      matrix_[static_cast<std::size_t>(r * matrixColumns_ + c)] = (c >= 8 + r && c < 28 + r) ? 9 : 2;
  // 46 lead-in bytes, then sixteen pairs each behind a marker.
  pairStream_.assign(46, 0x00);
  for (int i = 0; i < 16; ++i) {
    pairStream_.push_back(static_cast<std::uint8_t>(i % 2 ? 0xF0 + i : i % 6));
    pairStream_.push_back(static_cast<std::uint8_t>(6 + (i * 13) % 200));
    pairStream_.push_back(static_cast<std::uint8_t>(6 + (i * 29 + 7) % 200));
  }
}

void Firmware::SetMatrix(std::uint8_t rows, std::uint8_t columns, Bytes data) {
  matrixRows_ = rows;
  matrixColumns_ = columns;
  data.resize(static_cast<std::size_t>(rows) * columns, 0);
  matrix_ = std::move(data);
}

std::size_t Firmware::FaultsPending() const {
  std::size_t n = 0;
  for (const auto& entry : faults_) n += entry.second.size();
  return n;
}

std::vector<Chunk> Firmware::TakeOutput() {
  std::vector<Chunk> out(output_.begin(), output_.end());
  output_.clear();
  return out;
}

void Firmware::ResetLink() {
  if (!pending_.empty())
    Log("link reset: dropped incomplete command " + HexBytes(pending_.data(), pending_.size()));
  pending_.clear();
}

void Firmware::Log(const std::string& text) const {
  if (logger_) logger_(text);
}

void Firmware::Feed(const std::uint8_t* data, std::size_t count, std::int64_t nowMs) {
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t byte = data[i];
    if (!pending_.empty() && nowMs - lastByteMs_ > config_.partialCommandTimeoutMs) {
      Log("dropped incomplete command " + HexBytes(pending_.data(), pending_.size()));
      pending_.clear();
    }
    lastByteMs_ = nowMs;
    if (pending_.empty() && byte != kCommand) {
      ++strayBytes_;
      Log("stray byte " + HexBytes(&byte, 1));
      continue;
    }
    pending_.push_back(byte);
    if (pending_.size() < 2) continue;
    int length = CommandLength(pending_[1]);
    if (length < 0) length = 2;  // unknown code: taken as a bare command, not answered
    if (length == 0) {
      if (pending_.size() < 4) continue;
      length = 6 + static_cast<int>(GetLe(pending_, 2, 2));
    }
    if (static_cast<int>(pending_.size()) < length) continue;
    const Bytes command = std::move(pending_);
    pending_.clear();
    Handle(command, nowMs);
  }
}

void Firmware::Handle(const Bytes& command, std::int64_t nowMs) {
  ++commandsHandled_;
  const std::uint8_t code = command[1];
  Log("host   " + HexBytes(command.data(), command.size()));

  // Faults due for this command; once-faults are used up now.
  std::vector<Fault> due;
  if (auto it = faults_.find(code); it != faults_.end()) {
    auto& list = it->second;
    // A fault still waiting for its turn counts this command down instead.
    for (Fault& f : list) {
      if (f.after > 0) {
        --f.after;
        continue;
      }
      due.push_back(f);
      f.after = -1;  // fired
    }
    list.erase(std::remove_if(list.begin(), list.end(), [](const Fault& f) { return f.once && f.after < 0; }),
               list.end());
    if (list.empty()) faults_.erase(it);
  }
  // A reader that stays silent or reports a fault before feeding leaves the tray alone.
  bool skipTray = false;
  for (const Fault& f : due) skipTray |= f.kind == FaultKind::Silence || f.kind == FaultKind::Status;
  skipTray &= code == 0x24 || code == 0x2B;
  if (skipTray && code == 0x2B) lastReadLine_ = command[2];

  int delayMs = 0;
  int dripMs = 0;
  Bytes reply = skipTray ? Bytes{kReply, code, 0, 0} : Reply(command, delayMs);
  if (reply.empty() && due.empty()) {
    Log("reader (no answer)");
    return;
  }
  for (const Fault& f : due) {
    Log(std::string("fault  ") + FaultName(f.kind) + (f.value >= 0 ? "=" + std::to_string(f.value) : ""));
    switch (f.kind) {
      case FaultKind::Silence:
        reply.clear();
        break;
      case FaultKind::Delay:
        delayMs += f.value >= 0 ? f.value : 1000;
        break;
      case FaultKind::ShortReply: {
        const std::size_t keep = f.value >= 0 ? static_cast<std::size_t>(f.value) : reply.size() - 1;
        if (!reply.empty() && keep < reply.size()) reply.resize(keep);
        break;
      }
      case FaultKind::WrongCode:
        if (reply.size() >= 2) reply[1] = static_cast<std::uint8_t>(code + 1);
        break;
      case FaultKind::Status: {
        const int status = f.value >= 0 ? f.value : (IsStatusReply(code) ? 3 : 0);
        const std::size_t at = code == 0x29 ? 4 : 2;
        if (reply.size() < at + 2) reply.resize(at + 2, 0);
        reply[at] = static_cast<std::uint8_t>(status & 0xFF);
        reply[at + 1] = static_cast<std::uint8_t>((status >> 8) & 0xFF);
        if (IsStatusReply(code) && status != 0) reply.resize(at + 2);
        break;
      }
      case FaultKind::CorruptCrc:
        if ((code == 0x26 || code == 0x63) && reply.size() >= 2)
          reply[reply.size() - 2] ^= 0xFF;
        else if (!reply.empty())
          reply.back() ^= 0xFF;
        break;
      case FaultKind::OversizeHeader: {
        const int length = f.value >= 0 ? f.value : 0xFFFF;
        if (code == 0x26 && reply.size() >= kFrameHeaderSize) {
          reply[2] = kMaxGridLines;
          reply[3] = kMaxBytesPerLine;
          reply[4] = static_cast<std::uint8_t>(length & 0xFF);
          reply[5] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
        } else if (code == 0x29 && reply.size() >= 4) {
          reply[2] = 0xFF;
          reply[3] = 0xFF;
        } else if (code == 0x63 && reply.size() >= 4) {
          reply[2] = static_cast<std::uint8_t>(length & 0xFF);
          reply[3] = static_cast<std::uint8_t>((length >> 8) & 0xFF);
        }
        break;
      }
      case FaultKind::HangUp: {
        const std::size_t keep = f.value >= 0 ? static_cast<std::size_t>(f.value) : reply.size() / 2;
        if (keep < reply.size()) reply.resize(keep);
        Emit(std::move(reply), nowMs + delayMs);
        output_.push_back(Chunk{{}, lastReadyMs_, true});
        Log("reader hangs up");
        return;
      }
      case FaultKind::Drip:
        dripMs = f.value >= 0 ? f.value : 300;
        break;
    }
  }
  if (reply.empty()) {
    Log("reader (no answer)");
    return;
  }
  if (dripMs > 0) {
    Log("reader drips " + HexBytes(reply.data(), reply.size()));
    const std::int64_t start = std::max(lastReadyMs_, nowMs + delayMs);
    for (std::size_t i = 0; i < reply.size(); ++i) {
      lastReadyMs_ = start + dripMs * static_cast<std::int64_t>(i);
      output_.push_back(Chunk{{reply[i]}, lastReadyMs_, false});
    }
    return;
  }
  Emit(std::move(reply), nowMs + delayMs);
}

void Firmware::Emit(Bytes reply, std::int64_t readyAtMs) {
  // One line, one sender: a reply never overtakes an earlier, delayed one.
  readyAtMs = std::max(readyAtMs, lastReadyMs_);
  lastReadyMs_ = readyAtMs;
  Log("reader " + HexBytes(reply.data(), reply.size()));
  output_.push_back(Chunk{std::move(reply), readyAtMs, false});
}

Bytes Firmware::StartRead(std::uint8_t code) {
  if (tray_.empty()) {
    staged_.clear();
    if (!config_.emptyTrayStatus) {
      Log("tray empty");
      return {};
    }
    Bytes reply{kReply, code};
    PutLe(reply, *config_.emptyTrayStatus, 2);
    return reply;
  }
  Sheet sheet = std::move(tray_.front());
  tray_.pop_front();
  Log("feeds sheet " + (sheet.name.empty() ? std::string("(unnamed)") : sheet.name) + ", status " +
      std::to_string(sheet.status));
  if (sheet.status == 0) {
    staged_ = std::move(sheet.frame);
    ++sheetsRead_;
    ++config_.totalCounter;
  } else {
    staged_.clear();
  }
  Bytes reply{kReply, code};
  PutLe(reply, sheet.status, 2);
  return reply;
}

Bytes Firmware::Table(const Bytes& custom, int length, int seed, int step) const {
  Bytes out;
  if (!custom.empty()) {
    out = custom;
    out.resize(static_cast<std::size_t>(length), 0);
    return out;
  }
  if (step == 0) {  // one byte per channel
    for (int i = 0; i < length; ++i) out.push_back(static_cast<std::uint8_t>(seed + i));
    return out;
  }
  for (int i = 0; static_cast<int>(out.size()) < length; ++i)
    PutLe(out, static_cast<std::uint32_t>(seed + step * i), 2);
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::uint16_t Firmware::InfoBlockCrc(const std::uint8_t* scrambledBlock) const {
  // The serial text exactly as the host derives it from an FA 48 reply.
  std::uint8_t text[16] = {};
  std::memcpy(text, serial_.data(), 8);
  if (!LooksPlainSerial(serial_.data())) UnscrambleBytes(text, 8);
  std::uint8_t key[8] = {};
  for (int i = 0; i < 8 && text[i] != 0; ++i) key[i] = text[i];
  ScrambleBytes(key, 8);
  const std::uint16_t crc = Crc16(key, 8, 0);
  return Crc16(scrambledBlock, 128, crc);
}

Bytes Firmware::Reply(const Bytes& command, int& extraDelayMs) {
  const std::uint8_t code = command[1];
  const int n = config_.channels;
  switch (code) {
    case 0x01:
      motorOn_ = true;
      return {kReply, code};
    case 0x02:
      motorOn_ = false;
      return {kReply, code};
    case 0x03:
      if (!tray_.empty()) {
        Log("passes sheet " + tray_.front().name + " unread");
        tray_.pop_front();
        ++sheetsPassed_;
      }
      return {kReply, code};
    case 0x04:
    case 0x05:
    case 0x27:
      return {kReply, code};
    case 0x06:
      std::copy(command.begin() + 2, command.begin() + 5, settings_.begin());
      return {kReply, code};
    case 0x21: {
      if (!WellFormedParameterBlock(command)) {
        Log("parameter block malformed");
        return Ack(code, false);
      }
      std::array<std::uint8_t, 29> block{};
      std::copy(command.begin(), command.end(), block.begin());
      formBlock_ = block;
      return Ack(code);
    }
    case 0x23:
      settings_ = {0x00, 0xFF, 0xFF};
      formBlock_.reset();
      staged_.clear();
      return {kReply, code};
    case 0x24:
    case 0x2B: {
      if (code == 0x2B) lastReadLine_ = command[2];
      const bool hadSheet = !tray_.empty();
      Bytes reply = StartRead(code);
      if (hadSheet) extraDelayMs += config_.feedDelayMs;
      return reply;
    }
    case 0x25: {
      Bytes reply{kReply, code};
      PutLe(reply, config_.readingState, 2);
      return reply;
    }
    case 0x26:
      return staged_.empty() ? EmptyFrame() : staged_;
    case 0x29: {
      lastCaptureChannel_ = command[2];
      Bytes reply{kReply, code, matrixRows_, matrixColumns_, 0, 0};
      reply.insert(reply.end(), matrix_.begin(), matrix_.end());
      return reply;
    }
    case 0x32:
    case 0x35: {
      if (code == 0x32) lastCaptureChannel_ = command[2];
      Bytes reply{kReply, code, 0, 0};
      reply.insert(reply.end(), pairStream_.begin(), pairStream_.end());
      return reply;
    }
    case 0x33: {
      Bytes reply{kReply, code};
      const Bytes table = Table(table33_, n + 2, 40, 0);
      reply.insert(reply.end(), table.begin(), table.end());
      return reply;
    }
    case 0x41: {
      Bytes reply{kReply, code};
      const Bytes table = Table(table41_, 2 * n + 4, 512, 9);
      reply.insert(reply.end(), table.begin(), table.end());
      return reply;
    }
    case 0x42: {
      Bytes reply{kReply, code, 0, 0};
      const Bytes table = Table(table42_, 2 * n + 4, 700, 5);
      reply.insert(reply.end(), table.begin(), table.end());
      return reply;
    }
    case 0x43:
    case 0x45:
      return Ack(code);
    case 0x44: {
      Bytes reply{kReply, code, 0, 0};
      PutLe(reply, config_.value44, 2);
      return reply;
    }
    case 0x46: {
      Bytes reply{kReply, code};
      reply.insert(reply.end(), config_.parameters.begin(), config_.parameters.end());
      return reply;
    }
    case 0x47:
      std::copy(command.begin() + 2, command.begin() + 6, config_.parameters.begin());
      return Ack(code);
    case 0x48: {
      Bytes reply{kReply, code};
      reply.insert(reply.end(), serial_.begin(), serial_.end());
      reply.resize(20, 0);
      return reply;
    }
    case 0x4A: {
      Bytes reply{kReply, code};
      PutLe(reply, config_.totalCounter, 4);
      return reply;
    }
    case 0x4B:
      word4B_ = GetLe(command, 2, 4);
      return Ack(code);
    case 0x4C: {
      Bytes reply{kReply, code};
      PutLe(reply, word4B_, 4);
      return reply;
    }
    case 0x4D:
      value4D_ = static_cast<std::uint16_t>(GetLe(command, 2, 2));
      return Ack(code);
    case 0x4E: {
      Bytes reply{kReply, code};
      PutLe(reply, config_.channels, 2);
      return reply;
    }
    case 0x4F:
      std::copy(command.begin() + 2, command.begin() + 10, serial_.begin());
      return Ack(code);
    case 0x51: {
      const std::uint16_t sent = static_cast<std::uint16_t>(GetLe(command, 130, 2));
      if (InfoBlockCrc(command.data() + 2) != sent) {
        ++crcRejections_;
        Log("info block CRC mismatch");
        return Ack(code, false);
      }
      std::copy(command.begin() + 2, command.begin() + 130, infoBlock_.begin());
      return Ack(code);
    }
    case 0x52: {
      Bytes reply{kReply, code};
      reply.insert(reply.end(), infoBlock_.begin(), infoBlock_.end());
      return reply;
    }
    case 0x53:
      word53_ = GetLe(command, 2, 4);
      return Ack(code);
    case 0x54:
      return {kReply, code, config_.versionMajor, config_.versionMinor};
    case 0x60:
    case 0x61:
      return Ack(code, command[2] == 0x24 && command[3] == 0x07);
    case 0x62: {
      const int length = static_cast<int>(GetLe(command, 2, 2));
      const std::uint16_t sent =
          static_cast<std::uint16_t>(GetLe(command, 4 + static_cast<std::size_t>(length), 2));
      if (Crc16(command.data() + 4, length, 0) != sent) {
        ++crcRejections_;
        Log("user text CRC mismatch");
        return Ack(code, false);
      }
      userText_.assign(command.begin() + 4, command.begin() + 4 + length);
      return Ack(code);
    }
    case 0x63: {
      Bytes reply{kReply, code};
      PutLe(reply, static_cast<std::uint32_t>(userText_.size()), 2);
      reply.insert(reply.end(), userText_.begin(), userText_.end());
      PutLe(reply, Crc16(userText_.data(), static_cast<int>(userText_.size()), 0), 2);
      return reply;
    }
    default:
      Log("unknown command code " + HexBytes(&code, 1));
      return {};
  }
}

}  // namespace omr::sim
