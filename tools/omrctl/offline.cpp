#include "offline.h"

namespace omrctl {

std::string OfflineMessage() {
  char text[1024];
  omro_last_message(text, sizeof text);
  return text;
}

std::string DoubtNames(int bits, const char* separator) {
  std::string out;
  for (int bit = 1; bit > 0 && bit <= bits; bit <<= 1)
    if (const char* name = (bits & bit) ? omro_doubt_name(bit) : nullptr)
      out += (out.empty() ? "" : separator) + std::string(name);
  return out;
}

}  // namespace omrctl
