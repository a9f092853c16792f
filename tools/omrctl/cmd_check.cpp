// omrctl check FORM: the form's command lines as the library reads them, its
// layouts, and the problems a form author needs to know about.
#include <cstdio>
#include <sstream>
#include <vector>

#include "commands.h"
#include "json.h"
#include "offline.h"
#include "text.h"

namespace omrctl {

namespace {

std::string LetterText(char letter) {
  return letter == ' ' ? "" : GbkToUtf8(std::string(1, letter));
}

std::string BarsText(const omro_layout_info& s) {
  if (s.bar_count == 0) return "no bars";
  std::string text = s.bar_count == 1 ? "bar " : "bars ";
  for (int i = 0; i < s.bar_count; ++i) {
    if (i) text += ", ";
    text += "line " + std::to_string(s.bars[i].line) + " columns " + std::to_string(s.bars[i].first) + "-" +
            std::to_string(s.bars[i].last);
  }
  return text;
}

std::vector<std::string> Words(const char* text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) text += (i ? separator : "") + items[i];
  return text;
}

}  // namespace

int RunCheck(const GlobalOptions& global, const CheckOptions& options) {
  omro_form* loaded = nullptr;
  if (omro_form_load(options.form.c_str(), &loaded) != OMRO_OK) {
    std::fprintf(stderr, "omrctl: %s\n", OfflineMessage().c_str());
    return kExitUsage;
  }
  const Form form(loaded);
  omro_form_set_head_columns(loaded, options.headColumns);
  std::vector<omro_diagnostic> rejected;
  std::vector<omro_diagnostic> warnings;
  for (int i = 0; i < omro_form_diagnostic_count(loaded); ++i) {
    omro_diagnostic d{};
    if (omro_form_diagnostic(loaded, i, &d) != OMRO_OK) continue;
    (d.severity == OMRO_SEVERITY_WARNING ? warnings : rejected).push_back(d);
  }
  std::vector<omro_layout_info> layouts(static_cast<std::size_t>(omro_form_layout_count(loaded)));
  for (std::size_t i = 0; i < layouts.size(); ++i) omro_form_layout(loaded, static_cast<int>(i), &layouts[i]);
  int stopping = 0;
  for (const omro_diagnostic& r : rejected) stopping += r.severity == OMRO_SEVERITY_ERROR ? 1 : 0;
  const int commandLines = omro_form_command_lines(loaded);

  if (options.json) {
    Json j;
    j.BeginObject().Member("form", options.form).Member("command_lines", commandLines);
    j.Key("rejected").BeginArray();
    for (const omro_diagnostic& r : rejected)
      j.BeginObject()
          .Member("line", r.line)
          .Member("column", r.column)
          .Member("text", GbkToUtf8(r.text))
          .Member("code", r.code)
          .Member("message", ErrorText(r.code, global.chinese))
          .Member("detail", r.message)
          .Member("stops_loading", r.severity == OMRO_SEVERITY_ERROR)
          .EndObject();
    j.EndArray().Key("layouts").BeginArray();
    for (const omro_layout_info& s : layouts) {
      j.BeginObject().Member("index", s.slot + 1).Key("letter");
      if (s.letter == ' ')
        j.Null();
      else
        j.String(LetterText(s.letter));
      j.Member("lines", s.lines);
      j.Key("identifying_cell")
          .BeginObject()
          .Member("line", s.ident_line)
          .Member("column", s.ident_column)
          .EndObject();
      j.Key("bars").BeginArray();
      for (int b = 0; b < s.bar_count; ++b)
        j.BeginObject()
            .Member("line", s.bars[b].line)
            .Member("first", s.bars[b].first)
            .Member("last", s.bars[b].last)
            .EndObject();
      j.EndArray().Member("fields", s.fields).Member("questions", s.questions);
      j.Key("grade").BeginArray().Number(s.g1).Number(s.g2).Number(s.g3).Number(s.g4).EndArray();
      j.Key("inherited").BeginArray();
      for (const std::string& what : Words(s.inherited)) j.String(what);
      j.EndArray().EndObject();
    }
    j.EndArray().Key("warnings").BeginArray();
    for (const omro_diagnostic& w : warnings)
      j.BeginObject()
          .Member("line", w.line)
          .Member("column", w.column)
          .Member("kind", w.kind)
          .Member("text", w.message)
          .EndObject();
    j.EndArray().EndObject();
    std::printf("%s\n", j.Text().c_str());
  } else {
    std::printf("form %s: %d command line%s, %zu rejected\n", options.form.c_str(), commandLines,
                commandLines == 1 ? "" : "s", rejected.size());
    if (!rejected.empty()) std::printf("rejected lines:\n");
    for (const omro_diagnostic& r : rejected) {
      if (r.line == 0) {
        std::printf("  %s\n", r.message);
        continue;
      }
      const std::string where = "line " + std::to_string(r.line) +
                                (r.column > 0 ? ", column " + std::to_string(r.column) : std::string());
      std::printf("  %s: %s\n    error %d: %s%s\n    %s\n", where.c_str(), GbkToUtf8(r.text).c_str(), r.code,
                  ErrorText(r.code, global.chinese).c_str(),
                  r.severity == OMRO_SEVERITY_ERROR
                      ? ""
                      : " (ignored: loading goes on and the layout keeps no letter)",
                  r.message);
    }
    std::printf("layouts:\n");
    int unlettered = 0;
    for (const omro_layout_info& s : layouts) {
      if (s.letter == ' ' && s.slot != 0 && s.fields == 0) {
        ++unlettered;
        continue;
      }
      const std::vector<std::string> inherited = Words(s.inherited);
      std::printf(
          "  %s: %d lines; identifying cell line %d, column %d; %s; %d field%s, %d question%s; G %d %d %d "
          "%d%s\n",
          s.letter == ' ' ? ("layout " + std::to_string(s.slot + 1) + " (no letter)").c_str()
                          : LetterText(s.letter).c_str(),
          s.lines, s.ident_line, s.ident_column, BarsText(s).c_str(), s.fields, s.fields == 1 ? "" : "s",
          s.questions, s.questions == 1 ? "" : "s", s.g1, s.g2, s.g3, s.g4,
          inherited.empty() ? "" : ("; inherited " + Join(inherited, ", ")).c_str());
    }
    if (unlettered > 0)
      std::printf(
          "  and %d more layout%s without a letter or fields (a \"+\" line before the first T line defines "
          "all 26)\n",
          unlettered, unlettered == 1 ? "" : "s");
    if (!warnings.empty()) std::printf("warnings:\n");
    for (const omro_diagnostic& w : warnings) {
      if (w.line > 0 && w.column > 0)
        std::printf("  line %d, column %d: %s\n", w.line, w.column, w.message);
      else if (w.line > 0)
        std::printf("  line %d: %s\n", w.line, w.message);
      else
        std::printf("  %s\n", w.message);
    }
    std::printf("%zu rejected line%s, %zu warning%s\n", rejected.size(), rejected.size() == 1 ? "" : "s",
                warnings.size(), warnings.size() == 1 ? "" : "s");
  }
  if (stopping > 0) return kExitForm;
  if (!rejected.empty() || !warnings.empty()) return kExitWarnings;
  return kExitOk;
}

}  // namespace omrctl
