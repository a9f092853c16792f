#include "text.h"

#include <iconv.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

#include "omr.h"

namespace omrctl {

namespace {

void AppendEscape(std::string& out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 15];
}

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  std::string out;
  iconv_t cd = iconv_open("UTF-8", "GBK");
  if (cd == reinterpret_cast<iconv_t>(-1)) return EscapeBytes(gbk);
  std::vector<char> buffer(16);
  std::size_t i = 0;
  while (i < gbk.size()) {
    const unsigned char c = static_cast<unsigned char>(gbk[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    // One two-byte character at a time, so a bad pair costs only its bytes.
    char* in = const_cast<char*>(gbk.data() + i);
    std::size_t inLeft = i + 1 < gbk.size() ? 2 : 1;
    char* outPtr = buffer.data();
    std::size_t outLeft = buffer.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    if (rc == static_cast<std::size_t>(-1) || inLeft != 0) {
      AppendEscape(out, c);
      ++i;
      continue;
    }
    out.append(buffer.data(), buffer.size() - outLeft);
    i += 2;
  }
  iconv_close(cd);
  return out;
}

std::string EscapeBytes(std::string_view bytes) {
  std::string out;
  for (const char ch : bytes) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c > 0x20 && c < 0x7F && c != '\\')
      out += ch;
    else
      AppendEscape(out, c);
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
