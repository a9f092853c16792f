#include "form_report.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <map>
#include <utility>

#include "form/form_line.h"
#include "form/form_loader.h"
#include "form_lint.h"
#include "gbk.h"

namespace omr::offline {

namespace {

template <typename Table>
int UsedCount(const Table& table) {
  int n = 0;
  for (const auto& r : table.records) n += r.used ? 1 : 0;
  return n;
}

bool SameGrade(const omr::GradeRecord& a, const omr::GradeRecord& b) {
  return a.g1 == b.g1 && a.g2 == b.g2 && a.g3 == b.g3 && a.g4 == b.g4;
}

std::string LayoutName(int index, char letter) {
  if (letter != ' ') return "layout " + GbkToUtf8(std::string(1, letter));
  return "layout " + std::to_string(index + 1) + " (no letter)";
}

std::string Cell(int line, int column) {
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::string QuestionRange(int first, int last) {
  return first == last ? "question " + std::to_string(first)
                       : "questions " + std::to_string(first) + "-" + std::to_string(last);
}

bool OnBar(const omr::SheetLayout& layout, int line, int column) {
  for (const omr::BarRecord& bar : layout.bars.records)
    if (bar.used && bar.line == line && column >= bar.first && column <= bar.last) return true;
  return false;
}

struct OffCells {
  int count = 0;
  int line = 0;
  int column = 0;
  int firstQuestion = 0;
  int lastQuestion = 0;
  void Add(const omr::CellDecision& c, int question) {
    if (count++ == 0) line = c.line, column = c.column, firstQuestion = question;
    lastQuestion = question;
  }
};

}  // namespace

namespace {

// Records what every command line did to the form, for the report.
omr::FormLineObserver Recorder(LocalForm& form) {
  omr::FormDefinition& forms = *form.forms;
  auto& origin = *form.origin;
  auto snapshot = [&forms, &origin](int index) {
    const omr::SheetLayout& l = forms.Layout(omr::kFaceA, index);
    LayoutOrigin& o = origin[static_cast<std::size_t>(index)];
    o.letter = l.ident.letter;
    o.labels = UsedCount(l.labels);
    o.bars = UsedCount(l.bars);
    o.length = l.length;
    o.grade = l.grade;
  };
  return [&form, &forms, &origin, snapshot](const omr::FormLineReport& r) {
    ++form.commandLines;
    const int index = forms.currentIndex;
    const char letter = r.text[1];
    if (r.code > 0 && form.rejected.size() >= kMaxRejected) {
      ++form.unlisted;
      if (form.unlistedCode == 0) form.unlistedCode = r.code;
    } else if (r.code > 0) {
      form.rejected.push_back({r.number, r.text, r.code, true, 0, {}});
      DescribeRejection(form.rejected.back());
    } else if (letter == 'T' && omr::FormCharAt(r.text, 3) == ' ' && form.rejected.size() >= kMaxRejected) {
      ++form.unlisted;
    } else if (letter == 'T' && omr::FormCharAt(r.text, 3) == ' ') {
      // Refused without a code: the load goes on, the layout's letter is blank.
      form.rejected.push_back({r.number, r.text, omr::kErrBadParameters, false, 0, {}});
      DescribeRejection(form.rejected.back());
    } else if (letter == 'T') {
      origin[static_cast<std::size_t>(index)].tLine = r.number;
    } else if (letter == 'F') {
      const int used = UsedCount(forms.Layout(omr::kFaceA, index).fields);
      if (used > 0)
        origin[static_cast<std::size_t>(index)].fieldLine[static_cast<std::size_t>(used - 1)] = r.number;
    }
    if (letter == '+') {
      for (int i = 0; i < omr::kLayoutsPerFace; ++i) snapshot(i);
    } else {
      snapshot(index);
    }
    return true;  // go on past a rejection, to report every one
  };
}

}  // namespace

void LoadLocalFormText(std::string_view text, LocalForm& form) {
  std::int32_t code = 0;
  omr::ReadFormText(*form.forms, form.settings, text.data(), text.size(), code, Recorder(form));
  form.commentLike = CommentLikeLines(text, kMaxRejected);
}

int FormStatus(const LocalForm& form) {
  for (const FormLineInfo& r : form.rejected)
    if (r.stops) return r.code;
  if (form.unlistedCode > 0) return form.unlistedCode;
  for (int i = 0; i < omr::kLayoutsPerFace; ++i)
    if (form.forms->Layout(omr::kFaceA, i).defined) return 0;
  return omr::kErrNoFormat;
}

std::vector<LayoutSummary> SummarizeLayouts(const LocalForm& form) {
  std::vector<LayoutSummary> out;
  const auto empty = std::make_unique<omr::DeviceFrame>();
  for (int i = 0; i < omr::kLayoutsPerFace; ++i) {
    const omr::SheetLayout& l = form.forms->Layout(omr::kFaceA, i);
    if (!l.defined) continue;
    const LayoutOrigin& o = (*form.origin)[static_cast<std::size_t>(i)];
    LayoutSummary s;
    s.index = i;
    s.letter = l.ident.letter;
    s.lines = l.length.l1;
    s.identLine = l.ident.line;
    s.identColumn = l.ident.column;
    for (const omr::BarRecord& bar : l.bars.records)
      if (bar.used) s.bars.push_back(bar);
    s.fields = UsedCount(l.fields);
    s.questions = static_cast<int>(LayoutQuestions(l, *empty).size());
    s.grade = l.grade;
    if (o.letter == ' ' && l.ident.letter != ' ') s.inherited.push_back("letter");
    if (UsedCount(l.labels) > o.labels) s.inherited.push_back("D");
    if (!SameGrade(l.grade, o.grade)) s.inherited.push_back("G");
    if (l.length.l1 != o.length.l1 || l.length.l2 != o.length.l2 || l.length.l3 != o.length.l3)
      s.inherited.push_back("L");
    if (UsedCount(l.bars) > o.bars) s.inherited.push_back("M");
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<FormWarning> CheckForm(const LocalForm& form, int headColumns) {
  std::vector<FormWarning> warnings;
  const omr::FormDefinition& forms = *form.forms;
  const auto empty = std::make_unique<omr::DeviceFrame>();
  std::vector<std::vector<QuestionInfo>> questions(omr::kLayoutsPerFace);

  for (int i = 0; i < omr::kLayoutsPerFace; ++i) {
    const omr::SheetLayout& l = forms.Layout(omr::kFaceA, i);
    if (!l.defined) continue;
    const LayoutOrigin& o = (*form.origin)[static_cast<std::size_t>(i)];
    const std::string name = LayoutName(i, l.ident.letter);
    const int lines = l.length.l1;
    auto fieldLine = [&](int slot) { return o.fieldLine[static_cast<std::size_t>(slot)]; };

    // Fields whose label id names no label.
    for (int slot = 0; slot < omr::kFieldRecords; ++slot) {
      const omr::FieldRecord& r = l.fields.records[slot];
      if (r.used && l.FindLabel(r.labelId) == nullptr)
        warnings.push_back({fieldLine(slot), "label",
                            name + ": the F line uses label id " + std::to_string(r.labelId) +
                                ", which the layout does not define: its questions have no option cells"});
    }
    if (l.ident.letter != ' ' && UsedCount(l.fields) == 0)
      warnings.push_back(
          {o.tLine, "empty", name + " has no F lines: its sheets are read but give no result"});

    // The identifying cell and the bars on the sheet and under the head.
    if (l.ident.letter != ' ' && lines > 0 && forms.CountLetteredLayouts() > 0) {
      if (l.ident.line < 1 || l.ident.line > lines)
        warnings.push_back({o.tLine, "outside",
                            name + ": the identifying cell (" + Cell(l.ident.line, l.ident.column) +
                                ") is outside the sheet's " + std::to_string(lines) + " lines"});
      if (l.ident.column < 1 || l.ident.column > headColumns)
        warnings.push_back({o.tLine, "head",
                            name + ": the identifying cell (" + Cell(l.ident.line, l.ident.column) +
                                ") is off the read head (columns 1-" + std::to_string(headColumns) + ")"});
    }
    for (const omr::BarRecord& bar : l.bars.records) {
      if (!bar.used) continue;
      const std::string what = name + ": the bar on line " + std::to_string(bar.line) + ", columns " +
                               std::to_string(bar.first) + "-" + std::to_string(bar.last);
      if (lines > 0 && (bar.line < 1 || bar.line > lines))
        warnings.push_back({0, "outside",
                            what + " is outside the sheet's " + std::to_string(lines) +
                                " lines: every sheet fails the bar check (error 5)"});
      else if (bar.first <= bar.last && (bar.first < 1 || bar.last > headColumns))
        warnings.push_back({0, "head",
                            what + " runs off the read head (columns 1-" + std::to_string(headColumns) +
                                "): every sheet fails the bar check (error 5)"});
    }

    // Option cells outside the sheet or the head, per F line.
    questions[static_cast<std::size_t>(i)] = LayoutQuestions(l, *empty);
    const auto& qs = questions[static_cast<std::size_t>(i)];
    std::map<int, std::pair<OffCells, OffCells>> off;  // by first slot: outside, off the head
    for (const QuestionInfo& q : qs) {
      for (const omr::CellDecision& c : q.cells) {
        if (c.label == ' ') continue;
        if (lines > 0 && (c.line < 1 || c.line > lines)) off[q.firstSlot].first.Add(c, q.number);
        if (c.column < 1 || c.column > headColumns) off[q.firstSlot].second.Add(c, q.number);
      }
    }
    for (const auto& [slot, cells] : off) {
      const auto& [outside, head] = cells;
      if (outside.count > 0)
        warnings.push_back({fieldLine(slot), "outside",
                            name + ", " + QuestionRange(outside.firstQuestion, outside.lastQuestion) + ": " +
                                std::to_string(outside.count) + " option cell(s) outside the sheet's " +
                                std::to_string(lines) + " lines (first at " +
                                Cell(outside.line, outside.column) + ")"});
      if (head.count > 0)
        warnings.push_back({fieldLine(slot), "head",
                            name + ", " + QuestionRange(head.firstQuestion, head.lastQuestion) + ": " +
                                std::to_string(head.count) + " option cell(s) off the read head (columns 1-" +
                                std::to_string(headColumns) + "; first at " + Cell(head.line, head.column) +
                                ")"});
    }

    // Option cells that two questions use, per pair of F lines.
    struct Shared {
      int count = 0;
      int q1 = 0, q2 = 0, line = 0, column = 0;
    };
    std::map<std::pair<int, int>, std::pair<int, int>> owner;  // cell -> question, first slot
    std::map<std::pair<int, int>, Shared> shared;              // pair of first slots
    for (const QuestionInfo& q : qs) {
      for (const omr::CellDecision& c : q.cells) {
        if (c.label == ' ') continue;
        const auto [it, inserted] = owner.try_emplace({c.line, c.column}, q.number, q.firstSlot);
        if (inserted || it->second.first == q.number) continue;
        Shared& s = shared[{it->second.second, q.firstSlot}];
        if (s.count++ == 0) s.q1 = it->second.first, s.q2 = q.number, s.line = c.line, s.column = c.column;
      }
    }
    for (const auto& [slots, s] : shared) {
      const int a = fieldLine(slots.first);
      const int b = fieldLine(slots.second);
      std::string where = a == b ? "the F line on line " + std::to_string(a)
                                 : "the F lines on lines " + std::to_string(a) + " and " + std::to_string(b);
      warnings.push_back({b, "shared",
                          name + ": " + std::to_string(s.count) +
                              " option cell(s) are used by two questions of " + where +
                              " (first: questions " + std::to_string(s.q1) + " and " + std::to_string(s.q2) +
                              " at " + Cell(s.line, s.column) + ")"});
    }
  }

  // Layouts a sheet cannot be told apart by.
  auto identOnSheet = [](const omr::SheetLayout& l) {
    return l.ident.line >= 1 && l.ident.line <= l.length.l1 && l.ident.column >= 1;
  };
  auto optionAt = [&](int layout, int line, int column, int& question, char& label) {
    for (const QuestionInfo& q : questions[static_cast<std::size_t>(layout)])
      for (const omr::CellDecision& c : q.cells)
        if (c.label != ' ' && c.line == line && c.column == column) {
          question = q.number;
          label = c.label;
          return true;
        }
    return false;
  };
  if (forms.CountLetteredLayouts() > 0) {
    for (int i = 0; i < omr::kLayoutsPerFace; ++i) {
      const omr::SheetLayout& a = forms.Layout(omr::kFaceA, i);
      if (!a.defined) continue;
      for (int j = i + 1; j < omr::kLayoutsPerFace; ++j) {
        const omr::SheetLayout& b = forms.Layout(omr::kFaceA, j);
        if (!b.defined) continue;
        const std::string na = LayoutName(i, a.ident.letter);
        const std::string nb = LayoutName(j, b.ident.letter);
        const int tLine = (*form.origin)[static_cast<std::size_t>(j)].tLine;
        if (a.ident.letter != ' ' && a.ident.letter == b.ident.letter)
          warnings.push_back({tLine, "ambiguous",
                              "layouts " + std::to_string(i + 1) + " and " + std::to_string(j + 1) +
                                  " both report form letter " + GbkToUtf8(std::string(1, a.ident.letter))});
        if (a.length.l1 <= 0 || a.length.l1 != b.length.l1 || !identOnSheet(a) || !identOnSheet(b)) continue;
        const std::string lines = std::to_string(a.length.l1);
        if (a.ident.line == b.ident.line && a.ident.column == b.ident.column) {
          warnings.push_back({tLine, "ambiguous",
                              na + " and " + nb + " cannot be told apart: both have " + lines +
                                  " lines and their identifying cell at " +
                                  Cell(a.ident.line, a.ident.column)});
          continue;
        }
        const struct {
          const omr::SheetLayout& of;
          int ofIndex;
          const std::string& ofName;
          const omr::SheetLayout& other;
          const std::string& otherName;
        } directions[] = {{a, i, na, b, nb}, {b, j, nb, a, na}};
        for (const auto& d : directions) {
          const int line = d.other.ident.line;
          const int column = d.other.ident.column;
          int question = 0;
          char label = ' ';
          if (OnBar(d.of, line, column))
            warnings.push_back({tLine, "ambiguous",
                                na + " and " + nb + " cannot be told apart: " + d.otherName +
                                    "'s identifying cell (" + Cell(line, column) + ") is a bar cell of " +
                                    d.ofName + ", so every sheet of " + d.ofName + " (" + lines +
                                    " lines) darkens both identifying cells"});
          else if (optionAt(d.ofIndex, line, column, question, label))
            warnings.push_back({tLine, "ambiguous",
                                d.otherName + "'s identifying cell (" + Cell(line, column) +
                                    ") is an option cell of " + d.ofName + ": a sheet of " + d.ofName +
                                    " with option " + GbkToUtf8(std::string(1, label)) + " of question " +
                                    std::to_string(question) + " marked cannot be told apart (error 4)"});
        }
      }
    }
  }
  warnings.insert(warnings.end(), form.commentLike.begin(), form.commentLike.end());
  return warnings;
}

namespace {

// Columns below are the form language's own (0 is the opening quote); what is
// reported is one more, as an editor counts.
struct Fixed {
  std::size_t column;
  char wanted;
};

std::string Shown(const std::string& text, std::size_t column) {
  if (column >= text.size()) return "nothing (the line ends before it)";
  const char c = text[column];
  if (c == ' ') return "a blank";
  return "\"" + GbkToUtf8(std::string(1, c)) + "\"";
}

std::string Wanted(char c) {
  return c == ' ' ? "a blank" : "\"" + std::string(1, c) + "\"";
}

// The first fixed character that is not there; false when all are.
bool MissingFixed(FormLineInfo& r, std::initializer_list<Fixed> fixed) {
  for (const Fixed& f : fixed) {
    if (omr::FormCharAt(r.text.c_str(), f.column) != f.wanted) {
      r.column = static_cast<int>(f.column) + 1;
      r.detail = "column " + std::to_string(r.column) + " must hold " + Wanted(f.wanted) + ", not " +
                 Shown(r.text, f.column) + ": keep every character of the line in its column";
      return true;
    }
  }
  return false;
}

struct NumberField {
  std::size_t column;
  const char* name;
};

// The first number that is 0 (or, with `positive`, 0 or less).
bool BadNumber(FormLineInfo& r, std::initializer_list<NumberField> fields, bool positive, int bits = 32) {
  for (const NumberField& f : fields) {
    std::int32_t v = omr::ReadFormNumber(r.text.c_str(), f.column);
    if (bits == 8) v &= 0xFF;
    if (v == 0 || (positive && v < 0)) {
      r.column = static_cast<int>(f.column) + 1;
      r.detail = std::string("the ") + f.name + " (from column " + std::to_string(r.column) + ") reads as " +
                 std::to_string(v) + (bits == 8 && v == 0 ? " after its cut to 8 bits" : "") +
                 (positive ? ": it must be greater than 0" : ": it must not be 0");
      return true;
    }
  }
  return false;
}

bool BadChoice(FormLineInfo& r, std::size_t column, const char* name, const char* allowed, const char* list) {
  const char c = omr::FormCharAt(r.text.c_str(), column);
  if (c != 0 && std::strchr(allowed, c) != nullptr) return false;
  r.column = static_cast<int>(column) + 1;
  r.detail = std::string("the ") + name + " (column " + std::to_string(r.column) + ") must be " + list +
             ", not " + Shown(r.text, column);
  return true;
}

}  // namespace

void DescribeRejection(FormLineInfo& r) {
  r.column = 0;
  r.detail.clear();
  if (r.text.size() > static_cast<std::size_t>(omr::kFormLineMax)) {
    r.column = omr::kFormLineMax + 1;
    r.detail = "the line is longer than " + std::to_string(omr::kFormLineMax) +
               " characters (quotes included): shorten it";
    return;
  }
  const char letter = r.text.size() > 1 ? r.text[1] : 0;
  switch (letter) {
    case 'T':
      if (r.code == omr::kErrHeadAOverflow) {
        r.detail = "a form holds at most 26 layouts: this T line would open a 27th";
      } else if (omr::FormCharAt(r.text.c_str(), 3) == ' ') {
        r.column = 4;
        r.detail =
            "the form letter (column 4) is a blank: the line is ignored and the layout keeps no letter; "
            "put a letter there";
      }
      return;
    case 'G':
      BadNumber(r,
                {{2, "first threshold (G1)"},
                 {5, "second threshold (G2)"},
                 {8, "third threshold (G3)"},
                 {11, "fourth threshold (G4)"}},
                true);
      return;
    case 'L':
      BadNumber(r, {{2, "line count (L1)"}, {6, "second length value (L2)"}, {9, "third length value (L3)"}},
                true);
      return;
    case 'M':
      if (MissingFixed(r, {{2, ' '}, {6, ' '}, {9, ' '}, {12, '/'}, {13, '"'}})) return;
      if (BadNumber(r, {{2, "bar line"}, {6, "first column"}, {9, "last column"}}, false)) return;
      r.detail = "a layout holds at most 6 bars (M lines)";
      return;
    case 'D': {
      if (r.code == omr::kErrRedefinedD) {
        r.column = 4;
        r.detail = "label id " + std::to_string(omr::ReadFormNumber(r.text.c_str(), 2) & 0xFF) +
                   " is already defined in this layout: give each D line of a layout its own id";
        return;
      }
      if (r.code == omr::kErrDOverflow) {
        r.detail = "a layout holds at most 120 labels (D lines)";
        return;
      }
      if (MissingFixed(r, {{2, ' '}, {5, ' '}})) return;
      const std::size_t slash = r.text.find('/', 6);
      const std::size_t end = slash == std::string::npos ? r.text.size() : slash;
      if (end > 6 + static_cast<std::size_t>(omr::kLabelTextSize - 1)) {
        r.column = 6 + omr::kLabelTextSize;
        r.detail = "a label text has at most " + std::to_string(omr::kLabelTextSize - 1) +
                   " characters (one per cell): this one goes on past column " + std::to_string(r.column - 1);
      }
      return;
    }
    case 'F':
      if (BadNumber(r, {{2, "line of the first cell"}, {6, "column of the first cell"}}, false, 8)) return;
      if (BadChoice(r, 10, "cell direction", "UDLR", "U, D, L or R")) return;
      if (BadChoice(r, 12, "field type", "SMBsmb", "S, M, B, s, m or b")) return;
      if (BadChoice(r, 20, "group direction", "UDLR", "U, D, L or R")) return;
      r.detail = "a layout holds at most 350 fields (F lines)";
      return;
    case '*':
      MissingFixed(r, {{2, ' '}, {5, ' '}, {10, ' '}, {13, '/'}, {14, '"'}});
      return;
    default:
      return;
  }
}

}  // namespace omr::offline
