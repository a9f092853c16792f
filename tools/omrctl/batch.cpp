#include "batch.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "escape.h"
#include "offline.h"
#include "output_files.h"
#include "text.h"

namespace omrctl {

namespace {

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
// How much of an existing CSV is looked at for its header and its last row.
constexpr std::size_t kCsvProbeBytes = 64 * 1024;

const char* ResultColumn(int mode) {
  switch (mode) {
    case 1:
      return "form+answers";
    case 2:
      return "status+answers";
    case 3:
      return "form+status+answers";
    default:
      return "answers";
  }
}

std::string JoinRow(const std::vector<omr::common::CsvCell>& fields, const std::string& lineEnd) {
  return omr::common::CsvLine(fields) + lineEnd;
}

// The numbers of the doubtful questions, blank-separated.
std::string DoubtfulQuestions(const omro_sheet* sheet) {
  std::string numbers;
  omro_sheet_info info{};
  if (sheet == nullptr || omro_sheet_get_info(sheet, &info) != OMRO_OK) return numbers;
  for (int i = 0; i < info.questions; ++i) {
    omro_question q{};
    if (omro_sheet_question(sheet, i, &q) == OMRO_OK && q.doubtful != 0)
      numbers += (numbers.empty() ? "" : " ") + std::to_string(q.number);
  }
  return numbers;
}

void AddQuestions(Json& json, const omro_sheet* sheet) {
  omro_sheet_info info{};
  if (omro_sheet_get_info(sheet, &info) != OMRO_OK) return;
  json.Key("paper").Decimal(info.paper, 1);
  json.Key("mark").Decimal(info.mark, 1);
  json.Member("doubtful", info.doubtful);
  json.Key("confidence").Decimal(info.confidence, 3);
  json.Key("questions").BeginArray();
  for (int i = 0; i < info.questions; ++i) {
    omro_question q{};
    if (omro_sheet_question(sheet, i, &q) != OMRO_OK) continue;
    json.BeginObject()
        .Member("number", q.number)
        .Member("answer", EscapeBytes(std::string(1, static_cast<char>(q.character))))
        .Member("type", std::string(1, q.type))
        .Member("doubtful", q.doubtful != 0);
    json.Key("doubt").BeginArray();
    for (int bit = 1; bit <= OMRO_DOUBT_OFF_GRID; bit <<= 1)
      if (q.doubtful & bit) json.String(DoubtNames(bit, ""));
    json.EndArray();
    json.Key("confidence").Decimal(q.confidence, 3);
    std::vector<omro_cell> cells(static_cast<std::size_t>(q.cell_count));
    for (int c = 0; c < q.cell_count; ++c) omro_sheet_cell(sheet, i, c, &cells[static_cast<std::size_t>(c)]);
    json.Key("values").BeginArray();
    for (const omro_cell& c : cells) json.Number(c.value);
    json.EndArray();
    json.Key("cells").BeginArray();
    for (const omro_cell& c : cells) {
      json.BeginObject()
          .Member("line", c.line)
          .Member("column", c.column)
          .Member("label", GbkToUtf8(std::string(1, c.label)))
          .Member("value", c.value)
          .Member("marked", c.marked != 0)
          .Member("threshold", c.threshold);
      json.Key("margin").Decimal(c.margin, 3);
      json.Member("doubtful", c.doubtful != 0).EndObject();
    }
    json.EndArray().EndObject();
  }
  json.EndArray();
}

// The header and the last whole row of an existing CSV.
struct CsvEnds {
  bool empty = true;
  bool byteOrderMark = false;
  bool crlf = false;
  std::string header;
  int lastSheet = 0;
};

bool ReadCsvEnds(const std::string& path, CsvEnds& ends, std::string& error) {
  if (RefusedOutput(path, error)) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    error = "cannot read " + FileError(path);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    error = path + " is not a regular file";
    return false;
  }
  const off_t size = st.st_size;
  std::string head(std::min<off_t>(size, kCsvProbeBytes), '\0');
  std::string tail(std::min<off_t>(size, kCsvProbeBytes), '\0');
  const bool ok = ::pread(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
                  ::pread(fd, tail.data(), tail.size(), size - static_cast<off_t>(tail.size())) ==
                      static_cast<ssize_t>(tail.size());
  ::close(fd);
  if (!ok) {
    error = "cannot read " + FileError(path);
    return false;
  }
  ends.empty = size == 0;
  if (ends.empty) return true;
  if (tail.back() != '\n') {
    error = path + " ends in an incomplete row: remove it, or write to another file";
    return false;
  }
  ends.byteOrderMark = head.rfind(kByteOrderMark, 0) == 0;
  if (ends.byteOrderMark) head.erase(0, 3);
  const std::size_t feed = head.find('\n');
  if (feed == std::string::npos) {
    error = path + ": the header is longer than a CSV of omrctl has";
    return false;
  }
  ends.header = head.substr(0, feed);
  ends.crlf = !ends.header.empty() && ends.header.back() == '\r';
  if (ends.crlf) ends.header.pop_back();
  // The last row: from the line feed before the final one.
  tail.pop_back();
  const std::size_t start = tail.rfind('\n');
  const std::string last = start == std::string::npos ? tail : tail.substr(start + 1);
  const std::size_t comma = last.find(',');
  const std::string first = last.substr(0, comma);
  // The header alone has no number.
  if (!first.empty() && first.size() < 9 && first.find_first_not_of("0123456789") == std::string::npos)
    ends.lastSheet = std::stoi(first);
  return true;
}

// The largest sheet number of the sheet-NNN.EXT files in `directory`, and
// the first such file found; 0 when there is none (or no directory).
int LastSheetFile(const std::string& directory, const char* extension, std::string& example) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return 0;
  int last = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const int number = SheetNumberOf(entry->d_name, extension);
    if (number > 0 && example.empty()) example = SheetFile(directory, number, extension);
    last = std::max(last, number);
  }
  ::closedir(dir);
  return last;
}

}  // namespace

