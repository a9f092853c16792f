// Hand-filled layouts for the simulator tests.
#pragma once

#include <cstring>
#include <memory>

#include "form/form_definition.h"

namespace omr::sim::test {

inline void AddLabel(SheetLayout& layout, int id, const char* text) {
  for (LabelRecord& r : layout.labels.records) {
    if (r.used) continue;
    r.used = 1;
    r.id = static_cast<std::uint8_t>(id);
    std::strncpy(r.text, text, kLabelTextSize - 1);
    return;
  }
}

inline void AddField(SheetLayout& layout, int line, int column, char cellDirection, char type, int labelId,
                     int repeat, char groupDirection, int gap) {
  for (FieldRecord& f : layout.fields.records) {
    if (f.used) continue;
    f = FieldRecord{1,
                    static_cast<std::uint8_t>(line),
                    static_cast<std::uint8_t>(column),
                    cellDirection,
                    type,
                    static_cast<std::uint8_t>(labelId),
                    static_cast<std::uint8_t>(repeat),
                    groupDirection,
                    static_cast<std::uint8_t>(gap)};
    return;
  }
}

inline void AddBar(SheetLayout& layout, int line, int first, int last) {
  for (BarRecord& b : layout.bars.records) {
    if (b.used) continue;
    b = BarRecord{1, line, first, last};
    return;
  }
}

inline SheetLayout& StartLayout(FormDefinition& forms, int index, char letter, int lines, int identLine,
                                int identColumn) {
  SheetLayout& l = forms.layouts[kFaceA][index];
  l.defined = 1;
  l.ident = IdentRecord{letter, identLine, identColumn};
  l.length = LengthRecord{lines, 30, 24};
  return l;
}

// A small exam: ident (2, 47), bar on line 1, four S questions ABCD on lines
// 5..8, a B digit "8421" on line 10.
inline std::unique_ptr<FormDefinition> SmallExam() {
  auto forms = std::make_unique<FormDefinition>();
  SheetLayout& l = StartLayout(*forms, 0, 'A', 20, 2, 47);
  AddBar(l, 1, 1, 20);
  AddLabel(l, 1, "ABCD");
  AddLabel(l, 2, "8421");
  AddField(l, 5, 3, 'U', 'S', 1, 4, 'R', 0);
  AddField(l, 10, 3, 'U', 'B', 2, 1, 'R', 0);
  return forms;
}

}  // namespace omr::sim::test
