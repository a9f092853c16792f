// Placeholder until form loading is built.
#include "form/form_loader.h"

namespace omr {

bool StoreFormLine(FormDefinition&, const char*) { return false; }
bool FinishForm(FormDefinition&, const ReaderSettings&, Link& link) {
  link.Fail();
  return false;
}
bool LoadFormFile(FormDefinition&, ReaderSettings&, Link& link, const char*) {
  link.Fail();
  return false;
}
bool DownloadForm(const FormDefinition&, const ReaderSettings&, Link& link) {
  link.Fail();
  return false;
}

}  // namespace omr
