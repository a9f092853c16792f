#include "escape.h"

#include <string_view>

namespace omr::common {

void AppendHexEscape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

std::string CsvField(const std::string& text, bool always) {
  const bool formula =
      text.size() > 1 && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos;
  const std::string cell = formula ? "'" + text : text;
  const bool quote = always || cell.find_first_of(",\"\r\n") != std::string::npos ||
                     (!cell.empty() && (cell.front() == ' ' || cell.back() == ' '));
  if (!quote) return cell;
  std::string out = "\"";
  for (const char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

CsvCell CsvNumber(std::string formatted) {
  CsvCell cell(std::move(formatted));
  cell.number = true;
  return cell;
}

std::string CsvLine(const std::vector<CsvCell>& cells, bool quoteAll) {
  std::string out;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    if (cells[i].number)
      out += quoteAll ? "\"" + cells[i].text + "\"" : cells[i].text;
    else
      out += CsvField(cells[i].text, quoteAll);
  }
  return out;
}

}  // namespace omr::common
