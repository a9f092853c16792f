#include "sim/predict.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace omr::sim {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr char kTable1[] = ".ABHCPFGDIJKLMNOEQRSTUVWXYZ[\\]^_";
constexpr char kTable2[] = "PABECFHKDGILJMNO";
constexpr char kTable3[] = "*ABCDEFGHIJKLMNO";
static_assert(sizeof kTable1 == 33 && sizeof kTable2 == 17 && sizeof kTable3 == 17);

bool Parallel(char a, char b) {
  const bool aColumn = a == 'U' || a == 'D';
  const bool bColumn = b == 'U' || b == 'D';
  const bool aLine = a == 'L' || a == 'R';
  const bool bLine = b == 'L' || b == 'R';
  return (aColumn && bColumn) || (aLine && bLine);
}

// The cells of group k of one record.
void GroupCells(const SheetLayout& layout, int slot, int k, std::vector<QuestionCell>& cells) {
  const FieldRecord& f = layout.fields.records[slot];
  const char* text = layout.LabelText(f.labelId);
  const int n = layout.LabelLength(f.labelId);
  const int step = Parallel(f.cellDirection, f.groupDirection) ? f.gap + n : f.gap + 1;
  int line = f.line;
  int column = f.column;
  Move(f.groupDirection, k * step, line, column);
  for (int j = 0; j < n; ++j) {
    QuestionCell c;
    c.line = line;
    c.column = column;
    c.label = text[j];
    c.option = text[j] != ' ';
    c.record = slot;
    c.position = j;
    cells.push_back(c);
    Move(f.cellDirection, 1, line, column);
  }
}

enum class Pool { None, BM, S };

Pool PoolOf(char type) {
  switch (type) {
    case 'B':
    case 'M':
    case 'm':
    case 's':
      return Pool::BM;
    case 'S':
      return Pool::S;
    default:
      return Pool::None;
  }
}

struct Averages {
  double bm = 0.0;
  double s = 0.0;
};

Averages PoolAverages(const SheetLayout& layout, const SheetGrid& grid) {
  const int g2 = layout.grade.g2;
  long long sum[3] = {};
  long long count[3] = {};
  for (int slot = 0; slot < kFieldRecords; ++slot) {
    const FieldRecord& f = layout.fields.records[slot];
    if (!f.used) continue;
    const int questions = f.repeat == 0 ? 1 : f.repeat;
    std::vector<QuestionCell> cells;
    for (int k = 0; k < questions; ++k) GroupCells(layout, slot, k, cells);
    const int pool = static_cast<int>(PoolOf(f.type));
    for (const QuestionCell& c : cells) {
      const int v = grid.At(c.line, c.column);
      if (v >= g2) {
        sum[pool] += v;
        ++count[pool];
      }
      if (v >= 4) {
        sum[pool] += v;
        ++count[pool];
      }
    }
  }
  Averages a;
  const int bm = static_cast<int>(Pool::BM);
  const int s = static_cast<int>(Pool::S);
  a.bm = count[bm] ? static_cast<double>(sum[bm]) / static_cast<double>(count[bm]) : 0.0;
  a.s = count[s] ? static_cast<double>(sum[s]) / static_cast<double>(count[s]) : 0.0;
  return a;
}

char Decide(const SheetLayout& layout, const Averages& averages, char type, int v, int max, char label) {
  const GradeRecord& g = layout.grade;
  if (v < g.g2) return '_';
  const bool single = type == 'S' || type == 's';
  const double average = single ? averages.s : averages.bm;
  const int tolerance = single ? g.g3 : g.g4;
  const bool marked = static_cast<double>(v) >= 0.75 * average || max - v < tolerance;
  return marked && label != ' ' ? '1' : '_';
}

char TableCode(const SheetLayout& layout, const std::string& labels, const std::string& marks) {
  std::string replaced = marks;
  for (std::size_t p = 0; p < replaced.size(); ++p)
    if (replaced[p] == '1' && p < labels.size() && labels[p] != ' ') replaced[p] = labels[p];
  const char first = labels.empty() ? '\0' : labels[0];
  const char* alphabet = (first >= 'A' && first <= 'Z') ? "ABCDEFG" : first == '0' ? "0123456" : "1234567";
  int code = 0;
  for (char c : replaced) {
    const char* hit = c ? std::strchr(alphabet, c) : nullptr;
    if (hit) code |= 1 << (hit - alphabet);
  }
  switch (layout.coding.mode) {
    case 1:
      return code <= 31 ? kTable1[code] : '\0';
    case 2:
      return code <= 15 ? kTable2[code] : '\0';
    default:
      return code <= 15 ? kTable3[code] : '\0';
  }
}

}  // namespace

