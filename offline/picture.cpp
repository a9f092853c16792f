#include "picture.h"

#include <png.h>

#include <algorithm>
#include <cstring>

#include "file_io.h"

namespace omr::offline {

namespace {

struct Rgb {
  std::uint8_t r, g, b;
};

constexpr Rgb kSeparator{225, 225, 225};
constexpr Rgb kOption{20, 90, 230};
constexpr Rgb kDoubtful{255, 140, 0};
constexpr Rgb kMarked{220, 30, 30};
constexpr Rgb kBar{0, 170, 60};
constexpr Rgb kIdent{200, 0, 200};
constexpr Rgb kInk{0, 0, 0};
constexpr Rgb kPaper{255, 255, 255};

// Digits 0-9, 3 x 5 dots, one row of three bits per entry (bit 2 left).
constexpr std::uint8_t kDigitFont[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 2, 2}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7}};
constexpr int kDot = 2;                    // pixels per font dot
constexpr int kGlyphWidth = 3 * kDot;      // 6
constexpr int kGlyphHeight = 5 * kDot;     // 10
constexpr int kAdvance = kGlyphWidth + 2;  // 8

class Canvas {
 public:
  Canvas(int width, int height)
      : width_(width), height_(height), pixels_(static_cast<std::size_t>(width) * height * 3, 255) {}

  void Fill(int x, int y, int w, int h, Rgb c) {
    for (int yy = std::max(y, 0); yy < std::min(y + h, height_); ++yy)
      for (int xx = std::max(x, 0); xx < std::min(x + w, width_); ++xx) Set(xx, yy, c);
  }
  void Outline(int x, int y, int w, int h, int thickness, Rgb c) {
    Fill(x, y, w, thickness, c);
    Fill(x, y + h - thickness, w, thickness, c);
    Fill(x, y, thickness, h, c);
    Fill(x + w - thickness, y, thickness, h, c);
  }
  static int NumberWidth(int value) { return static_cast<int>(std::to_string(value).size()) * kAdvance; }
  // A number with its top left corner at (left, top), on paper.
  void Number(int value, int left, int top, Rgb ink) {
    const std::string digits = std::to_string(value);
    Fill(left - 1, top - 1, NumberWidth(value) + 1, kGlyphHeight + 2, kPaper);
    for (std::size_t i = 0; i < digits.size(); ++i) {
      const auto& glyph = kDigitFont[digits[i] - '0'];
      const int gx = left + static_cast<int>(i) * kAdvance + 1;
      for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 3; ++col)
          if (glyph[row] & (4 >> col)) Fill(gx + col * kDot, top + row * kDot, kDot, kDot, ink);
    }
  }
  const std::vector<std::uint8_t>& Pixels() const { return pixels_; }

 private:
  void Set(int x, int y, Rgb c) {
    std::uint8_t* p = &pixels_[(static_cast<std::size_t>(y) * width_ + x) * 3];
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
  }
  int width_;
  int height_;
  std::vector<std::uint8_t> pixels_;
};

void AppendBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(png_get_io_ptr(png));
  bool failed = false;
  try {
    out->insert(out->end(), data, data + length);
  } catch (...) {
    failed = true;
  }
  // Outside the handler: png_error does not return.
  if (failed) png_error(png, "out of memory");
}

void NoFlush(png_structp) {}

