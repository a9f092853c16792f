// Routing form lines into the store, choosing the selected layout, layout
// completion and the length summary.
#include <cmath>
#include <cstring>
#include <limits>

#include "form/form_definition.h"
#include "form/form_line.h"

namespace omr {

namespace {

// Store operations shared by the handlers and by layout completion. Each
// answers 0 when the line was stored, else the code of the rejection, and
// marks the layout defined only when the line was stored.

std::int32_t StoreGrade(SheetLayout& layout, const char* line) {
  if (!ParseG(line, layout.grade)) return kErrBadParameters;
  layout.defined = 1;
  return 0;
}

std::int32_t StoreLength(SheetLayout& layout, const char* line) {
  if (!ParseL(line, layout.length)) return kErrBadParameters;
  layout.defined = 1;
  return 0;
}

template <typename Record, int N>
Record* FirstFree(RecordTable<Record, N>& table) {
  for (Record& r : table.records)
    if (!r.used) return &r;
  return nullptr;
}

std::int32_t InsertBar(SheetLayout& layout, const char* line) {
  BarRecord bar;
  BarRecord* slot = FirstFree(layout.bars);
  if (!ParseM(line, bar) || slot == nullptr) return layout.bars.code = kErrMOverflow;
  *slot = bar;
  slot->used = 1;
  layout.defined = 1;
  return 0;
}

std::int32_t InsertField(SheetLayout& layout, const char* line) {
  FieldRecord field;
  FieldRecord* slot = FirstFree(layout.fields);
  if (!ParseF(line, field) || slot == nullptr) return layout.fields.code = kErrFOverflow;
  *slot = field;
  slot->used = 1;
  layout.defined = 1;
  return 0;
}

std::int32_t InsertLabel(SheetLayout& layout, const char* line) {
  LabelRecord label;
  if (!ParseD(line, label)) return layout.labels.code = kErrBadParameters;
  for (LabelRecord& r : layout.labels.records) {
    if (r.used && r.id == label.id) return layout.labels.code = kErrRedefinedD;
    if (!r.used) {
      r = label;
      r.used = 1;
      layout.defined = 1;
      return 0;
    }
  }
  return layout.labels.code = kErrDOverflow;
}

// Byte 16 and 17 carry the second "*" value times 10000; a product beyond
// 32 bits saturates so the conversion stays defined.
std::int32_t ScaledStarValue(double second) {
  const double scaled = std::trunc(second * 10000.0);
  if (std::isnan(scaled)) return 0;
  if (scaled >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
    return std::numeric_limits<std::int32_t>::max();
  if (scaled <= static_cast<double>(std::numeric_limits<std::int32_t>::min()))
    return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(scaled);
}

}  // namespace

bool FormDefinition::Reject(std::int32_t code) {
  CurrentLayout().code = code;
  errorCode = code;
  return false;
}

void FormDefinition::RejectLine(std::int32_t code) {
  Reject(code);
}

bool FormDefinition::AddLine(char letter, int face, const char* line) {
  if (line == nullptr || face < kFaceA || face > kFaceB) return Reject(kErrBadParameters);
  if (strnlen(line, kFormLineMax + 1) > static_cast<std::size_t>(kFormLineMax))
    return Reject(kErrBadParameters);
  switch (letter) {
    case 'T':
      return AddT(face, line);
    case 'G':
      return AddG(line);
    case 'L':
      return AddL(line);
    case 'M':
      return AddM(line);
    case 'D':
      return AddD(line);
    case 'F':
      return AddF(line);
    case '*':
      return AddStar(line);
    case '+':
      return AddPlus(face, line);
    case 'H':
      return AddH(line);
    case 'C':
      return AddC(line);
    case 'E':
      return AddE(face, line);
    case 'X':
      return AddX(face, line);
    default:  // V lines and non-commands are not routed here
      return false;
  }
}

bool FormDefinition::AddT(int face, const char* line) {
  int q = currentIndex;
  const SheetLayout& current = layouts[kFaceA][q];
  if (current.defined && current.ident.letter != ' ') {
    if (q == kLayoutsPerFace - 1) return Reject(face == kFaceB ? kErrHeadBOverflow : kErrHeadAOverflow);
    currentIndex = ++q;
  }
  SheetLayout& layout = layouts[kFaceA][q];
  if (!ParseT(line, layout.ident)) {
    // A blank letter marks only the layout; the load goes on.
    layout.code = kErrBadParameters;
    return false;
  }
  layout.defined = 1;
  return true;
}

bool FormDefinition::AddG(const char* line) {
  const std::int32_t code = StoreGrade(CurrentLayout(), line);
  return code == 0 || Reject(code);
}

bool FormDefinition::AddL(const char* line) {
  const std::int32_t code = StoreLength(CurrentLayout(), line);
  return code == 0 || Reject(code);
}

bool FormDefinition::AddM(const char* line) {
  const std::int32_t code = InsertBar(CurrentLayout(), line);
  return code == 0 || Reject(code);
}

bool FormDefinition::AddD(const char* line) {
  const std::int32_t code = InsertLabel(CurrentLayout(), line);
  return code == 0 || Reject(code);
}

bool FormDefinition::AddF(const char* line) {
  const std::int32_t code = InsertField(CurrentLayout(), line);
  return code == 0 || Reject(code);
}

void FormDefinition::WriteStarBytes(const StarRecord& star) {
  const std::int32_t v = ScaledStarValue(star.second);
  parameterBlock[15] = static_cast<std::uint8_t>(star.first);
  parameterBlock[16] = static_cast<std::uint8_t>(v);
  parameterBlock[17] = static_cast<std::uint8_t>(v / 256);
  parameterBlock[18] = static_cast<std::uint8_t>(star.third);
}

bool FormDefinition::AddStar(const char* line) {
  SheetLayout& layout = CurrentLayout();
  if (!ParseStar(line, layout.star)) return Reject(kErrBadParameters);
  layout.defined = 1;
  WriteStarBytes(layout.star);
  return true;
}

bool FormDefinition::AddPlus(int face, const char* line) {
  // Before the first T line a "+" line holds for every layout of the face.
  if (layouts[kFaceA][0].ident.letter == ' ') {
    for (SheetLayout& layout : layouts[face]) {
      ParsePlus(line, layout.coding);
      layout.defined = 1;
    }
  }
  SheetLayout& layout = CurrentLayout();
  ParsePlus(line, layout.coding);
  layout.defined = 1;
  return true;
}

bool FormDefinition::AddH(const char* line) {
  SheetLayout& layout = CurrentLayout();
  layout.hValue = ParseH(line);
  layout.defined = 1;
  parameterBlock[22] = static_cast<std::uint8_t>(layout.hValue & 0xFF);
  parameterBlock[23] = static_cast<std::uint8_t>(layout.hValue >> 8);
  return true;
}

bool FormDefinition::AddC(const char* line) {
  SheetLayout& layout = CurrentLayout();
  layout.cValue = ParseC(line);
  layout.defined = 1;
  parameterBlock[27] = layout.cValue;
  return true;
}

bool FormDefinition::AddE(int face, const char* line) {
  eLetter[face] = ParseE(line);
  return true;
}

bool FormDefinition::AddX(int face, const char* line) {
  char from = 0;
  char to = 0;
  if (!ParseX(line, from, to)) return Reject(kErrBadParameters);
  xFrom[face] = from;
  xTo[face] = to;
  return true;
}

void FormDefinition::SelectLayout(int face) {
  if (face < kFaceA || face > kFaceB) return;
  if (eLetter[face] != 0) {
    for (SheetLayout& layout : layouts[face]) {
      if (layout.ident.letter == eLetter[face]) {
        selected[face] = &layout;
        return;
      }
    }
  }
  selected[face] = CountDefinedLayouts() > 0 ? &layouts[face][0] : nullptr;
}

void FormDefinition::CompleteLayouts(int face) {
  if (face < kFaceA || face > kFaceB) return;
  SheetLayout(&faceLayouts)[kLayoutsPerFace] = layouts[face];
  char line[kFormLineBufferSize];

  if (faceLayouts[0].ident.letter == ' ') {
    FormatT(0, 0, line);
    if (ParseT(line, faceLayouts[0].ident)) faceLayouts[0].defined = 1;
  }
  // Each pass stops at the first layout that is not defined; a rejected copy
  // marks only the receiving layout.
  for (int i = 1; i < kLayoutsPerFace && faceLayouts[i].defined; ++i) {
    SheetLayout& to = faceLayouts[i];
    if (to.labels.records[0].text[0] != '\0') continue;
    for (const LabelRecord& r : faceLayouts[i - 1].labels.records) {
      if (r.text[0] == '\0') break;
      FormatD(r, line);
      if (const std::int32_t code = InsertLabel(to, line)) to.code = code;
    }
  }
  for (int i = 1; i < kLayoutsPerFace && faceLayouts[i].defined; ++i) {
    SheetLayout& to = faceLayouts[i];
    if (to.grade.g1 > 0) continue;
    FormatG(faceLayouts[i - 1].grade, line);
    if (const std::int32_t code = StoreGrade(to, line)) to.code = code;
  }
  for (int i = 1; i < kLayoutsPerFace && faceLayouts[i].defined; ++i) {
    SheetLayout& to = faceLayouts[i];
    if (to.length.l1 > 0) continue;
    FormatL(faceLayouts[i - 1].length, line);
    if (const std::int32_t code = StoreLength(to, line)) to.code = code;
  }
  for (int i = 1; i < kLayoutsPerFace && faceLayouts[i].defined; ++i) {
    SheetLayout& to = faceLayouts[i];
    if (to.bars.records[0].line > 0) continue;
    for (const BarRecord& r : faceLayouts[i - 1].bars.records) {
      if (r.line <= 0) break;
      FormatM(r, line);
      if (const std::int32_t code = InsertBar(to, line)) to.code = code;
    }
  }
}

bool FormDefinition::SummarizeLengths(int face) {
  if (face < kFaceA || face > kFaceB) return false;
  int n = 0;
  // 64 bits: the mean of two 32-bit values must not overflow.
  std::int64_t maxL1 = 0;
  std::int64_t maxL2 = 0;
  std::int64_t maxL3 = 0;
  std::int64_t minL3 = 256;
  for (const SheetLayout& layout : layouts[face]) {
    if (!layout.defined) continue;
    ++n;
    if (layout.length.l1 > maxL1) maxL1 = layout.length.l1;
    if (layout.length.l2 > maxL2) maxL2 = layout.length.l2;
    if (layout.length.l3 > maxL3) maxL3 = layout.length.l3;
    if (layout.length.l3 < minL3) minL3 = layout.length.l3;
  }
  std::int64_t third = maxL3;
  if (n == 0) {
    errorCode = kErrNoFormat;
    maxL1 = 74;
    maxL2 = 30;
    third = 24;
  } else {
    errorCode = 0;
    if (n >= 2) third = (minL3 + maxL3) / 2;
  }
  parameterBlock[9] = static_cast<std::uint8_t>(maxL1);
  parameterBlock[10] = static_cast<std::uint8_t>(maxL2);
  parameterBlock[11] = static_cast<std::uint8_t>(third);
  return errorCode == 0;
}

}  // namespace omr
