#include "config/channels.h"

#include <algorithm>
#include <cstring>

namespace omr {

namespace {

// A reader whose answer would not fit the receive area is refused before
// anything more is read; the exchange counts as failed.
bool Refuse(Link& link) {
  link.Fail();
  return false;
}

bool FitsTable(std::int32_t n, int perChannel, int extra) {
  return n >= 0 && n <= (kTableArea - extra) / perChannel;
}

}  // namespace

bool RefreshChannelCount(const MaintenanceView& view) {
  return QueryChannelCount(view.link, view.channelCount, nullptr);
}

std::uint8_t ChannelSelector(std::int8_t channel, std::int32_t channelCount) {
  return static_cast<std::uint8_t>(std::min<std::int32_t>(channel, channelCount) & 0xFF);
}

bool ReadChannelWords(const MaintenanceView& view, std::uint8_t* out) {
  if (!RefreshChannelCount(view)) return false;
  const std::int32_t n = view.channelCount;
  if (!FitsTable(n, 2, 6)) return Refuse(view.link);
  const std::uint8_t cmd[2] = {kCommandByte, 0x41};
  std::uint8_t area[kTableArea];
  if (!view.link.Command(cmd, 2, area, 2 * n + 6, kShortTimeoutMs)) return false;
  std::memcpy(out, area + 2, static_cast<std::size_t>(2 * n + 4));
  return true;
}

bool ReadChannelBlock(const MaintenanceView& view, std::uint8_t* out) {
  if (!RefreshChannelCount(view)) return false;
  const std::int32_t n = view.channelCount;
  if (!FitsTable(n, 2, 4)) return Refuse(view.link);
  const std::uint8_t cmd[2] = {kCommandByte, 0x42};
  std::uint8_t status[4];
  if (!view.link.Command(cmd, 2, status, 4, 1200)) return false;
  view.link.lastError = ReplyWord(status);
  if (view.link.lastError != 0) return false;
  std::uint8_t area[kTableArea] = {};
  const int length = 2 * n + 4;
  if (view.link.Read(area, length, 1200) != length) return Refuse(view.link);
  std::memcpy(out, area, static_cast<std::size_t>(length));
  return true;
}

bool ReadChannelBytes(const MaintenanceView& view, std::uint8_t* out) {
  const std::int32_t n = view.channelCount;
  if (!FitsTable(n, 1, 4)) return Refuse(view.link);
  const std::uint8_t cmd[2] = {kCommandByte, 0x33};
  std::uint8_t area[kTableArea];
  if (!view.link.Command(cmd, 2, area, n + 4, kShortTimeoutMs)) return false;
  std::memcpy(out, area + 2, static_cast<std::size_t>(n + 2));
  view.link.lastError = 0;
  return true;
}

bool CaptureMatrix(const MaintenanceView& view, std::int8_t channel, std::uint8_t* out) {
  if (!RefreshChannelCount(view)) return false;
  const std::uint8_t cmd[3] = {kCommandByte, 0x29, ChannelSelector(channel, view.channelCount)};
  std::uint8_t area[kMatrixArea];
  if (!view.link.Command(cmd, 3, area, kMatrixHeader, 5000)) return false;
  view.link.lastError = area[4] | (area[5] << 8);
  if (view.link.lastError != 0) return false;
  const int rows = area[2];
  const int columns = area[3];
  const int cells = rows * columns;
  if (cells > kMaxMatrixCells) return Refuse(view.link);
  if (cells > 0 && view.link.Read(area + kMatrixHeader, cells, 2000) != cells) return Refuse(view.link);
  out[0] = static_cast<std::uint8_t>(rows);
  out[1] = static_cast<std::uint8_t>(columns);
  std::memcpy(out + 2, area + kMatrixHeader, static_cast<std::size_t>(cells));
  return true;
}

bool FindChannelRuns(const MaintenanceView& view, std::uint8_t* out) {
  std::uint8_t* capture = view.resultBuffer;
  if (!CaptureMatrix(view, kRunChannel, capture)) {
    out[0] = out[1] = 0;
    return false;
  }
  // Counts are taken unsigned, so captures of up to 255 rows and columns are scanned.
  const int rows = capture[0];
  const int columns = capture[1];
  const std::uint8_t* data = capture + 2;
  std::uint8_t list[3 + 3 * kMaxRunEntries];
  int entries = 0;
  int greatestStart = 0;
  for (int r = 1; r <= rows; ++r) {
    const std::uint8_t* row = data + (rows - r) * columns;
    int run = 0;
    int start = 0;
    int end = 0;
    for (int x = columns; x >= 1; --x) {
      if (row[x - 1] > 5) {
        if (++run == 1) start = x;
        if (run >= 10) end = x;
      } else if (run >= 10) {
        break;
      } else {
        run = start = end = 0;
      }
    }
    if (run < 10) continue;
    if (entries == kMaxRunEntries) {
      // More stretches than the list holds: refused like an unusable answer.
      out[0] = out[1] = 0;
      return Refuse(view.link);
    }
    std::uint8_t* entry = list + 3 + 3 * entries;
    entry[0] = static_cast<std::uint8_t>(r);
    entry[1] = static_cast<std::uint8_t>(end);
    entry[2] = static_cast<std::uint8_t>(start);
    greatestStart = std::max(greatestStart, start);
    ++entries;
  }
  list[0] = static_cast<std::uint8_t>(rows);
  list[1] = static_cast<std::uint8_t>(greatestStart);
  list[2] = static_cast<std::uint8_t>(entries);
  std::memcpy(out, list, static_cast<std::size_t>(3 + 3 * entries));
  return true;
}

bool GetSheetGrid(const MaintenanceView& view, std::uint8_t* out) {
  return view.frame.CopyGrid(out);
}

}  // namespace omr
