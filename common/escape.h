// Bytes shown as text: one escape for a byte that is no visible character,
// and the quoting of a CSV field.
#pragma once

#include <string>
#include <vector>

namespace omr::common {

// Appends `byte` as \xHH (upper-case hex digits).
void AppendHexEscape(std::string& out, unsigned char byte);

// A field quoted as RFC 4180 asks when it holds a comma, a quote or a line
// break, and also when it starts or ends with a blank (spreadsheets trim
// those); otherwise as it is.
std::string CsvField(const std::string& text);
// The fields joined with commas, without a line end.
std::string CsvLine(const std::vector<std::string>& fields);

}  // namespace omr::common
