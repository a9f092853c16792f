// Text that goes into the project and out to exports: always valid UTF-8,
// whatever bytes a reader, a form or a file brought.
#pragma once

#include <string>
#include <string_view>

namespace omr::exam {

// Invalid sequences become U+FFFD; control characters other than tab and line
// feed are dropped.
std::string CleanUtf8(const std::string& text);

// Visible ASCII kept, every other byte as '?' (form letters and option
// labels are single bytes; a lone byte above 0x7F is no character).
std::string VisibleAscii(const std::string& bytes);

// Bytes as base64 (RFC 4648, with padding).
std::string Base64(std::string_view bytes);

}  // namespace omr::exam
