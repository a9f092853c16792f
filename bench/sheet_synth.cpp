#include "sheet_synth.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "read/crc16.h"

namespace omr::bench {

namespace {

constexpr int kDark = 11;  // dark enough for any threshold, and travels in any nibble
constexpr int kPrinted = 1;

class Random {
 public:
  explicit Random(unsigned seed) : state_(seed * 2654435761u + 1) {}
  unsigned Next(unsigned bound) {
    state_ = state_ * 1664525u + 1013904223u;
    return (state_ >> 8) % bound;
  }

 private:
  unsigned state_;
};

struct Move {
  int line = 0;
  int column = 0;
};

Move MoveOf(char direction) {
  switch (direction) {
    case 'U':
      return {0, 1};
    case 'D':
      return {0, -1};
    case 'R':
      return {1, 0};
    case 'L':
      return {-1, 0};
    default:
      return {};
  }
}

bool Across(char d) {
  return d == 'U' || d == 'D';
}

std::vector<std::string>& TempFiles() {
  static std::vector<std::string> files;
  return files;
}

}  // namespace

Grid::Grid(int lines, int columns)
    : lines_(lines), columns_(columns), cells_(static_cast<std::size_t>(lines * columns), 0) {}

void Grid::Set(int line, int column, int value) {
  if (line < 1 || line > lines_ || column < 1 || column > columns_) return;
  cells_[static_cast<std::size_t>((lines_ - line) * columns_ + column - 1)] =
      static_cast<std::uint8_t>(value);
}

Bytes Grid::Packed() const {
  Bytes bytes(cells_.size() / 2);
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>((cells_[2 * i] & 0x0F) | (cells_[2 * i + 1] << 4));
  return bytes;
}

Bytes ZeroRunEncode(const Bytes& raw) {
  Bytes out;
  std::size_t i = 0;
  while (i < raw.size()) {
    if (raw[i] == 0) {
      std::size_t run = 0;
      while (i < raw.size() && raw[i] == 0 && run < 51) ++run, ++i;
      out.push_back(static_cast<std::uint8_t>(0xCC + run));
      continue;
    }
    out.push_back(raw[i++]);
  }
  return out;
}

Bytes SheetFrame(int linesA, int bytesPerLineA, const Bytes& packedA, int linesB, int bytesPerLineB,
                 const Bytes& packedB) {
  const Bytes dataA = ZeroRunEncode(packedA);
  const Bytes dataB = ZeroRunEncode(packedB);
  const auto lengthA = static_cast<unsigned>(dataA.size());
  const auto lengthB = static_cast<unsigned>(dataB.size());
  Bytes frame = {0xFB,
                 0x26,
                 static_cast<std::uint8_t>(linesA),
                 static_cast<std::uint8_t>(bytesPerLineA),
                 static_cast<std::uint8_t>(lengthA & 0xFF),
                 static_cast<std::uint8_t>(lengthA >> 8),
                 static_cast<std::uint8_t>(linesB),
                 static_cast<std::uint8_t>(bytesPerLineB),
                 static_cast<std::uint8_t>(lengthB & 0xFF),
                 static_cast<std::uint8_t>(lengthB >> 8)};
  frame.insert(frame.end(), dataA.begin(), dataA.end());
  frame.insert(frame.end(), dataB.begin(), dataB.end());
  const std::uint16_t crc = Crc16(frame.data() + 10, static_cast<int>(frame.size() - 10), 0);
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

Grid DrawSheet(const SheetLayout& layout, int columns, unsigned seed, int noise) {
  Grid grid(layout.length.l1, columns);
  Random random(seed);
  if (noise > 0)
    for (int line = 1; line <= grid.Lines(); ++line)
      for (int column = 1; column <= columns; ++column)
        grid.Set(line, column, static_cast<int>(random.Next(static_cast<unsigned>(noise) + 1)));

  for (const FieldRecord& r : layout.fields.records) {
    if (!r.used) continue;
    const char* text = layout.LabelText(r.labelId);
    const int n = layout.LabelLength(r.labelId);
    const Move cell = MoveOf(r.cellDirection);
    const Move group = MoveOf(r.groupDirection);
    const int step = r.gap + ((Across(r.cellDirection) == Across(r.groupDirection)) ? n : 1);
    const int questions = r.repeat == 0 ? 1 : r.repeat;
    for (int k = 0; k < questions; ++k) {
      const int line = r.line + k * step * group.line;
      const int column = r.column + k * step * group.column;
      auto at = [&](int p, int value) { grid.Set(line + p * cell.line, column + p * cell.column, value); };
      for (int p = 0; p < n; ++p)
        if (text[p] != ' ') at(p, kPrinted);
      if (n == 0) continue;
      switch (r.type) {
        case 'B':
        case 'b': {
          const int digit = static_cast<int>(random.Next(10));
          for (int p = 0; p < n; ++p) {
            const int weight = text[p] - '0';
            if ((weight == 1 || weight == 2 || weight == 4 || weight == 8) && (digit & weight)) at(p, kDark);
          }
          break;
        }
        case 'M':
        case 'm':
          at(static_cast<int>(random.Next(static_cast<unsigned>(n))), kDark);
          at(static_cast<int>(random.Next(static_cast<unsigned>(n))), kDark);
          break;
        default:
          // One answer in most questions; now and then a blank one.
          if (random.Next(20) != 0) at(static_cast<int>(random.Next(static_cast<unsigned>(n))), kDark);
          break;
      }
    }
  }
  grid.Set(layout.ident.line, layout.ident.column, kDark);
  for (const BarRecord& bar : layout.bars.records)
    if (bar.used)
      for (int column = bar.first; column <= bar.last; ++column) grid.Set(bar.line, column, kDark);
  return grid;
}

std::string WriteTempFile(const char* stem, const std::string& text) {
  const char* dir = std::getenv("TMPDIR");
  std::string path = std::string(dir && *dir ? dir : "/tmp") + "/omr_bench_" + stem + "_" +
                     std::to_string(static_cast<long>(::getpid())) + ".form";
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  TempFiles().push_back(path);
  return path;
}

void RemoveTempFiles() {
  for (const std::string& path : TempFiles()) std::remove(path.c_str());
  TempFiles().clear();
}

}  // namespace omr::bench
