#include "text.h"

namespace omr::exam {

std::string CleanUtf8(const std::string& text) {
  std::string out;
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char c = s[i];
    if (c < 0x80) {
      if (c >= 0x20 || c == '\t' || c == '\n') out += static_cast<char>(c);
      ++i;
      continue;
    }
    int length = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    bool ok = length > 0 && i + static_cast<std::size_t>(length) <= n;
    for (int k = 1; ok && k < length; ++k) ok = (s[i + static_cast<std::size_t>(k)] & 0xC0) == 0x80;
    if (ok && length == 3) ok = !(c == 0xE0 && s[i + 1] < 0xA0) && !(c == 0xED && s[i + 1] >= 0xA0);
    if (ok && length == 4) ok = !(c == 0xF0 && s[i + 1] < 0x90) && !(c == 0xF4 && s[i + 1] >= 0x90);
    if (ok) {
      out.append(text, i, static_cast<std::size_t>(length));
      i += static_cast<std::size_t>(length);
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string VisibleAscii(const std::string& bytes) {
  std::string out;
  for (const char c : bytes) out += (c > 0x20 && c < 0x7F) ? c : '?';
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

}  // namespace omr::exam