bool EncodePng(int width, int height, const std::vector<std::uint8_t>& rgb, std::vector<std::uint8_t>& out,
               std::string& error) {
  out.clear();
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    error = "cannot start a PNG picture";
    return false;
  }
  // libpng reports errors by longjmp; nothing with a destructor is made
  // between here and the end of the encoding.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    error = "cannot encode the PNG picture";
    return false;
  }
  png_set_write_fn(png, &out, AppendBytes, NoFlush);
  // Each row of cells is 12 identical pixel rows: "up" makes them zeros. It
  // costs a few percent in size and spares libpng's filter search, most of
  // the encoding time (the review page draws a sheet per request).
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y)
    png_write_row(png, const_cast<png_bytep>(&rgb[static_cast<std::size_t>(y) * width * 3]));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool EncodePicture(const Grid& grid, const omr::SheetLayout* layout,
                   const std::vector<QuestionInfo>& questions, std::vector<std::uint8_t>& png,
                   std::string& error) {
  if (grid.lines < 1 || grid.columns < 1) {
    error = "no grid to draw";
    return false;
  }
  const int width = PictureWidth(grid.columns);
  const int height = PictureHeight(grid.lines);
  Canvas canvas(width, height);
  auto cellX = [](int column) { return kMarginPixels + (column - 1) * kCellPixels; };
  auto cellY = [&grid](int line) { return (grid.lines - line) * kCellPixels; };
  auto onGrid = [&grid](int line, int column) {
    return line >= 1 && line <= grid.lines && column >= 1 && column <= grid.columns;
  };

  for (int line = 1; line <= grid.lines; ++line)
    for (int column = 1; column <= grid.columns; ++column) {
      const int v = grid.At(line, column);
      const auto grey = static_cast<std::uint8_t>(255 - 17 * v);
      canvas.Fill(cellX(column), cellY(line), kCellPixels, kCellPixels, kSeparator);
      canvas.Fill(cellX(column) + 1, cellY(line) + 1, kCellPixels - 1, kCellPixels - 1, {grey, grey, grey});
    }

  if (layout != nullptr) {
    for (const omr::BarRecord& bar : layout->bars.records) {
      if (!bar.used || bar.first > bar.last) continue;
      for (int column = std::max(bar.first, 1); column <= std::min(bar.last, grid.columns); ++column)
        if (onGrid(bar.line, column))
          canvas.Outline(cellX(column), cellY(bar.line), kCellPixels, kCellPixels, 2, kBar);
    }
    if (onGrid(layout->ident.line, layout->ident.column))
      canvas.Outline(cellX(layout->ident.column), cellY(layout->ident.line), kCellPixels, kCellPixels, 2,
                     kIdent);
  }
  for (const QuestionInfo& q : questions) {
    for (const DecidedCell& c : q.cells) {
      if (c.label == ' ' || !onGrid(c.line, c.column)) continue;
      const int x = cellX(c.column);
      const int y = cellY(c.line);
      const bool doubtful = c.doubt != 0;
      canvas.Outline(x, y, kCellPixels, kCellPixels, doubtful ? 2 : 1, doubtful ? kDoubtful : kOption);
      if (c.marked) canvas.Fill(x + 3, y + 3, kCellPixels - 6, kCellPixels - 6, kMarked);
    }
  }
  // Numbers last, so that none is hidden under a neighbouring outline. Each
  // stands just before the question's first cell, in the direction its
  // cells run: left of a question running right, below one running up.
  for (const QuestionInfo& q : questions) {
    if (q.cells.empty()) continue;
    const DecidedCell& first = q.cells.front();
    if (!onGrid(first.line, first.column)) continue;
    const int dLine = q.cells.size() > 1 ? q.cells[1].line - first.line : 0;
    const int dColumn = q.cells.size() > 1 ? q.cells[1].column - first.column : 1;
    const int w = Canvas::NumberWidth(q.number);
    const int x = cellX(first.column);
    const int y = cellY(first.line);
    const int middleY = y + (kCellPixels - kGlyphHeight) / 2;
    const Rgb ink = q.doubt != 0 ? kDoubtful : kInk;
    const int centreX = x + (kCellPixels - w) / 2;
    if (dLine > 0)  // runs up the picture: below the first cell
      canvas.Number(q.number, centreX, y + kCellPixels + 1, ink);
    else if (dLine < 0)  // runs down: above it
      canvas.Number(q.number, centreX, y - kGlyphHeight - 1, ink);
    else if (dColumn < 0)  // runs left: to its right
      canvas.Number(q.number, x + kCellPixels + 1, middleY, ink);
    else
      canvas.Number(q.number, x - w, middleY, ink);
  }
  return EncodePng(width, height, canvas.Pixels(), png, error);
}

bool WritePicture(const std::string& path, const Grid& grid, const omr::SheetLayout* layout,
                  const std::vector<QuestionInfo>& questions, std::string& error) {
  std::vector<std::uint8_t> png;
  return EncodePicture(grid, layout, questions, png, error) &&
         WriteFileAtomically(path, png.data(), png.size(), error);
}

}  // namespace omr::offline
