#include "form_lint.h"

#include <cctype>
#include <string>

#include "form/form_line.h"

namespace omr::offline {

namespace {

// Columns are told to the author counting the opening quote as the first.
std::string Place(std::size_t index) {
  return "column " + std::to_string(index + 1);
}

}  // namespace

std::vector<FormWarning> CommentLikeLines(std::string_view text, std::size_t limit) {
  std::vector<FormWarning> warnings;
  std::size_t more = 0;
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string line(text.substr(start, end - start));
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    auto warn = [&](int column, const std::string& why) {
      if (warnings.size() < limit)
        warnings.push_back({number, "comment", why, column});
      else
        ++more;
    };
    const std::size_t nul = line.find('\0');
    if (nul != std::string::npos && !line.empty() && line[0] == '"') {
      const std::string seen = line.substr(0, nul);
      warn(static_cast<int>(nul) + 1,
           "a NUL byte at " + Place(nul) + ": the library reads the line only up to it" +
               (omr::IsFormLine(seen.c_str()) ? "" : ", and takes it as a comment"));
      continue;
    }
    if (nul != std::string::npos) continue;
    if (omr::IsFormLine(line.c_str())) continue;

    std::string rest = line;
    if (number == 1 && rest.rfind("\xEF\xBB\xBF", 0) == 0) {
      rest.erase(0, 3);
      if (omr::IsFormLine(rest.c_str()))
        warn(1,
             "a byte-order mark (EF BB BF) before the first line: the library takes the line as a comment; "
             "save the file without it");
      continue;
    }
    const std::size_t first = rest.find_first_not_of(" \t");
    if (first != std::string::npos && first > 0 && omr::IsFormLine(rest.c_str() + first)) {
      warn(1, "a blank before the opening quote: the library takes the line as a comment; remove the blank");
      continue;
    }
    if (rest.size() <= 4 || rest[0] != '"') continue;
    const char letter = rest[1];
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (std::islower(static_cast<unsigned char>(letter)) && omr::IsFormCommand(upper) &&
        rest.find('/') != std::string::npos) {
      warn(2, std::string("the command letter '") + letter +
                  "' is lower case: the library takes the line as a comment; write '" + upper + "'");
      continue;
    }
    if (omr::IsFormCommand(letter) && rest.find('/') == std::string::npos) {
      const bool vowelSound = std::string_view("FLMS").find(letter) != std::string_view::npos;
      warn(
          0,
          std::string(vowelSound ? "an " : "a ") + letter +
              " command without its closing \"/\": the library takes the line as a comment; end it with /\"");
    }
  }
  if (more > 0)
    warnings.push_back(
        {0, "comment", "and " + std::to_string(more) + " more lines that look like commands but are comments",
         0});
  return warnings;
}

}  // namespace omr::offline
