// Form lines one at a time through the store (StoreFormLine and AddLine),
// the parse operations with their canonical-line round trips, then the
// completion and summary of the layouts.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "form/form_line.h"
#include "form/form_loader.h"
#include "fuzz_support.h"

using namespace omr;

namespace {

bool Fits(std::int32_t v, std::int32_t max) {
  return v >= 0 && v <= max;
}

// Canonical lines read back to the values they were made from.
void RoundTrips(const char* line) {
  char out[kFormLineBufferSize];
  BarRecord bar;
  if (ParseM(line, bar) && Fits(bar.line, 999) && Fits(bar.first, 99) && Fits(bar.last, 99)) {
    FormatM(bar, out);
    BarRecord again;
    if (!ParseM(out, again) || again.line != bar.line || again.first != bar.first || again.last != bar.last)
      std::abort();
  }
  LengthRecord length;
  if (ParseL(line, length) && Fits(length.l1, 999) && Fits(length.l2, 99) && Fits(length.l3, 99)) {
    FormatL(length, out);
    LengthRecord again;
    if (!ParseL(out, again) || again.l1 != length.l1 || again.l2 != length.l2 || again.l3 != length.l3)
      std::abort();
  }
  GradeRecord grade;
  if (ParseG(line, grade) && Fits(grade.g1, 99) && Fits(grade.g2, 99) && Fits(grade.g3, 99) &&
      Fits(grade.g4, 99)) {
    FormatG(grade, out);
    GradeRecord again;
    if (!ParseG(out, again) || again.g1 != grade.g1 || again.g2 != grade.g2 || again.g3 != grade.g3 ||
        again.g4 != grade.g4)
      std::abort();
  }
  LabelRecord label;
  if (ParseD(line, label) && label.id <= 99) {
    FormatD(label, out);
    LabelRecord again;
    if (!ParseD(out, again) || again.id != label.id || std::strcmp(again.text, label.text) != 0) std::abort();
  }
  // The rest must merely survive any text.
  IdentRecord ident;
  ParseT(line, ident);
  FieldRecord field;
  ParseF(line, field);
  StarRecord star;
  ParseStar(line, star);
  CodingRecord coding;
  ParsePlus(line, coding);
  ParseH(line);
  ParseC(line);
  ParseE(line);
  char from = 0, to = 0;
  ParseX(line, from, to);
  ReaderSettings settings;
  ParseV(line, settings);
  ReadFormNumber(line, 2);
  ReadFormDecimal(line, 5);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Fresh<FormDefinition> forms;
  for (const std::string& text : fuzz::SplitLines(data, size)) {
    const char* line = text.c_str();
    StoreFormLine(*forms, line);
    // The router straight, as the file loader calls it, for lines that pass the envelope.
    if (text.size() <= static_cast<std::size_t>(kFormLineMax) && IsFormLine(line) && line[1] != 'V')
      forms->AddLine(line[1], kFaceA, line);
    RoundTrips(line);
    if (forms->errorCode > 0) forms->errorCode = 0;
  }
  forms->SelectLayout(kFaceA);
  forms->CompleteLayouts(kFaceA);
  forms->SummarizeLengths(kFaceA);
  forms->CountDefinedLayouts();
  forms->CountLetteredLayouts();
  return 0;
}
