#include "text.h"

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "escape.h"
#include "omr.h"
#include "omr_offline.h"
#include "reader.h"

namespace omrctl {

void ReportNoReader(const std::string& port) {
  std::fprintf(stderr, "omrctl: no reader found%s\n", port.empty() ? "" : (" on " + port).c_str());
  for (const std::string& line : omr::reading::ExplainNoReader(port))
    std::fprintf(stderr, "omrctl: %s\n", line.c_str());
}

std::string GbkToUtf8(std::string_view gbk) {
  std::string out(gbk.size() * 4 + 1, '\0');
  std::size_t length = 0;
  if (omro_gbk_to_utf8(gbk.data(), gbk.size(), out.data(), out.size(), &length) != OMRO_OK)
    return EscapeBytes(gbk);
  out.resize(length);
  return out;
}

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '\\')
      out += ch;
    else
      omr::common::AppendHexEscape(out, c);
  }
  return out;
}

std::string ErrorText(int code, bool chinese) {
  char text[64] = {};
  if (chinese)
    MR_GetErrMsg(code, text);
  else
    MR_GetErrMsgEn(code, text);
  return chinese ? GbkToUtf8(text) : std::string(text);
}

std::string FormatDecimal(double value, int digits) {
  if (!std::isfinite(value)) return "0";
  const double scale = std::pow(10.0, digits);
  long long scaled = std::llround(value * scale);
  std::string out;
  if (scaled < 0) {
    out += '-';
    scaled = -scaled;
  }
  const long long whole = scaled / static_cast<long long>(scale);
  long long fraction = scaled % static_cast<long long>(scale);
  out += std::to_string(whole);
  if (digits > 0) {
    std::string f = std::to_string(fraction);
    out += '.';
    out += std::string(static_cast<std::size_t>(digits) - f.size(), '0') + f;
  }
  return out;
}

}  // namespace omrctl