Existing ExistingFiles(const SheetOptions& options) {
  return options.force ? Existing::Replace : options.append ? Existing::Append : Existing::Refuse;
}

std::vector<std::string> CsvHeader(int mode, int questions) {
  std::vector<std::string> header = {"sheet", "form", "code", "outcome", ResultColumn(mode), "doubtful"};
  for (int q = 1; q <= questions; ++q) header.push_back("q" + std::to_string(q));
  return header;
}

bool PlanOutputs(const SheetOptions& options, const std::vector<std::string>& header, bool canAppend,
                 int& first, std::string& error) {
  const Existing existing = ExistingFiles(options);
  int last = 0;
  if (!options.csv.empty()) {
    struct stat st {};
    if (::stat(options.csv.c_str(), &st) == 0) {
      if (existing == Existing::Refuse) {
        error =
            options.csv + " exists (" + (canAppend ? "--append adds to it, " : "") + "--force replaces it)";
        return false;
      }
      if (existing == Existing::Append) {
        CsvEnds ends;
        if (!ReadCsvEnds(options.csv, ends, error)) return false;
        if (!ends.empty && ends.header != JoinRow({header.begin(), header.end()}, "")) {
          error = options.csv + " holds other columns than this run writes (another form or --mode): " +
                  "write to another file";
          return false;
        }
        last = ends.lastSheet;
      }
    }
  }
  for (const auto& [directory, extension] :
       {std::pair{options.saveGrids, "grid"}, std::pair{options.pictures, "png"}}) {
    if (directory.empty()) continue;
    std::string example;
    const int lastFile = LastSheetFile(directory, extension, example);
    if (lastFile > 0 && existing == Existing::Refuse) {
      error = directory + " holds sheets of an earlier run (" + example +
              "): " + (canAppend ? "--append numbers after them, " : "") + "--force replaces them";
      return false;
    }
    if (existing == Existing::Append) last = std::max(last, lastFile);
  }
  first = last + 1;
  return true;
}

Batch::Batch(const GlobalOptions& global, const SheetOptions& options, int columns)
    : global_(global), options_(options), columns_(columns) {}

std::string Batch::Outcome(const SheetRow& row) const {
  if (row.code == 0) return "read";
  const std::string error = "error " + std::to_string(row.code) + ": " + ErrorText(row.code, global_.chinese);
  return row.feedAgain ? "feed again: " + error : error;
}