std::vector<int> Question::Options() const {
  std::vector<int> out;
  for (std::size_t i = 0; i < cells.size(); ++i)
    if (cells[i].option) out.push_back(static_cast<int>(i));
  return out;
}

void Move(char direction, int count, int& line, int& column) {
  switch (direction) {
    case 'U':
      column += count;
      break;
    case 'D':
      column -= count;
      break;
    case 'R':
      line += count;
      break;
    case 'L':
      line -= count;
      break;
    default:
      break;
  }
}

std::vector<Question> LayoutQuestions(const SheetLayout& layout) {
  std::vector<Question> questions;
  const auto& records = layout.fields.records;
  for (int slot = 0; slot < kFieldRecords; ++slot) {
    const FieldRecord& f = records[slot];
    if (!f.used) continue;
    if (f.repeat >= 1) {
      for (int k = 0; k < f.repeat; ++k) {
        Question q;
        q.firstRecord = q.closingRecord = slot;
        q.group = k;
        q.type = f.type;
        q.labelId = f.labelId;
        q.labels = layout.LabelText(f.labelId);
        GroupCells(layout, slot, k, q.cells);
        questions.push_back(std::move(q));
      }
      continue;
    }
    // A chain: this record and the following used ones up to the first with a
    // repeat count; an unclosed chain ends at the last used record.
    Question q;
    q.firstRecord = slot;
    int last = slot;
    for (int t = slot; t < kFieldRecords; ++t) {
      if (!records[t].used) continue;
      last = t;
      std::vector<QuestionCell> cells;
      GroupCells(layout, t, 0, cells);
      for (const QuestionCell& c : cells) {
        if (static_cast<int>(q.cells.size()) >= kWorkStringSize - 1) break;
        q.cells.push_back(c);
        q.labels.push_back(c.label);
      }
      if (t != slot && records[t].repeat != 0) break;
    }
    q.closingRecord = last;
    q.type = records[last].type;
    q.labelId = records[last].labelId;
    questions.push_back(std::move(q));
    slot = last;
  }
  return questions;
}

char CodeQuestion(const SheetLayout& layout, const Question& q, const std::string& marks) {
  const CodingRecord& coding = layout.coding;
  const std::string& lb = q.labels;
  const std::string_view closing = layout.LabelText(q.labelId);
  const int m = static_cast<int>(marks.size());

  int mask = 0;
  int options = 0;
  for (int p = 0; p < m; ++p) {
    // Options come from the closing record's text; past its end the whole label string decides.
    const char c = p < static_cast<int>(closing.size()) ? closing[static_cast<std::size_t>(p)]
                   : p < static_cast<int>(lb.size())    ? lb[static_cast<std::size_t>(p)]
                                                        : ' ';
    if (c == ' ') continue;
    if (options < 8 && marks[static_cast<std::size_t>(p)] == '1') mask |= 1 << options;
    ++options;
  }
  int weight = 0;
  for (int i = 0; i < static_cast<int>(lb.size()) && i < 8; ++i) {
    const char c = lb[static_cast<std::size_t>(i)];
    if ((mask & (1 << i)) && (c == '1' || c == '2' || c == '4' || c == '8')) weight += c - '0';
  }
  const int ones = static_cast<int>(std::count(marks.begin(), marks.end(), '1'));

  switch (q.type) {
    case 'B':
      return weight < 10 ? static_cast<char>('0' + weight) : coding.multipleChar;
    case 'b':
      return weight <= 15 ? kDigits[weight] : '\0';
    case 'M':
      if (options >= 8) return coding.multipleChar;
      if (coding.mode == 4) return static_cast<char>(0x30 + mask);
      return TableCode(layout, lb, marks);
    case 'm':
      return options < 8 ? static_cast<char>(0x30 + mask) : coding.multipleChar;
    case 'S':
    case 's': {
      if (ones == 0) return coding.emptyChar;
      if (ones > 1) return q.type == 'S' ? coding.multipleChar : '0';
      const std::size_t at = marks.find('1');
      return at < lb.size() ? lb[at] : '\0';
    }
    default:
      return '\0';
  }
}

