#include "config/captures.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "config/channels.h"

namespace omr {

namespace {

bool RunPairCapture(const MaintenanceView& view, const std::uint8_t* cmd, int cmdLen) {
  Link& link = view.link;
  std::uint8_t area[kPairArea] = {};
  // The header count is not required: missing bytes read as 0 and the data
  // follows whatever header bytes did arrive.
  const Exchange ex = link.Transact(cmd, cmdLen, area, kPairHeader, 2000);
  if (ex.written != cmdLen || area[0] != kReplyByte || area[1] != cmd[1]) {
    link.Fail();
    return false;
  }
  link.lastError = ReplyWord(area);
  if (link.lastError != 0) return false;
  const int header = std::clamp(ex.received, 0, kPairHeader);
  const int data = std::clamp(link.Read(area + header, kPairData, 820), 0, kPairData);
  view.capturePairCount = DecodePairCapture(area, header + data, view.captureArrays);
  return true;
}

}  // namespace

std::int32_t DecodePairCapture(const std::uint8_t* area, int total,
                               std::uint8_t (*arrays)[kCaptureArraySize]) {
  total = std::clamp(total, 0, kPairArea);
  bool second = false;
  // Positions 4..49 are always scanned; past total the area holds zeros.
  for (int i = kPairHeader; i < kPairSkipEnd; ++i)
    if (i < total && IsValueByte(area[i])) second = !second;

  std::uint8_t marker = 0xFF;
  std::int32_t j = 0;
  bool firstStored = false;
  for (int i = kPairSkipEnd; i < total && j < kCaptureArraySize; ++i) {
    const std::uint8_t b = area[i];
    if (!IsValueByte(b)) {
      marker = b;
    } else if (!second) {
      arrays[0][j] = b;
      arrays[1][j] = marker;
      firstStored = true;
      second = true;
    } else {
      // A second half whose first half fell among the skipped positions
      // gets a zero first half rather than an older capture's bytes.
      if (!firstStored) arrays[0][j] = arrays[1][j] = 0;
      arrays[2][j] = b;
      arrays[3][j] = marker;
      ++j;
      firstStored = false;
      second = false;
    }
  }
  for (std::int32_t m = 0; m < j / 2; ++m)
    for (int a = 0; a < kCaptureArrays; ++a) std::swap(arrays[a][m], arrays[a][j - 1 - m]);
  return j;
}

bool CapturePairs(const MaintenanceView& view, std::int8_t channel) {
  if (!RefreshChannelCount(view)) return false;
  const std::uint8_t cmd[3] = {kCommandByte, 0x32, ChannelSelector(channel, view.channelCount)};
  return RunPairCapture(view, cmd, 3);
}

bool CaptureAllPairs(const MaintenanceView& view) {
  const std::uint8_t cmd[2] = {kCommandByte, 0x35};
  return RunPairCapture(view, cmd, 2);
}

bool FetchPairArray(const MaintenanceView& view, std::uint8_t* arg) {
  const int index = static_cast<std::int8_t>(arg[0]);
  if (index < 0 || index >= kCaptureArrays) {
    view.link.lastError = 1;
    return false;
  }
  const int count = std::clamp<std::int32_t>(view.capturePairCount, 0, kCaptureArraySize);
  std::memcpy(arg, view.captureArrays[index], static_cast<std::size_t>(count));
  view.link.lastError = 0;
  return true;
}

}  // namespace omr
