#include "read/read_transaction.h"

#include <cstring>

#include "read/recognition.h"

namespace omr {

namespace {

inline constexpr int kErrNoSheet = 16;
inline constexpr int kHeaderTimeoutMs = 2000;
inline constexpr int kChunkTimeoutMs = kShortTimeoutMs;
inline constexpr int kLinePauseMs = 10;

// A reader sends the whole block at line speed right after the header, so
// three chunk reads in a row that bring nothing (about one second of silence)
// mean it has stopped; waiting longer only delays the error.
inline constexpr int kMaxEmptyChunks = 3;

// A reader that drips its block a byte at a time never falls silent for a
// whole chunk read, so the block as a whole is bounded too: a second plus
// four times its time on the line (10 bits a byte at 115200 baud), at most
// about three seconds for the largest frame.
inline constexpr int kBlockBaseMs = 1000;
inline constexpr int kLineBitsPerSecond = 115200;
inline constexpr int kBitsPerByte = 10;
inline constexpr int kLineTimeFactor = 4;

int BlockLimitMs(int count) {
  return kBlockBaseMs + static_cast<int>(static_cast<std::int64_t>(count) * kBitsPerByte * 1000 *
                                         kLineTimeFactor / kLineBitsPerSecond);
}

int Fail(Link& link, int code) {
  link.lastError = code;
  return -1;
}

int SignedByte(std::uint8_t b) {
  return static_cast<std::int8_t>(b);
}

// Reads `count` bytes in pieces until they are all in, or the reader has
// stayed silent for kMaxEmptyChunks requests in a row, or the block's time is
// up, or the port reports the device gone.
bool ReadChunks(Link& link, std::uint8_t* buffer, int count) {
  const std::int64_t deadline = link.now() + BlockLimitMs(count);
  int received = 0;
  int empty = 0;
  while (received < count) {
    const std::int64_t left = deadline - link.now();
    if (left <= 0) return false;
    const int wait = left < kChunkTimeoutMs ? static_cast<int>(left) : kChunkTimeoutMs;
    const int n = link.Read(buffer + received, count - received, wait);
    if (n > 0) {
      received += n;
      empty = 0;
    } else if (link.HungUp() || ++empty >= kMaxEmptyChunks) {
      return false;
    }
  }
  return true;
}

}  // namespace

int ReadSheet(const ReadView& view, bool withLine, int line) {
  Link& link = view.link;
  std::uint8_t buffer[kReceiveBufferSize];
  std::memset(buffer, 0, sizeof buffer);

  if (view.forms.CountDefinedLayouts() == 0) return Fail(link, view.forms.errorCode);

  const std::uint8_t code = withLine ? 0x2B : 0x24;
  const std::uint8_t start[3] = {kCommandByte, code, static_cast<std::uint8_t>(line & 0xFF)};
  const int startLength = withLine ? 3 : 2;
  link.Purge();
  if (link.Write(start, startLength) != startLength) return Fail(link, kErrComm);
  if (withLine) SleepMs(kLinePauseMs);

  std::uint8_t status[4] = {};
  // Silence means no sheet only to a reader of version 3.0; a port that
  // reports the device gone is a communication error for every reader.
  if (link.Read(status, 4, view.sheetWaitMs) < 4)
    return Fail(link, view.firmwareVersion == "3.0" && !link.HungUp() ? kErrNoSheet : kErrComm);
  if (status[0] != kReplyByte || status[1] != code) return Fail(link, kErrComm);
  link.lastError = SignedByte(status[2]) + 256 * SignedByte(status[3]);
  if (link.lastError != 0) return -1;

  // The data request follows the start command without a purge.
  const std::uint8_t fetch[2] = {kCommandByte, 0x26};
  if (link.Write(fetch, 2) != 2) return Fail(link, kErrComm);
  if (link.Read(buffer, kFrameHeaderSize, kHeaderTimeoutMs) < kFrameHeaderSize) return Fail(link, kErrComm);
  // A header announcing more than the frame areas hold is refused before any
  // of its data is read.
  if (!DeviceFrame::Fits(buffer)) return Fail(link, kErrComm);
  const int rest = DeviceFrame::DataLength(buffer) + kFrameCrcSize;
  if (!ReadChunks(link, buffer + kFrameHeaderSize, rest)) return Fail(link, kErrComm);
  if (buffer[0] != kReplyByte || buffer[1] != 0x26) return Fail(link, kErrComm);

  if (!view.frame.Unpack(buffer, kFrameHeaderSize + rest)) return Fail(link, view.frame.frameError);

  view.identifiedLayout = IdentifyLayout(view.forms, view.frame, view.forms.errorCode);
  view.forms.recognised = view.identifiedLayout;
  if (view.identifiedLayout == nullptr) return Fail(link, view.forms.errorCode);
  if (!CheckBars(*view.identifiedLayout, view.frame)) return Fail(link, kErrTestMark);

  link.lastError = 0;
  return 0;
}

}  // namespace omr
