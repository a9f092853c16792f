#include "form/form_loader.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "form/form_line.h"

namespace omr {

namespace {

constexpr std::uint8_t kSettingsCode = 0x06;
constexpr int kSettingsLength = 5;

// One line of a form file. At most one character more than a FormLine may
// hold is kept, so an over-long line stays recognisably over-long; the rest
// is read and dropped, remembering only whether it held a "/".
struct FileLine {
  char text[kFormLineMax + 2] = {};
  std::size_t length = 0;  // of the whole line, saturating
  bool slash = false;
};

constexpr std::size_t kKeep = sizeof FileLine::text - 1;

// Reads up to a line feed; a carriage return right before it is dropped, as
// text mode does. False at the end of the file with nothing read.
bool ReadLine(std::streambuf& in, FileLine& line) {
  line.length = 0;
  line.slash = false;
  bool any = false;
  bool endedByFeed = false;
  char last = '\0';
  for (int c = in.sbumpc(); c != std::char_traits<char>::eof(); c = in.sbumpc()) {
    any = true;
    if (c == '\n') {
      endedByFeed = true;
      break;
    }
    const char ch = static_cast<char>(c);
    if (line.length < kKeep) line.text[line.length] = ch;
    if (line.length < static_cast<std::size_t>(-1)) ++line.length;
    line.slash = line.slash || ch == '/';
    last = ch;
  }
  if (endedByFeed && line.length > 0 && last == '\r') --line.length;
  line.text[line.length < kKeep ? line.length : kKeep] = '\0';
  return any;
}

bool TooLong(std::size_t length) {
  return length > static_cast<std::size_t>(kFormLineMax);
}

// The envelope of a line too long to keep whole: its first two characters
// and whether a "/" appeared anywhere in it.
bool IsLongFormLine(const char* kept, bool slash) {
  return kept[0] == '"' && IsFormCommand(kept[1]) && slash;
}

bool OpenFormFile(const char* name, std::ifstream& in) {
  try {
    // Only a regular file is a form file: a directory, a device or a pipe
    // would read as empty, never end or block.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::path(name), ec)) return false;
    in.open(name, std::ios::in | std::ios::binary);
    return in.is_open();
  } catch (...) {
    return false;
  }
}

}  // namespace

std::uint8_t LevelByte(std::uint8_t level) {
  const int bounded = level > 16 ? 16 : level;
  return static_cast<std::uint8_t>((16 - bounded) * 225 / 16);
}

bool StoreFormLine(FormDefinition& forms, const char* text) {
  if (text == nullptr) return false;
  const bool quoted = text[0] == '"';
  char line[kFormLineMax + 2] = {};
  std::size_t n = 0;
  if (!quoted) line[n++] = '"';
  const std::size_t textLength = strnlen(text, kFormLineMax + 1);
  const std::size_t copied = textLength < kKeep - n ? textLength : kKeep - n;
  std::memcpy(line + n, text, copied);
  n += copied;
  if (!quoted && n < kKeep) line[n++] = '"';
  line[n] = '\0';

  const bool tooLong = TooLong(n);
  const bool command = tooLong ? IsLongFormLine(line, std::strchr(text, '/') != nullptr) : IsFormLine(line);
  if (!command || line[1] == 'V') return false;
  return forms.AddLine(line[1], kFaceA, line);
}

bool FinishForm(FormDefinition& forms, const ReaderSettings& settings, Link& link) {
  forms.SelectLayout(kFaceA);
  if (!forms.SummarizeLengths(kFaceA)) {
    link.lastError = forms.errorCode;
    return false;
  }
  return DownloadForm(forms, settings, link);
}

namespace {

// Every command line of `in`, then the layouts completed; false at the first
// rejected line unless the observer goes on past it.
bool ReadFormLines(FormDefinition& forms, ReaderSettings& settings, std::streambuf& in, std::int32_t& error,
                   const FormLineObserver& observer) {
  FileLine line;
  int number = 0;
  while (ReadLine(in, line)) {
    ++number;
    const bool tooLong = TooLong(line.length);
    const bool command = tooLong ? IsLongFormLine(line.text, line.slash) : IsFormLine(line.text);
    if (!command) continue;
    const char letter = line.text[1];
    if (tooLong)
      forms.RejectLine(kErrBadParameters);
    else if (letter == 'V')
      ParseV(line.text, settings);
    else
      forms.AddLine(letter, kFaceA, line.text);
    // A code left by an earlier line stops the load here too.
    if (forms.errorCode > 0) {
      if (observer && observer({number, line.text, forms.errorCode})) {
        forms.errorCode = 0;
        continue;
      }
      error = forms.errorCode;
      return false;
    }
    if (observer) observer({number, line.text, 0});
  }
  forms.SelectLayout(kFaceA);
  forms.CompleteLayouts(kFaceA);
  return true;
}

// A read-only stream buffer over text in memory.
class TextBuffer : public std::streambuf {
 public:
  TextBuffer(const char* text, std::size_t length) {
    char* begin = const_cast<char*>(text);
    setg(begin, begin, begin + length);
  }
};

}  // namespace

bool ReadFormFile(FormDefinition& forms, ReaderSettings& settings, const char* name, std::int32_t& error,
                  const FormLineObserver& observer) {
  error = 0;
  if (name == nullptr) return false;
  std::ifstream in;
  if (!OpenFormFile(name, in)) {
    error = kErrFormFileOpen;
    return false;
  }
  return ReadFormLines(forms, settings, *in.rdbuf(), error, observer);
}

bool ReadFormText(FormDefinition& forms, ReaderSettings& settings, const char* text, std::size_t length,
                  std::int32_t& error, const FormLineObserver& observer) {
  error = 0;
  if (text == nullptr && length > 0) return false;
  TextBuffer buffer(text, length);
  return ReadFormLines(forms, settings, buffer, error, observer);
}

bool LoadFormFile(FormDefinition& forms, ReaderSettings& settings, Link& link, const char* name) {
  if (name == nullptr) return false;
  std::int32_t error = 0;
  if (!ReadFormFile(forms, settings, name, error)) {
    link.lastError = error;
    return false;
  }
  if (!forms.SummarizeLengths(kFaceA)) {
    link.lastError = forms.errorCode;
    return false;
  }
  return DownloadForm(forms, settings, link);
}

bool DownloadForm(const FormDefinition& forms, const ReaderSettings& settings, Link& link) {
  if (!link.Connected()) {
    link.Fail();
    return false;
  }
  const std::uint8_t command[kSettingsLength] = {kCommandByte, kSettingsCode, LevelByte(settings.level),
                                                 settings.second, settings.third};
  link.Purge();
  if (link.Write(command, kSettingsLength) != kSettingsLength) {
    link.Fail();
    return false;
  }
  // The settings answer is read and dropped, whatever arrives.
  std::uint8_t answer[2] = {};
  link.Read(answer, 2, kShortTimeoutMs);
  if (!link.Acknowledged(forms.parameterBlock, kFormParameterBlockSize, kShortTimeoutMs)) return false;
  link.lastError = 0;
  return true;
}

}  // namespace omr
