#include "grid_file.h"

#include <sstream>

#include "file_io.h"
#include "read/device_frame.h"
#include "write_file.h"

namespace omr::offline {

namespace {

bool CountsFit(int lines, int columns, std::string& error) {
  if (lines < 1 || lines > kMaxGridLines || columns < 2 || columns > kMaxGridColumns || columns % 2 != 0 ||
      lines * columns > omr::kFrameArea) {
    error = "a grid of " + std::to_string(lines) + " lines and " + std::to_string(columns) +
            " columns cannot come from a reader";
    return false;
  }
  return true;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

int Grid::At(int line, int column) const {
  if (line < 1 || line > lines || column < 1 || column > columns) return -1;
  return cells[static_cast<std::size_t>((lines - line) * columns + column - 1)];
}

bool GridFromCopy(const std::uint8_t* copy, std::size_t size, Grid& grid, std::string& error) {
  if (size < 2) {
    error = "no grid";
    return false;
  }
  const int lines = copy[0];
  const int columns = copy[1];
  if (!CountsFit(lines, columns, error)) return false;
  const std::size_t count = static_cast<std::size_t>(lines) * static_cast<std::size_t>(columns);
  if (size < 2 + count) {
    error = "grid copy cut short";
    return false;
  }
  grid.lines = lines;
  grid.columns = columns;
  grid.cells.assign(copy + 2, copy + 2 + count);
  for (std::uint8_t& c : grid.cells) c &= 0x0F;
  return true;
}

bool GridFromCells(int lines, int columns, const std::uint8_t* cells, std::size_t count, Grid& grid,
                   std::string& error) {
  if (!CountsFit(lines, columns, error)) return false;
  const std::size_t needed = static_cast<std::size_t>(lines) * static_cast<std::size_t>(columns);
  if (cells == nullptr || count != needed) {
    error = "a grid of " + std::to_string(lines) + " lines and " + std::to_string(columns) + " columns has " +
            std::to_string(needed) + " cells, not " + std::to_string(count);
    return false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (cells[i] > 15) {
      error = "cell " + std::to_string(i) + " holds " + std::to_string(cells[i]) + " (cells are 0 to 15)";
      return false;
    }
  }
  grid.lines = lines;
  grid.columns = columns;
  grid.cells.assign(cells, cells + count);
  return true;
}

bool WriteGridFile(const std::string& path, const Grid& grid, const std::string& comment,
                   std::string& error) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "omr-grid 1\n";
  // A comment is one line: a line feed in it would end the comment.
  if (!comment.empty()) text += "# " + comment.substr(0, comment.find_first_of("\r\n")) + "\n";
  text += "# first row: sheet line " + std::to_string(grid.lines) + ", last row: line 1\n";
  text += std::to_string(grid.lines) + ' ' + std::to_string(grid.columns) + '\n';
  for (int r = 0; r < grid.lines; ++r) {
    for (int c = 0; c < grid.columns; ++c)
      text += kHex[grid.cells[static_cast<std::size_t>(r * grid.columns + c)] & 0x0F];
    text += '\n';
  }
  return omr::common::WriteFileWhole(path, text, omr::common::IfExists::kReplace, error);
}

bool ReadGridFile(const std::string& path, Grid& grid, std::string& error) {
  std::string text;
  return ReadRegularFile(path, kMaxGridFileBytes, "grid file", text, error) &&
         GridFromText(text, path, grid, error);
}

bool GridFromText(std::string_view text, const std::string& name, Grid& grid, std::string& error) {
  std::istringstream in{std::string(text)};
  // Bounded: a grid file is a few kilobytes.
  constexpr std::size_t kMaxLine = 1024;
  constexpr int kMaxFileLines = 4096;
  std::string line;
  int number = 0;
  int stage = 0;  // 0 magic, 1 counts, 2 rows
  Grid g;
  auto fail = [&](const std::string& why) {
    error = name + ":" + std::to_string(number) + ": " + why;
    return false;
  };
  while (std::getline(in, line)) {
    if (++number > kMaxFileLines) return fail("too many lines for a grid file");
    if (line.size() > kMaxLine) return fail("line too long for a grid file");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (stage == 0) {
      if (line != "omr-grid 1") return fail("not an omr grid file (the first line must be \"omr-grid 1\")");
      stage = 1;
    } else if (stage == 1) {
      std::istringstream counts(line);
      int lines = 0, columns = 0;
      std::string rest;
      if (!(counts >> lines >> columns) || (counts >> rest)) return fail("expected LINES COLUMNS");
      if (!CountsFit(lines, columns, error)) return fail(error);
      g.lines = lines;
      g.columns = columns;
      g.cells.reserve(static_cast<std::size_t>(lines * columns));
      stage = 2;
    } else {
      if (static_cast<int>(g.cells.size()) >= g.lines * g.columns) return fail("more rows than LINES");
      if (static_cast<int>(line.size()) != g.columns)
        return fail("a row needs " + std::to_string(g.columns) + " hexadecimal digits");
      for (const char c : line) {
        const int v = HexValue(c);
        if (v < 0) return fail("not a hexadecimal digit: " + std::string(1, c));
        g.cells.push_back(static_cast<std::uint8_t>(v));
      }
    }
  }
  if (stage < 2)
    return fail("missing " + std::string(stage == 0 ? "the \"omr-grid 1\" line" : "LINES COLUMNS"));
  if (static_cast<int>(g.cells.size()) != g.lines * g.columns)
    return fail("expected " + std::to_string(g.lines) + " rows");
  grid = std::move(g);
  return true;
}

}  // namespace omr::offline
