#include "batch.h"

#include <algorithm>
#include <cstdio>

#include "text.h"

namespace omrctl {

namespace {

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

}  // namespace

Batch::Batch(const GlobalOptions& global, const SheetOptions& options, int columns)
    : global_(global), options_(options), columns_(columns) {}

std::string Batch::Outcome(int code) const {
  return code == 0 ? "read" : "error " + std::to_string(code) + ": " + ErrorText(code, global_.chinese);
}

bool Batch::Open(std::string& error) {
  json_.BeginObject().Key("sheets").BeginArray();
  if (options_.csv.empty()) return true;
  if (!csv_.Open(options_.csv, error)) return false;
  std::vector<std::string> header = {"sheet", "form", "code", "outcome", "answers", "doubtful"};
  for (int q = 1; q <= columns_; ++q) header.push_back("q" + std::to_string(q));
  csv_.Row(header);
  return true;
}

void Batch::Add(const SheetRow& row) {
  ++sheets_;
  if (row.code != 0) ++failed_;
  ++outcomes_[row.code];
  const std::string letter = row.letter ? EscapeBytes(std::string(1, row.letter)) : "";
  const std::string result = EscapeBytes(row.result);
  const std::string outcome = Outcome(row.code);

  if (!options_.json) {
    std::printf("%4d  %-2s %s\n", row.number, letter.empty() ? "-" : letter.c_str(),
                row.code == 0 ? result.c_str() : outcome.c_str());
    std::fflush(stdout);
  }

  if (csv_.IsOpen()) {
    std::vector<std::string> fields = {
        std::to_string(row.number),  letter,
        std::to_string(row.code),    outcome,
        row.code == 0 ? result : "", row.code == 0 ? DoubtfulQuestions(row.sheet) : ""};
    // One column per question character, behind the mode's prefix.
    const std::size_t prefix = options_.mode == 3 ? 2 : (options_.mode == 1 || options_.mode == 2) ? 1 : 0;
    if (row.code == 0)
      for (std::size_t i = prefix; i < row.result.size() && i - prefix < static_cast<std::size_t>(columns_);
           ++i)
        fields.push_back(EscapeBytes(row.result.substr(i, 1)));
    csv_.Row(fields);
  }

  json_.BeginObject().Member("sheet", row.number).Member("code", row.code).Member("outcome", outcome);
  json_.Key("form");
  if (row.letter)
    json_.String(letter);
  else
    json_.Null();
  if (row.code == 0) json_.Member("result", result);
  if (!row.grid.empty()) json_.Member("grid", row.grid);
  if (!row.picture.empty()) json_.Member("picture", row.picture);
  if (row.code == 0 && row.sheet != nullptr) AddQuestions(json_, row.sheet);
  json_.EndObject();
}

bool Batch::Finish(const std::vector<std::pair<std::string, std::string>>& header) {
  json_.EndArray();
  for (const auto& [key, value] : header) json_.Member(key, value);
  json_.Key("summary").BeginObject().Member("sheets", sheets_).Member("failed", failed_);
  json_.Key("outcomes").BeginArray();
  for (const auto& [code, count] : outcomes_)
    json_.BeginObject()
        .Member("code", code)
        .Member("outcome", Outcome(code))
        .Member("sheets", count)
        .EndObject();
  json_.EndArray().EndObject().EndObject();

  if (options_.json) {
    std::printf("%s\n", json_.Text().c_str());
  } else {
    std::printf("%d sheet%s\n", sheets_, sheets_ == 1 ? "" : "s");
    for (const auto& [code, count] : outcomes_) std::printf("%6d  %s\n", count, Outcome(code).c_str());
  }
  std::fflush(stdout);
  return csv_.Close();
}

}  // namespace omrctl

#include <filesystem>
#include <system_error>

namespace omrctl {

int PrepareForm(const GlobalOptions& global, const std::string& path, Form& form) {
  omro_form* loaded = nullptr;
  if (omro_form_load(path.c_str(), &loaded) != OMRO_OK) {
    std::fprintf(stderr, "omrctl: %s\n", OfflineMessage().c_str());
    return kExitUsage;
  }
  form.reset(loaded);
  int stopping = 0;
  const int count = omro_form_diagnostic_count(loaded);
  for (int i = 0; i < count; ++i) {
    omro_diagnostic d{};
    if (omro_form_diagnostic(loaded, i, &d) != OMRO_OK || d.severity != OMRO_SEVERITY_ERROR) continue;
    ++stopping;
    std::fprintf(stderr, "omrctl: %s:%d:%d: %s\n  error %d: %s\n  %s\n", path.c_str(), d.line, d.column,
                 GbkToUtf8(d.text).c_str(), d.code, ErrorText(d.code, global.chinese).c_str(), d.message);
  }
  if (stopping > 0 || omro_form_status(loaded) != 0) {
    std::fprintf(stderr, "omrctl: the library does not load this form (see omrctl check)\n");
    return kExitForm;
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

}  // namespace omrctl
