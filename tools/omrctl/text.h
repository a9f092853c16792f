// Text for the terminal: GBK from the library turned into UTF-8, bytes that
// are not printable shown as escapes, numbers without the locale.
#pragma once

#include <string>
#include <string_view>

namespace omrctl {

// GBK (the library's code page) to UTF-8; a byte that is not valid GBK is
// written as \xHH.
std::string GbkToUtf8(std::string_view gbk);

// Visible ASCII unchanged; the blank, the backslash and every other byte as
// \xHH: a result text may hold any byte, including 0.
std::string EscapeBytes(std::string_view bytes);

// The library's message for a code, in English or (GBK converted) Chinese.
std::string ErrorText(int code, bool chinese);

// "omrctl: no reader found[ on PORT]" on stderr, then why, a line each
// (omr::reading::ExplainNoReader).
void ReportNoReader(const std::string& port);

// A number with "." as the point whatever the locale the library set.
std::string FormatDecimal(double value, int digits);

}  // namespace omrctl
