// Placeholder until recognition is built.
#include "read/result.h"

namespace omr {

int GetResult(const ResultView& view, char*, int) {
  view.lastError = view.forms.errorCode;
  return -1;
}

}  // namespace omr
