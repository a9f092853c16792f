// Bytes shown as text: one escape for a byte that is no visible character,
// and the quoting of a CSV field.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace omr::common {

// Appends `byte` as \xHH (upper-case hex digits).
void AppendHexEscape(std::string& out, unsigned char byte);

// A text field of a CSV: quoted as RFC 4180 asks when it holds a comma, a
// quote or a line break, and also when it starts or ends with a blank
// (spreadsheets trim those). Text a spreadsheet would take for a formula (two
// characters or more beginning with =, +, -, @, a tab or a carriage return)
// gets a leading apostrophe, as spreadsheet tools expect; one character alone
// (a reader's code for a blank or a double mark) is no formula and stays.
// Every CSV the project writes goes through here.
// `quote`: in quotes whatever it holds (a format that asks for every field
// quoted).
std::string CsvField(const std::string& text, bool quote = false);

// A cell of a CSV row: text (neutralised as above), or a number the program
// wrote itself (a total, a sheet number), which stays a number even when
// negative.
struct CsvCell {
  CsvCell(std::string text) : text(std::move(text)) {}  // NOLINT: text is the common case
  CsvCell(const char* text) : text(text) {}             // NOLINT
  std::string text;
  bool number = false;
};
CsvCell CsvNumber(std::string formatted);

// The cells joined with commas, without a line end; `quoteAll`: every cell
// in quotes, numbers too.
std::string CsvLine(const std::vector<CsvCell>& cells, bool quoteAll = false);

}  // namespace omr::common
