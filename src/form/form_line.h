// The form-description language: the envelope of a FormLine, reading values
// at fixed columns, one parse operation per command letter and the canonical
// lines the store writes itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "form/form_definition.h"
#include "form/reader_settings.h"

namespace omr {

// The thirteen command letters.
inline constexpr char kFormCommands[] = "CDEFGHLMTVX+*";
// A buffer for one canonical line, quotes and the zero included.
inline constexpr std::size_t kFormLineBufferSize = kFormLineMax + 1;

// Longer than 4 characters, a double quote at column 0, a "/" anywhere and a
// command letter at column 1.
bool IsFormLine(const char* text);
bool IsFormCommand(char letter);

// A decimal integer from `column` on: leading white space, optional sign,
// digits; no digits read as 0 and a column past the end reads as 0. A value
// beyond 32 bits saturates at the nearest 32-bit limit.
std::int32_t ReadFormNumber(const char* line, std::size_t column);
// A decimal number from `column` on: leading blanks, optional sign, digits
// with an optional "." and fraction, optional exponent. "." is the point
// whatever the process locale. No number, or one a double cannot hold, reads as 0.
double ReadFormDecimal(const char* line, std::size_t column);
// The byte at `column`, the zero byte past the end.
char FormCharAt(const char* line, std::size_t column);

// Parse operations. Each takes the whole line (opening quote at column 0) and
// tells whether it is valid. What an invalid line leaves in `record`:
// T, G and L store their values anyway (G only when columns 0 and 1 are right);
// M and F leave the record empty; D, "*" and X write nothing.
bool ParseT(const char* line, IdentRecord& record);
bool ParseG(const char* line, GradeRecord& record);
bool ParseL(const char* line, LengthRecord& record);
bool ParseM(const char* line, BarRecord& record);
bool ParseD(const char* line, LabelRecord& record);
bool ParseF(const char* line, FieldRecord& record);
bool ParseStar(const char* line, StarRecord& record);
// The always-valid commands.
void ParsePlus(const char* line, CodingRecord& record);
std::uint16_t ParseH(const char* line);
std::uint8_t ParseC(const char* line);
char ParseE(const char* line);
bool ParseX(const char* line, char& from, char& to);
void ParseV(const char* line, ReaderSettings& settings);

// Canonical lines, enclosing quotes included, into `out` (kFormLineBufferSize
// bytes). They read back to the same values while each fits its digits.
void FormatD(const LabelRecord& record, char (&out)[kFormLineBufferSize]);
void FormatT(std::int32_t line, std::int32_t column, char (&out)[kFormLineBufferSize]);
void FormatG(const GradeRecord& record, char (&out)[kFormLineBufferSize]);
void FormatM(const BarRecord& record, char (&out)[kFormLineBufferSize]);
void FormatL(const LengthRecord& record, char (&out)[kFormLineBufferSize]);

}  // namespace omr
