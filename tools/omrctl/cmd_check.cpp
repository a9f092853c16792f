// omrctl check FORM: the form's command lines as the library reads them, its
// layouts, and the problems a form author needs to know about.
#include <cstdio>

#include "commands.h"
#include "form_report.h"
#include "json.h"
#include "text.h"

namespace omrctl {

namespace {

std::string LetterText(char letter) {
  return letter == ' ' ? "" : GbkToUtf8(std::string(1, letter));
}

std::string BarsText(const std::vector<omr::BarRecord>& bars) {
  if (bars.empty()) return "no bars";
  std::string text = bars.size() == 1 ? "bar " : "bars ";
  for (std::size_t i = 0; i < bars.size(); ++i) {
    if (i) text += ", ";
    text += "line " + std::to_string(bars[i].line) + " columns " + std::to_string(bars[i].first) + "-" +
            std::to_string(bars[i].last);
  }
  return text;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? separator : "") + items[i];
  return text;
}

}  // namespace

int RunCheck(const GlobalOptions& global, const CheckOptions& options) {
  LocalForm form;
  std::string error;
  if (!LoadLocalForm(options.form, form, error)) {
    std::fprintf(stderr, "omrctl: %s\n", error.c_str());
    return kExitUsage;
  }
  const std::vector<LayoutSummary> layouts = SummarizeLayouts(form);
  const std::vector<FormWarning> warnings = CheckForm(form, options.headColumns);
  int stopping = 0;
  for (const FormLineInfo& r : form.rejected) stopping += r.stops ? 1 : 0;

  if (options.json) {
    Json j;
    j.BeginObject().Member("form", options.form).Member("command_lines", form.commandLines);
    j.Key("rejected").BeginArray();
    for (const FormLineInfo& r : form.rejected)
      j.BeginObject()
          .Member("line", r.number)
          .Member("text", GbkToUtf8(r.text))
          .Member("code", r.code)
          .Member("message", ErrorText(r.code, global.chinese))
          .Member("stops_loading", r.stops)
          .Member("hint", r.hint)
          .EndObject();
    j.EndArray().Key("layouts").BeginArray();
    for (const LayoutSummary& s : layouts) {
      j.BeginObject().Member("index", s.index + 1).Key("letter");
      if (s.letter == ' ')
        j.Null();
      else
        j.String(LetterText(s.letter));
      j.Member("lines", s.lines);
      j.Key("identifying_cell")
          .BeginObject()
          .Member("line", s.identLine)
          .Member("column", s.identColumn)
          .EndObject();
      j.Key("bars").BeginArray();
      for (const omr::BarRecord& b : s.bars)
        j.BeginObject().Member("line", b.line).Member("first", b.first).Member("last", b.last).EndObject();
      j.EndArray().Member("fields", s.fields).Member("questions", s.questions);
      j.Key("grade")
          .BeginArray()
          .Number(s.grade.g1)
          .Number(s.grade.g2)
          .Number(s.grade.g3)
          .Number(s.grade.g4)
          .EndArray();
      j.Key("inherited").BeginArray();
      for (const std::string& what : s.inherited) j.String(what);
      j.EndArray().EndObject();
    }
    j.EndArray().Key("warnings").BeginArray();
    for (const FormWarning& w : warnings)
      j.BeginObject().Member("line", w.line).Member("kind", w.kind).Member("text", w.text).EndObject();
    j.EndArray().EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    std::printf("form %s: %d command line%s, %zu rejected\n", options.form.c_str(), form.commandLines,
                form.commandLines == 1 ? "" : "s", form.rejected.size());
    if (!form.rejected.empty()) std::printf("rejected lines:\n");
    for (const FormLineInfo& r : form.rejected) {
      std::printf("  line %d: %s\n    error %d: %s%s\n", r.number, GbkToUtf8(r.text).c_str(), r.code,
                  ErrorText(r.code, global.chinese).c_str(),
                  r.stops ? "" : " (ignored: loading goes on and the layout keeps no letter)");
      if (!r.hint.empty()) std::printf("    %s\n", r.hint.c_str());
    }
    std::printf("layouts:\n");
    int unlettered = 0;
    for (const LayoutSummary& s : layouts) {
      if (s.letter == ' ' && s.index != 0 && s.fields == 0) {
        ++unlettered;
        continue;
      }
      std::printf(
          "  %s: %d lines; identifying cell line %d, column %d; %s; %d field%s, %d question%s; G %d %d %d "
          "%d%s\n",
          s.letter == ' ' ? ("layout " + std::to_string(s.index + 1) + " (no letter)").c_str()
                          : LetterText(s.letter).c_str(),
          s.lines, s.identLine, s.identColumn, BarsText(s.bars).c_str(), s.fields, s.fields == 1 ? "" : "s",
          s.questions, s.questions == 1 ? "" : "s", s.grade.g1, s.grade.g2, s.grade.g3, s.grade.g4,
          s.inherited.empty() ? "" : ("; inherited " + Join(s.inherited, ", ")).c_str());
    }
    if (unlettered > 0)
      std::printf(
          "  and %d more layout%s without a letter or fields (a \"+\" line before the first T line defines "
          "all 26)\n",
          unlettered, unlettered == 1 ? "" : "s");
    if (!warnings.empty()) std::printf("warnings:\n");
    for (const FormWarning& w : warnings) {
      if (w.line > 0)
        std::printf("  line %d: %s\n", w.line, w.text.c_str());
      else
        std::printf("  %s\n", w.text.c_str());
    }
    std::printf("%zu rejected line%s, %zu warning%s\n", form.rejected.size(),
                form.rejected.size() == 1 ? "" : "s", warnings.size(), warnings.size() == 1 ? "" : "s");
  }
  if (stopping > 0) return kExitForm;
  if (!form.rejected.empty() || !warnings.empty()) return kExitWarnings;
  return kExitOk;
}

}  // namespace omrctl
