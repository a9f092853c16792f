#include "read/recognition.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace omr {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";
constexpr char kTable1[] = ".ABHCPFGDIJKLMNOEQRSTUVWXYZ[\\]^_";
constexpr char kTable2[] = "PABECFHKDGILJMNO";
constexpr char kTable3[] = "*ABCDEFGHIJKLMNO";
static_assert(sizeof kDigits == 17 && sizeof kTable1 == 33 && sizeof kTable2 == 17 && sizeof kTable3 == 17);

struct Step {
  int line = 0;
  int column = 0;
};

// A direction letter moves one cell; any other letter does not move.
Step Move(char direction) {
  switch (direction) {
    case 'U':
      return {0, 1};
    case 'D':
      return {0, -1};
    case 'R':
      return {1, 0};
    case 'L':
      return {-1, 0};
    default:
      return {};
  }
}

bool Across(char d) {
  return d == 'U' || d == 'D';
}
bool Along(char d) {
  return d == 'L' || d == 'R';
}
bool Parallel(char a, char b) {
  return (Across(a) && Across(b)) || (Along(a) && Along(b));
}

// Where the questions of a record lie: the move from cell to cell, the move
// from one question's first cell to the next, and the record's first cell.
struct Geometry {
  Step cell;
  Step group;
  int line;
  int column;
  int n;  // cells a question: the label length, at most 63

  Geometry(const FieldRecord& r, int n) : cell(Move(r.cellDirection)), line(r.line), column(r.column), n(n) {
    const int step = r.gap + (Parallel(r.cellDirection, r.groupDirection) ? n : 1);
    const Step g = Move(r.groupDirection);
    group = {step * g.line, step * g.column};
  }

  // The cell values of question k, in walking order.
  void Read(const DeviceFrame& frame, int k, int* values) const {
    const int firstLine = line + k * group.line;
    const int firstColumn = column + k * group.column;
    for (int p = 0; p < n; ++p)
      values[p] = frame.CellAt(firstLine + p * cell.line, firstColumn + p * cell.column);
  }
};

// One question's cells: the label text is at most 63 characters.
using CellValues = int[kLabelTextSize];

enum class Pool { BM, S, None };

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

// Pool averages over every cell of every question; a cell of at least G2 and
// at least 4 is counted twice.
Averages ComputeAverages(const SheetLayout& layout, const DeviceFrame& frame) {
  // Integer sums: exact, and the same values the division sees.
  long long sum[2] = {0, 0};
  long long count[2] = {0, 0};
  const int g2 = layout.grade.g2;
  for (const FieldRecord& r : layout.fields.records) {
    if (!r.used) continue;
    const Pool pool = PoolOf(r.type);
    if (pool == Pool::None) continue;
    const int i = pool == Pool::BM ? 0 : 1;
    const Geometry geometry(r, layout.LabelLength(r.labelId));
    const int questions = r.repeat == 0 ? 1 : r.repeat;
    long long recordSum = 0;
    long long recordCount = 0;
    for (int k = 0; k < questions; ++k) {
      const int line = geometry.line + k * geometry.group.line;
      const int column = geometry.column + k * geometry.group.column;
      for (int p = 0; p < geometry.n; ++p) {
        const int v = frame.CellAt(line + p * geometry.cell.line, column + p * geometry.cell.column);
        if (v >= g2) recordSum += v, ++recordCount;
        if (v >= 4) recordSum += v, ++recordCount;
      }
    }
    sum[i] += recordSum;
    count[i] += recordCount;
  }
  Averages a;
  a.bm = count[0] ? static_cast<double>(sum[0]) / static_cast<double>(count[0]) : 0.0;
  a.s = count[1] ? static_cast<double>(sum[1]) / static_cast<double>(count[1]) : 0.0;
  return a;
}

// The label and mark strings of one question, kept in step (always of the
// same length) and cut at the working size. Nothing past the lengths is
// ever read, so the strings need no clearing.
struct Working {
  char label[kWorkingStringSize];
  char marks[kWorkingStringSize];
  int labelLength = 0;
  int markLength = 0;

  void AppendLabel(const char* text, int n) {
    for (int i = 0; i < n && labelLength < kWorkingStringSize; ++i) label[labelLength++] = text[i];
  }
  void AppendMark(char c) {
    if (markLength < kWorkingStringSize) marks[markLength++] = c;
  }
};

int MaxOver(const int* values, int n, int max) {
  for (int p = 0; p < n; ++p) max = std::max(max, values[p]);
  return max;
}

bool Marked(char type, int v, int max, const GradeRecord& g, const Averages& a) {
  if (v < g.g2) return false;
  switch (type) {
    case 'B':
    case 'M':
    case 'b':
    case 'm':
      return v >= 0.75 * a.bm || max - v < g.g4;
    case 'S':
    case 's':
      return v >= 0.75 * a.s || max - v < g.g3;
    default:
      return false;
  }
}