bool Batch::Open(std::string& error) {
  if (options_.csv.empty()) return true;
  const Existing existing = ExistingFiles(options_);
  CsvEnds ends;
  if (existing == Existing::Append && ::access(options_.csv.c_str(), F_OK) == 0 &&
      !ReadCsvEnds(options_.csv, ends, error))
    return false;
  if (!csv_.Open(options_.csv, existing, error)) return false;
  const bool fresh = csv_.Created() || existing == Existing::Replace || ends.empty;
  // An existing file keeps its own form; a new one is written for a
  // spreadsheet when asked.
  const bool excel = fresh ? options_.excel : ends.byteOrderMark || ends.crlf;
  lineEnd_ = excel ? "\r\n" : "\n";
  if (!fresh) return true;
  const std::vector<std::string> header = CsvHeader(options_.mode, columns_);
  return csv_.Append((excel ? kByteOrderMark : "") + JoinRow({header.begin(), header.end()}, lineEnd_),
                     error);
}

bool Batch::Print(const std::string& line, std::string& error) {
  if (outputClosed_) return true;
  errno = 0;
  if (std::fputs(line.c_str(), stdout) >= 0 && std::fflush(stdout) == 0) return true;
  if (errno == EPIPE) {
    outputClosed_ = true;
    return true;
  }
  error = std::string("cannot write standard output: ") + std::strerror(errno ? errno : EIO);
  return false;
}

bool Batch::Add(const SheetRow& row, std::string& error) {
  const std::string letter = row.letter ? EscapeBytes(std::string(1, row.letter)) : "";
  const std::string result = EscapeBytes(row.result);
  const std::string outcome = Outcome(row);

  lastInCsv_ = false;
  if (csv_.IsOpen()) {
    // The sheet number and the code are the program's numbers; the rest is
    // text from the reader, neutralised where a spreadsheet would see a formula.
    std::vector<omr::common::CsvCell> fields = {omr::common::CsvNumber(std::to_string(row.number)),
                                                letter,
                                                omr::common::CsvNumber(std::to_string(row.code)),
                                                outcome,
                                                row.code == 0 ? result : "",
                                                row.code == 0 ? DoubtfulQuestions(row.sheet) : ""};
    // One column per question character, behind the mode's prefix; every row
    // has all of them.
    const std::size_t prefix = options_.mode == 3 ? 2 : (options_.mode == 1 || options_.mode == 2) ? 1 : 0;
    for (int q = 0; q < columns_; ++q) {
      const std::size_t at = prefix + static_cast<std::size_t>(q);
      fields.push_back(row.code == 0 && at < row.result.size() ? EscapeBytes(row.result.substr(at, 1)) : "");
    }
    if (!csv_.Append(JoinRow(fields, lineEnd_), error)) return false;
    lastInCsv_ = true;
  }
  ++sheets_;
  if (row.code != 0) ++failed_;
  ++outcomes_[{row.code, outcome}];

  std::string line;
  if (options_.json) {
    Json j;
    j.BeginObject().Member("sheet", row.number).Member("code", row.code).Member("outcome", outcome);
    j.Member("feed_again", row.feedAgain);
    j.Key("form");
    if (row.letter)
      j.String(letter);
    else
      j.Null();
    if (row.code == 0) j.Member("result", result);
    if (!row.grid.empty()) j.Member("grid", row.grid);
    if (!row.picture.empty()) j.Member("picture", row.picture);
    if (row.code == 0 && row.sheet != nullptr) AddQuestions(j, row.sheet);
    j.EndObject();
    line = j.Text() + "\n";
  } else {
    char number[16];
    std::snprintf(number, sizeof number, "%4d  ", row.number);
    std::string shown = letter.empty() ? "-" : letter;
    shown.resize(std::max<std::size_t>(shown.size(), 2), ' ');
    line = number + shown + " " + (row.code == 0 ? result : outcome) + "\n";
  }
  return Print(line, error);
}

void Batch::AddUnsaved(int number, const std::string& why) {
  unsaved_.emplace_back(number, why);
}

void Batch::PrintSummary(const std::vector<std::pair<std::string, std::string>>& extra, int exitCode) {
  FILE* out = outputClosed_ ? stderr : stdout;
  if (options_.json && !outputClosed_) {
    Json j;
    j.BeginObject().Key("summary").BeginObject();
    j.Member("sheets", sheets_).Member("failed", failed_);
    j.Key("outcomes").BeginArray();
    for (const auto& [key, count] : outcomes_)
      j.BeginObject()
          .Member("code", key.first)
          .Member("outcome", key.second)
          .Member("sheets", count)
          .EndObject();
    j.EndArray();
    j.Key("feed_again").BeginArray();
    for (const auto& [number, why] : unsaved_)
      j.BeginObject().Member("sheet", number).Member("why", why).EndObject();
    j.EndArray();
    for (const auto& [key, value] : extra) j.Member(key, value);
    j.Member("exit", exitCode);
    j.EndObject().EndObject();
    std::fprintf(out, "%s\n", j.Text().c_str());
  } else {
    std::fprintf(out, "%d sheet%s\n", sheets_, sheets_ == 1 ? "" : "s");
    for (const auto& [key, count] : outcomes_) std::fprintf(out, "%6d  %s\n", count, key.second.c_str());
    for (const auto& [number, why] : unsaved_)
      std::fprintf(out, "%6d  not saved: sheet %d (%s): feed it again\n", 1, number, why.c_str());
  }
  if (std::fflush(out) != 0 && out == stdout) outputClosed_ = true;
}

