// What a form author needs told about the text of a form file beyond the
// library's codes: lines that look like commands but are taken as comments.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "form_report.h"

namespace omr::offline {

// Lines the library skips as comments although they look like commands: a
// command without its closing "/", a blank before the opening quote, a
// lower-case command letter, a byte-order mark before the first line, a NUL
// byte (the line ends there for the library). Kind "comment"; at most `limit`
// of them, and then one that counts the rest.
std::vector<FormWarning> CommentLikeLines(std::string_view text, std::size_t limit);

}  // namespace omr::offline
