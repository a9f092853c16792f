#include "form/form_line.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <system_error>

namespace omr {

namespace {

// Lines are bounded: nothing past the longest FormLine plus one character is
// looked at, so an over-long line is seen as over-long and no further.
std::size_t BoundedLength(const char* line) {
  return strnlen(line, kFormLineMax + 1);
}

bool IsBlankSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsDirection(char c) {
  return c == 'U' || c == 'D' || c == 'L' || c == 'R';
}
bool IsFieldType(char c) {
  return c == 'S' || c == 'M' || c == 'B' || c == 's' || c == 'm' || c == 'b';
}

// The field widths: the low 8 or 16 bits of the value as read.
std::uint8_t Low8(std::int32_t v) {
  return static_cast<std::uint8_t>(v);
}
std::uint16_t Low16(std::int32_t v) {
  return static_cast<std::uint16_t>(v);
}

std::int32_t NumberIn(const char* line, std::size_t length, std::size_t column) {
  std::size_t i = column;
  while (i < length && IsBlankSpace(line[i])) ++i;
  bool negative = false;
  if (i < length && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  // Saturating, as a 32-bit strtol does: an over-long number reads as the
  // nearest 32-bit limit instead of wrapping to an unrelated value.
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMinMagnitude = kMax + 1;
  const std::int64_t limit = negative ? kMinMagnitude : kMax;
  std::int64_t magnitude = 0;
  for (; i < length && IsDigit(line[i]); ++i) {
    magnitude = magnitude * 10 + (line[i] - '0');
    if (magnitude > limit) magnitude = limit;
  }
  return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

char CharIn(const char* line, std::size_t length, std::size_t column) {
  return column < length ? line[column] : '\0';
}

bool Has(const char* line, std::size_t length, std::size_t column, char c) {
  return CharIn(line, length, column) == c;
}

}  // namespace

bool IsFormCommand(char letter) {
  return letter != '\0' && std::strchr(kFormCommands, letter) != nullptr;
}

bool IsFormLine(const char* text) {
  if (text == nullptr) return false;
  const std::size_t length = std::strlen(text);
  return length > 4 && text[0] == '"' && std::strchr(text, '/') != nullptr && IsFormCommand(text[1]);
}

std::int32_t ReadFormNumber(const char* line, std::size_t column) {
  return NumberIn(line, BoundedLength(line), column);
}

double ReadFormDecimal(const char* line, std::size_t column) {
  const std::size_t length = BoundedLength(line);
  std::size_t i = column;
  while (i < length && IsBlankSpace(line[i])) ++i;
  bool negative = false;
  if (i < length && (line[i] == '+' || line[i] == '-')) negative = line[i++] == '-';
  // Only digits may follow (no "inf", "nan" or hexadecimal forms).
  const bool digitFirst = i < length && IsDigit(line[i]);
  const bool pointFirst = i + 1 < length && line[i] == '.' && IsDigit(line[i + 1]);
  if (!digitFirst && !pointFirst) return 0.0;
  double value = 0.0;
  const auto result = std::from_chars(line + i, line + length, value, std::chars_format::general);
  if (result.ec != std::errc()) return 0.0;
  return negative ? -value : value;
}

char FormCharAt(const char* line, std::size_t column) {
  return CharIn(line, BoundedLength(line), column);
}

bool ParseT(const char* line, IdentRecord& record) {
  const std::size_t n = BoundedLength(line);
  if (!Has(line, n, 1, 'T')) return false;
  record.letter = CharIn(line, n, 3);
  record.line = NumberIn(line, n, 4);
  record.column = NumberIn(line, n, 8);
  return record.letter != ' ';
}

bool ParseG(const char* line, GradeRecord& record) {
  const std::size_t n = BoundedLength(line);
  if (!Has(line, n, 0, '"') || !Has(line, n, 1, 'G')) return false;
  record.g1 = NumberIn(line, n, 2);
  record.g2 = NumberIn(line, n, 5);
  record.g3 = NumberIn(line, n, 8);
  record.g4 = NumberIn(line, n, 11);
  return record.g1 > 0 && record.g2 > 0 && record.g3 > 0 && record.g4 > 0;
}

bool ParseL(const char* line, LengthRecord& record) {
  const std::size_t n = BoundedLength(line);
  if (!Has(line, n, 1, 'L')) return false;
  record.l1 = NumberIn(line, n, 2);
  record.l2 = NumberIn(line, n, 6);
  record.l3 = NumberIn(line, n, 9);
  return record.l1 > 0 && record.l2 > 0 && record.l3 > 0;
}

bool ParseM(const char* line, BarRecord& record) {
  const std::size_t n = BoundedLength(line);
  record = BarRecord{};
  const bool framed = Has(line, n, 0, '"') && Has(line, n, 1, 'M') && Has(line, n, 2, ' ') &&
                      Has(line, n, 6, ' ') && Has(line, n, 9, ' ') && Has(line, n, 12, '/') &&
                      Has(line, n, 13, '"');
  if (!framed) return false;
  const std::int32_t barLine = NumberIn(line, n, 2);
  const std::int32_t first = NumberIn(line, n, 6);
  const std::int32_t last = NumberIn(line, n, 9);
  if (barLine == 0 || first == 0 || last == 0) return false;
  record.line = barLine;
  record.first = first;
  record.last = last;
  return true;
}

bool ParseD(const char* line, LabelRecord& record) {
  const std::size_t n = BoundedLength(line);
  if (!Has(line, n, 1, 'D') || !Has(line, n, 2, ' ') || !Has(line, n, 5, ' ')) return false;
  std::size_t end = 6;
  while (end < n && line[end] != '/') ++end;
  const std::size_t textLength = end > 6 ? end - 6 : 0;
  // A text the record cannot hold is refused rather than cut.
  if (textLength > kLabelTextSize - 1) return false;
  record.id = Low8(NumberIn(line, n, 2));
  std::memset(record.text, 0, sizeof record.text);
  if (textLength > 0) std::memcpy(record.text, line + 6, textLength);
  return true;
}

bool ParseF(const char* line, FieldRecord& record) {
  const std::size_t n = BoundedLength(line);
  record = FieldRecord{};
  if (!Has(line, n, 1, 'F')) return false;
  FieldRecord f;
  f.line = Low8(NumberIn(line, n, 2));
  f.column = Low8(NumberIn(line, n, 6));
  f.cellDirection = CharIn(line, n, 10);
  f.type = CharIn(line, n, 12);
  f.labelId = Low8(NumberIn(line, n, 13));
  f.repeat = Low8(NumberIn(line, n, 16));
  f.groupDirection = CharIn(line, n, 20);
  f.gap = n > 23 ? Low8(NumberIn(line, n, 22)) : 0;
  if (f.line == 0 || f.column == 0 || !IsDirection(f.cellDirection) || !IsDirection(f.groupDirection) ||
      !IsFieldType(f.type))
    return false;
  record = f;
  return true;
}

bool ParseStar(const char* line, StarRecord& record) {
  const std::size_t n = BoundedLength(line);
  const bool framed = Has(line, n, 0, '"') && Has(line, n, 1, '*') && Has(line, n, 2, ' ') &&
                      Has(line, n, 5, ' ') && Has(line, n, 10, ' ') && Has(line, n, 13, '/') &&
                      Has(line, n, 14, '"');
  if (!framed) return false;
  record.first = NumberIn(line, n, 2);
  record.second = ReadFormDecimal(line, 5);
  record.third = NumberIn(line, n, 10);
  return true;
}

void ParsePlus(const char* line, CodingRecord& record) {
  const std::size_t n = BoundedLength(line);
  // The mode is the byte's value minus that of "0", kept within 1 to 4.
  int mode = static_cast<unsigned char>(CharIn(line, n, 3)) - '0';
  if (mode < 1) mode = 1;
  if (mode > 4) mode = 4;
  record.mode = mode;
  if (Has(line, n, 4, '/')) {
    record.emptyChar = '.';
    record.multipleChar = '>';
    return;
  }
  record.emptyChar = CharIn(line, n, 5);
  record.multipleChar = Has(line, n, 6, '/') ? '>' : CharIn(line, n, 7);
}

std::uint16_t ParseH(const char* line) {
  return Low16(ReadFormNumber(line, 2));
}

std::uint8_t ParseC(const char* line) {
  return Low8(ReadFormNumber(line, 2));
}

char ParseE(const char* line) {
  return FormCharAt(line, 3);
}

bool ParseX(const char* line, char& from, char& to) {
  const std::size_t n = BoundedLength(line);
  if (!Has(line, n, 0, '"')) return false;
  from = CharIn(line, n, 3);
  to = CharIn(line, n, 5);
  return true;
}

void ParseV(const char* line, ReaderSettings& settings) {
  const std::size_t n = BoundedLength(line);
  if (!Has(line, n, 1, 'V')) return;
  // The level is exactly the two characters at columns 3 and 4.
  const char levelText[3] = {CharIn(line, n, 3), CharIn(line, n, 4), '\0'};
  std::uint8_t level = Low8(NumberIn(levelText, std::strlen(levelText), 0));
  if (level > 16) level = 16;
  std::uint8_t second = 0;
  std::uint8_t third = 255;
  if (n > 7) {
    second = Low8(NumberIn(line, n, 6));
    for (std::size_t i = 6; i < n; ++i) {
      if (line[i] == ' ') {
        third = Low8(NumberIn(line, n, i + 1));
        break;
      }
    }
  } else {
    second = static_cast<std::uint8_t>(228 - 8 * level);
  }
  if (second < 30) second = 255;
  settings.level = level;
  settings.second = second;
  settings.third = third;
}

void FormatD(const LabelRecord& record, char (&out)[kFormLineBufferSize]) {
  std::snprintf(out, sizeof out, "\"D %02d %.*s/\"", record.id, kLabelTextSize - 1, record.text);
}

void FormatT(std::int32_t line, std::int32_t column, char (&out)[kFormLineBufferSize]) {
  std::snprintf(out, sizeof out, "\"T A %03d %02d/\"", static_cast<int>(line), static_cast<int>(column));
}

void FormatG(const GradeRecord& r, char (&out)[kFormLineBufferSize]) {
  std::snprintf(out, sizeof out, "\"G %02d %02d %02d %02d/\"", static_cast<int>(r.g1), static_cast<int>(r.g2),
                static_cast<int>(r.g3), static_cast<int>(r.g4));
}

void FormatM(const BarRecord& r, char (&out)[kFormLineBufferSize]) {
  std::snprintf(out, sizeof out, "\"M %03d %02d %02d/\"", static_cast<int>(r.line), static_cast<int>(r.first),
                static_cast<int>(r.last));
}

void FormatL(const LengthRecord& r, char (&out)[kFormLineBufferSize]) {
  std::snprintf(out, sizeof out, "\"L %03d %02d %02d/\"", static_cast<int>(r.l1), static_cast<int>(r.l2),
                static_cast<int>(r.l3));
}

}  // namespace omr