// The cell decisions of the question being evaluated, kept only for an observer.
struct Explain {
  CellDecision cells[kWorkingStringSize];
  int count = 0;
};

// The lightest value at which a cell of the question would be marked, with
// `others` the darkest value of the cells it is decided with besides itself.
int Threshold(char type, int others, const GradeRecord& grade, const Averages& a) {
  for (int v = 0; v <= 15; ++v)
    if (Marked(type, v, std::max(others, v), grade, a)) return v;
  return 16;
}

// `prior` is the MAX the question started from (0, or the chain's so far).
void AppendMarks(Working& w, const FieldRecord& r, const Geometry& geometry, int k, const int* values,
                 const char* text, const GradeRecord& grade, int prior, int max, const Averages& a,
                 Explain* explain) {
  const int firstLine = geometry.line + k * geometry.group.line;
  const int firstColumn = geometry.column + k * geometry.group.column;
  for (int p = 0; p < geometry.n; ++p) {
    const int v = values[p];
    const bool marked = Marked(r.type, v, max, grade, a);
    w.AppendMark(marked && text[p] != ' ' ? '1' : '_');
    if (explain == nullptr || explain->count >= kWorkingStringSize) continue;
    const bool option = text[p] != ' ';
    const bool single = r.type == 'S' || r.type == 's';
    int others = prior;
    for (int q = 0; q < geometry.n; ++q)
      if (q != p) others = std::max(others, values[q]);
    explain->cells[explain->count++] = {firstLine + p * geometry.cell.line,
                                        firstColumn + p * geometry.cell.column,
                                        v,
                                        text[p],
                                        r.type,
                                        marked && option,
                                        0.75 * (single ? a.s : a.bm),
                                        max,
                                        single ? grade.g3 : grade.g4,
                                        option ? Threshold(r.type, others, grade, a) : 16};
  }
}

std::uint8_t TableCode(int mode, const Working& w) {
  char marks[kWorkingStringSize];
  std::memcpy(marks, w.marks, static_cast<std::size_t>(w.markLength));
  for (int p = 0; p < w.markLength; ++p)
    if (marks[p] == '1' && w.label[p] != ' ') marks[p] = w.label[p];
  const char first = w.labelLength > 0 ? w.label[0] : '\0';
  const char base = (first >= 'A' && first <= 'Z') ? 'A' : first == '0' ? '0' : '1';
  int code = 0;
  for (int p = 0; p < w.markLength; ++p) {
    const int bit = marks[p] - base;
    if (bit >= 0 && bit < 7) code |= 1 << bit;
  }
  if (mode == 1 && code <= 31) return static_cast<std::uint8_t>(kTable1[code]);
  if (mode == 2 && code <= 15) return static_cast<std::uint8_t>(kTable2[code]);
  if (mode == 3 && code <= 15) return static_cast<std::uint8_t>(kTable3[code]);
  return 0;
}

// One question's character. `text` is the label text of the record (for a
// chain, of the closing record); positions beyond it take the option rule
// from the concatenated label string.
std::uint8_t Convert(char type, const CodingRecord& coding, const char* text, int textLength,
                     const Working& w) {
  unsigned mask = 0;
  int options = 0;
  for (int p = 0; p < w.markLength; ++p) {
    const char c = p < textLength ? text[p] : w.label[p];
    if (c == ' ') continue;
    if (options < 8 && w.marks[p] == '1') mask |= 1u << options;
    ++options;
  }
  int weight = 0;
  for (int i = 0; i < std::min(w.labelLength, 8); ++i) {
    const char c = w.label[i];
    if ((mask & (1u << i)) && (c == '1' || c == '2' || c == '4' || c == '8')) weight += c - '0';
  }
  const auto multiple = static_cast<std::uint8_t>(coding.multipleChar);
  switch (type) {
    case 'B':
      return weight < 10 ? static_cast<std::uint8_t>('0' + weight) : multiple;
    case 'b':
      return weight <= 15 ? static_cast<std::uint8_t>(kDigits[weight]) : 0;
    case 'M':
      if (options >= 8) return multiple;
      return coding.mode == 4 ? static_cast<std::uint8_t>(0x30 + mask) : TableCode(coding.mode, w);
    case 'm':
      return options < 8 ? static_cast<std::uint8_t>(0x30 + mask) : multiple;
    case 'S':
    case 's': {
      int ones = 0;
      int at = 0;
      for (int p = 0; p < w.markLength; ++p)
        if (w.marks[p] == '1') ++ones, at = p;
      if (ones == 0) return static_cast<std::uint8_t>(coding.emptyChar);
      if (ones == 1) return static_cast<std::uint8_t>(w.label[at]);
      return type == 'S' ? multiple : static_cast<std::uint8_t>('0');
    }
    default:
      return 0;
  }
}

}  // namespace

