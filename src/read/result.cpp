#include "read/result.h"

#include <cstring>

#include "form/form_definition.h"
#include "read/recognition.h"

namespace omr {

namespace {

char FormLetter(const FormDefinition& forms, const SheetLayout* layout) {
  const auto raw = static_cast<unsigned char>(layout ? layout->ident.letter : 'A');
  const char letter = (raw < 'A' || raw >= 0x80) ? 'A' : static_cast<char>(raw);
  const int face = forms.currentFace;
  return (forms.xFrom[face] != 0 && letter == forms.xFrom[face]) ? forms.xTo[face] : letter;
}

}  // namespace

int GetResult(const ResultView& view, char* out, int mode) {
  if (out == nullptr) {
    view.lastError = kErrBadParameters;
    return -1;
  }
  std::memset(view.resultBuffer, 0, kResultBufferSize);
  const SheetLayout* layout = view.identifiedLayout;
  int count = 0;
  if (layout != nullptr && !EvaluateLayout(*layout, view.frame, view.resultBuffer, kResultBufferSize, count))
    view.forms.errorCode = layout->code;
  if (count <= 0) {
    view.lastError = view.forms.errorCode;
    return -1;
  }

  const char letter = FormLetter(view.forms, layout);
  const char status = static_cast<char>(view.lastError & 0xFF);
  int prefix = 0;
  if (mode == 1 || mode == 3) out[prefix++] = letter;
  if (mode == 2 || mode == 3) out[prefix++] = status;
  std::memcpy(out + prefix, view.resultBuffer, static_cast<std::size_t>(count));
  out[prefix + count] = '\0';
  return prefix + count;
}

}  // namespace omr