bool Batch::Close(std::string& error) {
  return csv_.Close(error);
}

int PrepareForm(const GlobalOptions& global, const std::string& path, Form& form) {
  omro_form* loaded = nullptr;
  if (omro_form_load(path.c_str(), &loaded) != OMRO_OK) {
    std::fprintf(stderr, "omrctl: %s\n", OfflineMessage().c_str());
    return kExitUsage;
  }
  form.reset(loaded);
  std::vector<omro_diagnostic> warnings;
  int stopping = 0;
  const int count = omro_form_diagnostic_count(loaded);
  for (int i = 0; i < count; ++i) {
    omro_diagnostic d{};
    if (omro_form_diagnostic(loaded, i, &d) != OMRO_OK) continue;
    if (d.severity != OMRO_SEVERITY_ERROR) {
      warnings.push_back(d);
      continue;
    }
    ++stopping;
    if (d.line == 0) {
      std::fprintf(stderr, "omrctl: %s: %s\n", path.c_str(), d.message);
      continue;
    }
    const std::string where =
        std::to_string(d.line) + (d.column > 0 ? ":" + std::to_string(d.column) : std::string());
    std::fprintf(stderr, "omrctl: %s:%s: %s\n  error %d: %s\n  %s\n", path.c_str(), where.c_str(),
                 GbkToUtf8(d.text).c_str(), d.code, ErrorText(d.code, global.chinese).c_str(), d.message);
  }
  if (stopping > 0) {
    std::fprintf(stderr, "omrctl: the library does not load this form (see omrctl check)\n");
    return kExitForm;
  }
  bool usable = false;
  for (int i = 0; i < omro_form_layout_count(loaded); ++i) {
    omro_layout_info info{};
    if (omro_form_layout(loaded, i, &info) == OMRO_OK && info.lines > 0 && info.questions > 0) usable = true;
  }
  if (!usable || omro_form_status(loaded) != 0) {
    std::fprintf(stderr,
                 "omrctl: %s defines no layout with a line count (L) and questions (F): no sheet can be read "
                 "with it\n",
                 path.c_str());
    return kExitForm;
  }
  // What check would say, before the first sheet is fed.
  for (const omro_diagnostic& w : warnings) {
    std::string where = w.line > 0 ? ":" + std::to_string(w.line) : std::string();
    if (w.line > 0 && w.column > 0) where += ":" + std::to_string(w.column);
    std::fprintf(stderr, "omrctl: %s%s: warning: %s\n", path.c_str(), where.c_str(), w.message);
  }
  return kExitOk;
}

int MostQuestions(const omro_form* form) {
  int most = 0;
  const int count = omro_form_layout_count(form);
  for (int i = 0; i < count; ++i) {
    omro_layout_info info{};
    if (omro_form_layout(form, i, &info) == OMRO_OK) most = std::max(most, info.questions);
  }
  return most;
}

bool MakeDirectory(const std::string& path, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec || !std::filesystem::is_directory(path, ec)) {
    error = "cannot make directory " + path + (ec ? ": " + ec.message() : "");
    return false;
  }
  return true;
}

std::string SheetFile(const std::string& directory, int number, const char* extension) {
  char name[32];
  std::snprintf(name, sizeof name, "sheet-%03d.%s", number, extension);
  return (std::filesystem::path(directory) / name).string();
}

int SheetNumberOf(const std::string& path, const char* extension) {
  const std::string name = std::filesystem::path(path).filename().string();
  const std::string suffix = std::string(".") + extension;
  if (name.size() <= 6 + suffix.size() || name.rfind("sheet-", 0) != 0 ||
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
    return 0;
  const std::string digits = name.substr(6, name.size() - 6 - suffix.size());
  if (digits.size() > 7 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoi(digits);
}

}  // namespace omrctl
