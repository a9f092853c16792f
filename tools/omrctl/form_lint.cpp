#include "form_lint.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "form/form_line.h"
#include "output_files.h"

namespace omrctl {

namespace {

constexpr std::size_t kMaxFormFile = 4 * 1024 * 1024;

// Characters are told to the author counting the opening quote as the first.
std::string Place(std::size_t column) {
  return "character " + std::to_string(column + 1);
}

std::string Shown(char c) {
  if (c == '\0') return "nothing (the line ends before it)";
  if (c == ' ') return "a blank";
  if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "byte 0x%02X", static_cast<unsigned char>(c));
    return hex;
  }
  return std::string("'") + c + "'";
}

void Add(std::string& text, const std::string& part) {
  text += (text.empty() ? "" : "; ") + part;
}

// A character that must be one of `allowed`.
void NeedOneOf(std::string& text, const char* line, std::size_t column, const char* what, const char* allowed,
               const char* allowedText) {
  const char c = omr::FormCharAt(line, column);
  if (c == '\0' || std::strchr(allowed, c) == nullptr)
    Add(text, Place(column) + " (" + what + ") is " + Shown(c) + ": it must be " + allowedText);
}

void NeedChar(std::string& text, const char* line, std::size_t column, char wanted) {
  const char c = omr::FormCharAt(line, column);
  if (c != wanted)
    Add(text,
        Place(column) + " is " + Shown(c) + ": it must be " + (wanted == ' ' ? "a blank" : Shown(wanted)));
}

// A number read from `column` on, which after the cut to `bits` must not be 0
// (or, with `positive`, must be above 0 as read).
void NeedNumber(std::string& text, const char* line, std::size_t column, const char* what, int bits,
                bool positive) {
  const std::int32_t value = omr::ReadFormNumber(line, column);
  const std::int32_t stored = bits == 8 ? (value & 0xFF) : value;
  if (positive ? value > 0 : stored != 0) return;
  std::string why = "reads as " + std::to_string(value);
  if (bits == 8 && value != 0 && stored == 0) why += ", which is 0 in the 8 bits it is kept in";
  Add(text, "the " + std::string(what) + " from " + Place(column) + " on " + why + ": it must be " +
                (positive ? "above 0" : "1 to 255"));
}

}  // namespace

std::vector<FormWarning> CommentLikeLines(const std::string& path) {
  std::vector<FormWarning> warnings;
  std::string text, error;
  if (!ReadSmallFile(path, kMaxFormFile, text, error)) return warnings;
  std::size_t start = 0;
  for (int number = 1; start < text.size(); ++number) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();

    auto warn = [&](const std::string& why) { warnings.push_back({number, "comment", why}); };
    const std::size_t nul = line.find('\0');
    if (nul != std::string::npos && !line.empty() && line[0] == '"') {
      const std::string seen = line.substr(0, nul);
      warn("a NUL byte at " + Place(nul) + ": the library reads the line only up to it" +
           (omr::IsFormLine(seen.c_str()) ? "" : ", and takes it as a comment"));
      continue;
    }
    if (nul != std::string::npos) continue;
    if (omr::IsFormLine(line.c_str())) continue;

    std::string rest = line;
    if (number == 1 && rest.rfind("\xEF\xBB\xBF", 0) == 0) {
      rest.erase(0, 3);
      if (omr::IsFormLine(rest.c_str()))
        warn(
            "a byte-order mark (EF BB BF) before the first line: the library takes the line as a comment; "
            "save "
            "the file without it");
      continue;
    }
    const std::size_t first = rest.find_first_not_of(" \t");
    if (first != std::string::npos && first > 0 && omr::IsFormLine(rest.c_str() + first)) {
      warn("a blank before the opening quote: the library takes the line as a comment; remove the blank");
      continue;
    }
    if (rest.size() <= 4 || rest[0] != '"') continue;
    const char letter = rest[1];
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    if (std::islower(static_cast<unsigned char>(letter)) && omr::IsFormCommand(upper) &&
        rest.find('/') != std::string::npos) {
      warn(std::string("the command letter '") + letter +
           "' is lower case: the library takes the line as a " + "comment; write '" + upper + "'");
      continue;
    }
    if (omr::IsFormCommand(letter) && rest.find('/') == std::string::npos)
      warn(std::string("a ") + letter +
           " command without its closing \"/\": the library takes the line as a comment; end it with /\"");
  }
  return warnings;
}

std::string ExplainRejectedLine(const std::string& text) {
  const char* line = text.c_str();
  std::string why;
  switch (omr::FormCharAt(line, 1)) {
    case 'F':
      // "F LLLL CCCCd t III RRRRg GG/"
      NeedNumber(why, line, 2, "line of the first cell", 8, false);
      NeedNumber(why, line, 6, "column of the first cell", 8, false);
      NeedOneOf(why, line, 10, "direction between cells", "UDLR", "U, D, L or R");
      NeedOneOf(why, line, 12, "field type", "SMBsmb", "S, M, B, s, m or b");
      NeedOneOf(why, line, 20, "direction between questions", "UDLR", "U, D, L or R");
      break;
    case 'M':
      // "M LLL FF LL/"
      NeedChar(why, line, 2, ' ');
      NeedChar(why, line, 6, ' ');
      NeedChar(why, line, 9, ' ');
      NeedChar(why, line, 12, '/');
      NeedChar(why, line, 13, '"');
      if (why.empty()) {
        NeedNumber(why, line, 2, "line of the bar", 32, false);
        NeedNumber(why, line, 6, "first column of the bar", 32, false);
        NeedNumber(why, line, 9, "last column of the bar", 32, false);
      }
      break;
    case 'D':
      NeedChar(why, line, 2, ' ');
      NeedChar(why, line, 5, ' ');
      break;
    case 'T':
      if (omr::FormCharAt(line, 3) == ' ') Add(why, Place(3) + " (the form letter) is a blank");
      break;
    case 'G':
      NeedNumber(why, line, 2, "threshold G1", 32, true);
      NeedNumber(why, line, 5, "threshold G2", 32, true);
      NeedNumber(why, line, 8, "threshold G3", 32, true);
      NeedNumber(why, line, 11, "threshold G4", 32, true);
      break;
    case 'L':
      NeedNumber(why, line, 2, "line count L1", 32, true);
      NeedNumber(why, line, 6, "value L2", 32, true);
      NeedNumber(why, line, 9, "value L3", 32, true);
      break;
    case '*':
      for (const std::size_t column : {2, 5, 10}) NeedChar(why, line, column, ' ');
      NeedChar(why, line, 13, '/');
      NeedChar(why, line, 14, '"');
      break;
    default:
      break;
  }
  return why;
}

}  // namespace omrctl
