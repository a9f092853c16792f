#include "form/form_definition.h"

#include <cstring>

namespace omr {

void SheetLayout::Reset() {
  const GradeRecord keptGrade = grade;
  const CodingRecord keptCoding = coding;
  *this = SheetLayout{};
  grade = keptGrade;
  coding = keptCoding;
}

const LabelRecord* SheetLayout::FindLabel(std::uint8_t id) const {
  for (const LabelRecord& r : labels.records)
    if (r.used && r.id == id) return &r;
  return nullptr;
}

const char* SheetLayout::LabelText(std::uint8_t id) const {
  const LabelRecord* r = FindLabel(id);
  return r ? r->text : "";
}

int SheetLayout::LabelLength(std::uint8_t id) const {
  const LabelRecord* r = FindLabel(id);
  return r ? static_cast<int>(strnlen(r->text, kLabelTextSize - 1)) : 0;
}

FormDefinition::FormDefinition() { ResetForms(); }

void FormDefinition::ResetParameterBlock() {
  static constexpr std::uint8_t kReset[kFormParameterBlockSize] = {
      0xFA, 0x21, 0x19, 0x00,                    // command, code, payload length 25
      0x5B, 0x42, 0x5D,                          // [B]
      0x5B, 0x4C, 0x00, 0x00, 0x00, 0x5D,        // [L summary]
      0x5B, 0x2A, 0x00, 0x00, 0x00, 0x00, 0x5D,  // [* star values]
      0x5B, 0x48, 0xFF, 0xFF, 0x5D,              // [H value]
      0x5B, 0x43, 0xFF, 0x5D};                   // [C value]
  std::memcpy(parameterBlock, kReset, sizeof kReset);
}

void FormDefinition::ResetForms() {
  for (auto& face : layouts)
    for (SheetLayout& layout : face) layout.Reset();
  for (int f = 0; f < kFaces; ++f) {
    eLetter[f] = 0;
    xFrom[f] = 0;
    xTo[f] = 0;
    selected[f] = nullptr;
  }
  recognised = nullptr;
  currentFace = kFaceA;
  currentIndex = 0;
  errorCode = 0;
  ResetParameterBlock();
}

int FormDefinition::CountDefinedLayouts() {
  int n = 0;
  for (const SheetLayout& layout : layouts[currentFace]) n += layout.defined ? 1 : 0;
  if (n == 0) errorCode = kErrNoFormat;
  return n;
}

int FormDefinition::CountLetteredLayouts() const {
  int n = 0;
  for (const SheetLayout& layout : layouts[currentFace]) n += layout.ident.letter != ' ' ? 1 : 0;
  return n;
}

}  // namespace omr
