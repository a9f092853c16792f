// What a form author needs told about the text of a form file beyond the
// library's codes: lines that look like commands but are taken as comments,
// and which character of a rejected command line is wrong.
#pragma once

#include <string>
#include <vector>

#include "form_report.h"

namespace omrctl {

// Cells across the read head when nothing else is said (omrctl check
// --head-columns).
inline constexpr int kDefaultHeadColumns = 48;

// Lines the library skips as comments although they look like commands: a
// command without its closing "/", a blank before the opening quote, a
// lower-case command letter, a byte-order mark before the first line, a NUL
// byte (the line ends there for the library). Kind "comment". A file that
// cannot be read, or is larger than a form file can sensibly be, gives none.
std::vector<FormWarning> CommentLikeLines(const std::string& path);

// Which character of a command line the library rejected is wrong, and what
// it must be ("" when the line's characters are all right, for example a
// table that is full).
std::string ExplainRejectedLine(const std::string& text);

}  // namespace omrctl
