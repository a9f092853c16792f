// Placeholder until form loading is built.
#include "form/form_loader.h"

namespace omr {

bool ReadFormFile(FormDefinition&, ReaderSettings&, const char*, int& error) {
  error = 21;
  return false;
}

}  // namespace omr
