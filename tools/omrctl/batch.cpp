#include "batch.h"

#include <algorithm>
#include <cstdio>

#include "text.h"

namespace omrctl {

Batch::Batch(const GlobalOptions& global, const SheetOptions& options, int columns)
    : global_(global), options_(options), columns_(columns) {}

std::string Batch::Outcome(int code) const {
  return code == 0 ? "read" : "error " + std::to_string(code) + ": " + ErrorText(code, global_.chinese);
}

bool Batch::Open(std::string& error) {
  json_.BeginObject().Key("sheets").BeginArray();
  if (options_.csv.empty()) return true;
  if (!csv_.Open(options_.csv, error)) return false;
  std::vector<std::string> header = {"sheet", "form", "code", "outcome", "answers"};
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
    std::vector<std::string> fields = {std::to_string(row.number), letter, std::to_string(row.code), outcome,
                                       row.code == 0 ? result : ""};
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
  if (row.code == 0 && row.questions != nullptr) {
    json_.Key("questions").BeginArray();
    for (const QuestionInfo& q : *row.questions) {
      json_.BeginObject()
          .Member("number", q.number)
          .Member("answer", EscapeBytes(std::string(1, static_cast<char>(q.character))))
          .Member("type", std::string(1, q.type))
          .Member("doubtful", q.doubtful);
      if (row.layout != nullptr) json_.Member("g2", row.layout->grade.g2);
      if (!q.cells.empty()) {
        json_.Key("limit").Decimal(q.cells.front().averageLimit, 3);
        json_.Member("tolerance", q.cells.front().tolerance);
        json_.Member("max", q.cells.back().max);
      }
      json_.Key("values").BeginArray();
      for (const omr::CellDecision& c : q.cells) json_.Number(c.value);
      json_.EndArray();
      json_.Key("cells").BeginArray();
      for (const omr::CellDecision& c : q.cells)
        json_.BeginObject()
            .Member("line", c.line)
            .Member("column", c.column)
            .Member("label", GbkToUtf8(std::string(1, c.label)))
            .Member("value", c.value)
            .Member("marked", c.marked)
            .Member("doubtful", c.doubtful)
            .EndObject();
      json_.EndArray().EndObject();
    }
    json_.EndArray();
  }
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

int PrepareForm(const GlobalOptions& global, const std::string& path, LocalForm& form) {
  std::string error;
  if (!LoadLocalForm(path, form, error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  int stopping = 0;
  for (const FormLineInfo& r : form.rejected) {
    if (!r.stops) continue;
    ++stopping;
    std::fprintf(stderr, "omrctl: %s:%d: %s\n  error %d: %s\n", path.c_str(), r.number,
                 GbkToUtf8(r.text).c_str(), r.code, ErrorText(r.code, global.chinese).c_str());
  }
  if (stopping > 0) {
    std::fprintf(stderr, "omrctl: the library does not load this form (see omrctl check)\n");
    return kExitForm;
  }
  return kExitOk;
}

int MostQuestions(const LocalForm& form) {
  int most = 0;
  for (const LayoutSummary& s : SummarizeLayouts(form)) most = std::max(most, s.questions);
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
