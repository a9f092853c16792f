#include "gbk.h"

#include <iconv.h>

#include "escape.h"

namespace omr::offline {

namespace {

// One converter per thread: iconv descriptors are not shared between threads.
class Converter {
 public:
  Converter() : cd_(iconv_open("UTF-8", "GBK")) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return cd_; }

 private:
  iconv_t cd_;
};

}  // namespace

std::string GbkToUtf8(std::string_view gbk) {
  thread_local Converter converter;
  std::string out;
  std::size_t i = 0;
  while (i < gbk.size()) {
    const unsigned char c = static_cast<unsigned char>(gbk[i]);
    if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    if (!converter.ok() || i + 1 >= gbk.size()) {
      omr::common::AppendHexEscape(out, c);
      ++i;
      continue;
    }
    // One two-byte character at a time, so a bad pair costs only its bytes.
    char buffer[8];
    char* in = const_cast<char*>(gbk.data() + i);
    std::size_t inLeft = 2;
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
    const std::size_t rc = iconv(converter.get(), &in, &inLeft, &outPtr, &outLeft);
    if (rc == static_cast<std::size_t>(-1) || inLeft != 0) {
      omr::common::AppendHexEscape(out, c);
      ++i;
      continue;
    }
    out.append(buffer, sizeof buffer - outLeft);
    i += 2;
  }
  return out;
}

}  // namespace omr::offline