std::vector<std::string> DecideMarks(const SheetLayout& layout, const SheetGrid& grid) {
  const Averages averages = PoolAverages(layout, grid);
  std::vector<std::string> out;
  int chainMax = 0;
  for (const Question& q : LayoutQuestions(layout)) {
    const bool chain = layout.fields.records[q.firstRecord].repeat == 0;
    std::string marks;
    if (!chain) {
      int max = 0;
      for (const QuestionCell& c : q.cells) max = std::max(max, grid.At(c.line, c.column));
      for (const QuestionCell& c : q.cells)
        marks.push_back(Decide(layout, averages, q.type, grid.At(c.line, c.column), max, c.label));
    } else {
      // The running maximum grows member by member and carries over from chain to chain.
      std::size_t begin = 0;
      while (begin < q.cells.size()) {
        std::size_t end = begin;
        while (end < q.cells.size() && q.cells[end].record == q.cells[begin].record) ++end;
        for (std::size_t i = begin; i < end; ++i)
          chainMax = std::max(chainMax, grid.At(q.cells[i].line, q.cells[i].column));
        const char type = layout.fields.records[q.cells[begin].record].type;
        for (std::size_t i = begin; i < end; ++i)
          marks.push_back(Decide(layout, averages, type, grid.At(q.cells[i].line, q.cells[i].column),
                                 chainMax, q.cells[i].label));
        begin = end;
      }
    }
    out.push_back(std::move(marks));
  }
  return out;
}

std::string EvaluateLayout(const SheetLayout& layout, const SheetGrid& grid) {
  const std::vector<Question> questions = LayoutQuestions(layout);
  const std::vector<std::string> marks = DecideMarks(layout, grid);
  std::string text;
  for (std::size_t i = 0; i < questions.size() && text.size() < kMaxResultChars; ++i)
    text.push_back(CodeQuestion(layout, questions[i], marks[i]));
  return text;
}

int SelectedLayout(const FormDefinition& forms) {
  const int face = forms.currentFace;
  if (const SheetLayout* s = forms.selected[face]) {
    for (int i = 0; i < kLayoutsPerFace; ++i)
      if (&forms.layouts[face][i] == s) return i;
  }
  if (forms.eLetter[face] != 0)
    for (int i = 0; i < kLayoutsPerFace; ++i)
      if (forms.layouts[face][i].ident.letter == forms.eLetter[face]) return i;
  for (int i = 0; i < kLayoutsPerFace; ++i)
    if (forms.layouts[face][i].defined) return 0;
  return -1;
}

int IdentifyLayout(const FormDefinition& forms, const SheetGrid& grid, int& error) {
  const auto& layouts = forms.layouts[forms.currentFace];
  error = 0;
  bool anyDefined = false;
  bool anyLetter = false;
  for (const SheetLayout& l : layouts) {
    anyDefined |= l.defined != 0;
    anyLetter |= l.ident.letter != ' ';
  }
  if (!anyDefined) {
    error = kErrNoFormat;
    return -1;
  }
  if (!anyLetter) return 0;
  bool candidate = false;
  int match = -1;
  int matches = 0;
  for (int i = 0; i < kLayoutsPerFace; ++i) {
    const SheetLayout& l = layouts[i];
    if (l.length.l1 != grid.Lines()) continue;
    candidate = true;
    if (grid.At(l.ident.line, l.ident.column) > l.grade.g2) {
      ++matches;
      match = i;
    }
  }
  if (!candidate) {
    error = 7;
    return -1;
  }
  if (matches == 1) return match;
  if (matches == 0) {
    const int selected = SelectedLayout(forms);
    if (selected >= 0 && layouts[selected].length.l1 == grid.Lines()) return selected;
  }
  error = 4;
  return -1;
}

bool CheckBars(const SheetLayout& layout, const SheetGrid& grid) {
  for (const BarRecord& bar : layout.bars.records) {
    if (!bar.used) continue;
    for (int column = bar.first; column <= bar.last; ++column)
      if (grid.At(bar.line, column) < layout.grade.g1) return false;
  }
  return true;
}

Prediction PredictRead(const FormDefinition& forms, const SheetGrid& grid, std::uint16_t status) {
  Prediction p;
  if (status != 0) {
    p.error = status;
    return p;
  }
  p.layout = IdentifyLayout(forms, grid, p.error);
  if (p.layout < 0) return p;
  const SheetLayout& layout = forms.layouts[forms.currentFace][p.layout];
  if (!CheckBars(layout, grid)) {
    p.error = 5;
    return p;
  }
  p.text = EvaluateLayout(layout, grid);
  const unsigned char letter = static_cast<unsigned char>(layout.ident.letter);
  p.letter = (letter < 'A' || letter >= 0x80) ? 'A' : static_cast<char>(letter);
  if (forms.xFrom[forms.currentFace] != 0 && p.letter == forms.xFrom[forms.currentFace])
    p.letter = forms.xTo[forms.currentFace];
  return p;
}

}  // namespace omr::sim
