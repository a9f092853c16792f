#include "grid_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "read/device_frame.h"

namespace omrctl {

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

bool WriteGridFile(const std::string& path, const Grid& grid, const std::string& comment,
                   std::string& error) {
  std::ofstream out(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  static constexpr char kHex[] = "0123456789ABCDEF";
  out << "omr-grid 1\n";
  if (!comment.empty()) out << "# " << comment << "\n";
  out << "# first row: sheet line " << grid.lines << ", last row: line 1\n";
  out << grid.lines << ' ' << grid.columns << '\n';
  for (int r = 0; r < grid.lines; ++r) {
    std::string row;
    for (int c = 0; c < grid.columns; ++c)
      row += kHex[grid.cells[static_cast<std::size_t>(r * grid.columns + c)] & 0x0F];
    out << row << '\n';
  }
  errno = 0;
  out.close();
  if (!out) {
    error = "cannot write " + path + ": " + std::strerror(errno ? errno : EIO);
    return false;
  }
  return true;
}

namespace {

// The whole file, refused at once when it is not a regular file or is larger
// than any grid file: a device such as /dev/zero, or a file of one endless
// line, costs neither time nor memory.
bool ReadWholeGridFile(const std::string& path, std::string& text, std::string& error) {
  constexpr off_t kMaxFile = 1 << 20;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (!ok) error = path + ": not a regular file";
  if (ok && st.st_size > kMaxFile) {
    error = path + ": too large for a grid file";
    ok = false;
  }
  text.clear();
  char buffer[8192];
  while (ok) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0) error = "cannot read " + path + ": " + std::strerror(errno);
      ok = n == 0;
      break;
    }
    text.append(buffer, static_cast<std::size_t>(n));
    if (static_cast<off_t>(text.size()) > kMaxFile) {
      error = path + ": too large for a grid file";
      ok = false;
    }
  }
  ::close(fd);
  return ok;
}

}  // namespace

bool ReadGridFile(const std::string& path, Grid& grid, std::string& error) {
  std::string content;
  if (!ReadWholeGridFile(path, content, error)) return false;
  std::istringstream in(content);
  // Bounded: a grid file is a few kilobytes.
  constexpr std::size_t kMaxLine = 1024;
  constexpr int kMaxFileLines = 4096;
  std::string line;
  int number = 0;
  int stage = 0;  // 0 magic, 1 counts, 2 rows
  Grid g;
  auto fail = [&](const std::string& why) {
    error = path + ":" + std::to_string(number) + ": " + why;
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

}  // namespace omrctl
