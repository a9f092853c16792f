#include "offline.h"

namespace omrctl {

std::string OfflineMessage() {
  char text[1024];
  omro_last_message(text, sizeof text);
  return text;
}

std::string DoubtNames(int bits, const char* separator) {
  static const struct {
    int bit;
    const char* name;
  } kNames[] = {{OMRO_DOUBT_FAINT, "faint"},
                {OMRO_DOUBT_ERASURE, "erasure"},
                {OMRO_DOUBT_NEAR_TIE, "near-tie"},
                {OMRO_DOUBT_MARGIN, "margin"},
                {OMRO_DOUBT_OFF_GRID, "off-grid"}};
  std::string out;
  for (const auto& n : kNames)
    if (bits & n.bit) out += (out.empty() ? "" : separator) + std::string(n.name);
  return out;
}

}  // namespace omrctl
