// The reader's firmware as a pure byte-in/byte-out model: host bytes go in,
// timed reply chunks come out. Transports (the in-process port, the pty server)
// decide how time passes.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/faults.h"
#include "sim/sheet_frame.h"

namespace omr::sim {

// Bytes that become readable at `readyAtMs`; a chunk with `hangUp` ends the
// connection once its bytes have been delivered.
struct Chunk {
  Bytes bytes;
  std::int64_t readyAtMs = 0;
  bool hangUp = false;
};

// One sheet in the input tray: its status word for FA 24 / FA 2B and, for
// status 0, the sheet frame FA 26 answers with.
struct Sheet {
  std::uint16_t status = 0;
  Bytes frame;
  std::string name;  // for the log
};

struct FirmwareConfig {
  std::uint8_t versionMajor = 3;
  std::uint8_t versionMinor = 0;
  std::uint16_t channels = 48;
  // Parameter block (FA 46 / FA 47); the third byte is the sheet wait beyond 8 s.
  std::array<std::uint8_t, 4> parameters{0, 0, 0, 0};
  // FA 24 / FA 2B with an empty tray: no answer, or this status word.
  std::optional<std::uint16_t> emptyTrayStatus;
  // Time a read takes before its status reply.
  int feedDelayMs = 0;
  // A command left incomplete this long is dropped when the next byte comes.
  int partialCommandTimeoutMs = 500;
  std::uint32_t totalCounter = 0;
  std::uint16_t value44 = 0x0123;
  std::uint16_t readingState = 0;  // FA 25
};

// Every command the host can send, with its total length (FA 62: 0, variable).
int CommandLength(std::uint8_t code);

class Firmware {
 public:
  using Logger = std::function<void(const std::string&)>;

  explicit Firmware(FirmwareConfig config = {});

  // Host bytes arriving at `nowMs`. Replies are queued as chunks.
  void Feed(const std::uint8_t* data, std::size_t count, std::int64_t nowMs);
  void Feed(const Bytes& data, std::int64_t nowMs) { Feed(data.data(), data.size(), nowMs); }
  // Produced chunks, oldest first; the queue is emptied.
  std::vector<Chunk> TakeOutput();
  bool HasOutput() const { return !output_.empty(); }
  // A new connection: a half-received command is dropped.
  void ResetLink();

  // Tray.
  void QueueSheet(Sheet sheet) { tray_.push_back(std::move(sheet)); }
  std::size_t SheetsWaiting() const { return tray_.size(); }
  void ClearTray() { tray_.clear(); }

  // Faults per command code; they fire in the order added.
  void AddFault(std::uint8_t code, Fault fault) { faults_[code].push_back(fault); }
  void ClearFaults() { faults_.clear(); }
  std::size_t FaultsPending() const;

  void SetLogger(Logger logger) { logger_ = std::move(logger); }

  // Data the maintenance commands return (defaults are generated patterns).
  void SetChannelWords(Bytes bytes) { table41_ = std::move(bytes); }     // FA 41: 2N+4 bytes used
  void SetChannelBlock(Bytes bytes) { table42_ = std::move(bytes); }     // FA 42: 2N+4 bytes used
  void SetChannelBytes(Bytes bytes) { table33_ = std::move(bytes); }     // FA 33: N+2 bytes used
  void SetMatrix(std::uint8_t rows, std::uint8_t columns, Bytes data);   // FA 29
  void SetPairStream(Bytes stream) { pairStream_ = std::move(stream); }  // FA 32 / FA 35, after the header
  // Stored identity data, as raw stored bytes (what FA 48, 52, 63 return).
  void SetStoredSerial(const std::array<std::uint8_t, 8>& serial) { serial_ = serial; }
  void SetStoredInfoBlock(const std::array<std::uint8_t, 128>& block) { infoBlock_ = block; }
  void SetStoredUserText(Bytes text) { userText_ = std::move(text); }

  // State, for tests and the log.
  FirmwareConfig& Config() { return config_; }
  const FirmwareConfig& Config() const { return config_; }
  const std::array<std::uint8_t, 3>& Settings() const { return settings_; }
  const std::optional<std::array<std::uint8_t, 29>>& ParameterBlock() const { return formBlock_; }
  const std::array<std::uint8_t, 8>& StoredSerial() const { return serial_; }
  const std::array<std::uint8_t, 128>& StoredInfoBlock() const { return infoBlock_; }
  const Bytes& StoredUserText() const { return userText_; }
  std::uint32_t Word4B() const { return word4B_; }
  std::uint16_t Value4D() const { return value4D_; }
  std::uint32_t Word53() const { return word53_; }
  bool MotorOn() const { return motorOn_; }
  int LastReadLine() const { return lastReadLine_; }
  int LastCaptureChannel() const { return lastCaptureChannel_; }
  std::size_t CommandsHandled() const { return commandsHandled_; }
  std::size_t SheetsRead() const { return sheetsRead_; }
  std::size_t SheetsPassed() const { return sheetsPassed_; }
  std::size_t CrcRejections() const { return crcRejections_; }
  std::size_t StrayBytes() const { return strayBytes_; }

 private:
  void Handle(const Bytes& command, std::int64_t nowMs);
  Bytes Reply(const Bytes& command, int& extraDelayMs);
  Bytes StartRead(std::uint8_t code);
  void Emit(Bytes reply, std::int64_t readyAtMs);
  void Log(const std::string& text) const;
  Bytes Table(const Bytes& custom, int length, int seed, int step) const;
  std::uint16_t InfoBlockCrc(const std::uint8_t* scrambledBlock) const;

  FirmwareConfig config_;
  Logger logger_;
  std::deque<Chunk> output_;
  std::int64_t lastReadyMs_ = 0;
  std::map<std::uint8_t, std::vector<Fault>> faults_;

  Bytes pending_;  // the command being received
  std::int64_t lastByteMs_ = 0;

  std::deque<Sheet> tray_;
  Bytes staged_;  // frame of the last sheet read

  std::array<std::uint8_t, 3> settings_{0x00, 0xFF, 0xFF};
  std::optional<std::array<std::uint8_t, 29>> formBlock_;
  std::array<std::uint8_t, 8> serial_{};
  std::array<std::uint8_t, 128> infoBlock_{};
  Bytes userText_;
  std::uint32_t word4B_ = 0;
  std::uint16_t value4D_ = 0;
  std::uint32_t word53_ = 0;
  bool motorOn_ = false;
  int lastReadLine_ = -1;
  int lastCaptureChannel_ = -1;

  Bytes table41_, table42_, table33_;
  std::uint8_t matrixRows_ = 8;
  std::uint8_t matrixColumns_ = 64;
  Bytes matrix_;
  Bytes pairStream_;

  std::size_t commandsHandled_ = 0;
  std::size_t sheetsRead_ = 0;
  std::size_t sheetsPassed_ = 0;
  std::size_t crcRejections_ = 0;
  std::size_t strayBytes_ = 0;
};

std::string HexBytes(const std::uint8_t* data, std::size_t count, std::size_t limit = 24);

}  // namespace omr::sim
