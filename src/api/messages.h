#pragma once

namespace omr {

enum class Language { Chinese, English };

// Writes the message for `code` (GBK for Chinese) and a zero into out; returns
// its length in bytes, or -1 for a code without a message (out then holds the
// unknown-code text). A null out answers -1 without writing.
int ErrorMessage(int code, Language language, char* out);

}  // namespace omr