SheetLayout* IdentifyLayout(FormDefinition& forms, const DeviceFrame& frame, std::int32_t& error) {
  if (forms.CountDefinedLayouts() == 0) return nullptr;
  SheetLayout* face = forms.layouts[forms.currentFace];
  if (forms.CountLetteredLayouts() == 0) return &face[0];

  int candidates = 0;
  int matches = 0;
  SheetLayout* match = nullptr;
  for (int i = 0; i < kLayoutsPerFace; ++i) {
    SheetLayout& layout = face[i];
    if (layout.length.l1 != frame.lines) continue;
    ++candidates;
    if (frame.CellAt(layout.ident.line, layout.ident.column) > layout.grade.g2) {
      ++matches;
      match = &layout;
    }
  }
  if (candidates == 0) {
    error = kErrSyncMark;
    return nullptr;
  }
  if (matches == 1) return match;
  if (matches == 0) {
    SheetLayout* selected = forms.selected[forms.currentFace];
    if (selected != nullptr && selected->length.l1 == frame.lines) return selected;
  }
  error = kErrFormatMark;
  return nullptr;
}

bool CheckBars(const SheetLayout& layout, const DeviceFrame& frame) {
  const int g1 = layout.grade.g1;
  for (const BarRecord& bar : layout.bars.records) {
    if (!bar.used || bar.first > bar.last) continue;
    // Off-grid cells all read -1: test that once instead of walking a range
    // that may span the whole column number space.
    const bool lineOnGrid = bar.line >= 1 && bar.line <= frame.lines;
    const bool offGrid = !lineOnGrid || bar.first < 1 || bar.last > frame.columns;
    if (offGrid && -1 < g1) return false;
    if (!lineOnGrid) continue;
    const int last = std::min(bar.last, frame.columns);
    for (int c = std::max(bar.first, 1); c <= last; ++c)
      if (frame.CellAt(bar.line, c) < g1) return false;
  }
  return true;
}

bool EvaluateLayout(const SheetLayout& layout, const DeviceFrame& frame, std::uint8_t* out, int capacity,
                    int& count, const RecognitionObserver& observer) {
  const FieldRecord* fields = layout.fields.records;
  int lastUsed = -1;
  for (int i = 0; i < kFieldRecords; ++i)
    if (fields[i].used) lastUsed = i;
  if (lastUsed < 0) return false;

  const Averages averages = ComputeAverages(layout, frame);
  std::unique_ptr<Explain> explain(observer ? new Explain : nullptr);
  auto report = [&](int first, int last, int k, char type) {
    if (!explain) return;
    observer({count, first, last, k, type, out[count - 1], explain->cells, explain->count});
    explain->count = 0;
  };
  CellValues values;
  int chainMax = 0;  // carried from chain to chain within one evaluation
  for (int i = 0; i <= lastUsed && count < capacity; ++i) {
    const FieldRecord& r = fields[i];
    if (!r.used) continue;
    if (r.repeat != 0) {
      const char* text = layout.LabelText(r.labelId);
      const Geometry geometry(r, layout.LabelLength(r.labelId));
      const int n = geometry.n;
      for (int k = 0; k < r.repeat && count < capacity; ++k) {
        Working w;
        w.AppendLabel(text, n);
        geometry.Read(frame, k, values);
        const int max = MaxOver(values, n, 0);
        AppendMarks(w, r, geometry, k, values, text, layout.grade, 0, max, averages, explain.get());
        out[count++] = Convert(r.type, layout.coding, text, n, w);
        report(i, i, k, r.type);
      }
      continue;
    }
    // A chain: this record and the used records after it, up to and
    // including the first with a repeat count, or the last used record.
    Working w;
    const FieldRecord* closing = &r;
    int j = i;
    for (;; ++j) {
      const FieldRecord& member = fields[j];
      if (member.used) {
        const char* text = layout.LabelText(member.labelId);
        const Geometry geometry(member, layout.LabelLength(member.labelId));
        w.AppendLabel(text, geometry.n);
        geometry.Read(frame, 0, values);
        const int prior = chainMax;
        chainMax = MaxOver(values, geometry.n, chainMax);
        AppendMarks(w, member, geometry, 0, values, text, layout.grade, prior, chainMax, averages,
                    explain.get());
        closing = &member;
        if (member.repeat != 0) break;
      }
      if (j == lastUsed) break;
    }
    const int first = i;
    i = j;
    out[count++] = Convert(closing->type, layout.coding, layout.LabelText(closing->labelId),
                           layout.LabelLength(closing->labelId), w);
    report(first, j, 0, closing->type);
  }
  return true;
}

}  // namespace omr
