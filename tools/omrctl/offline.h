// The offline library's handles, owned, and its last message as a string.
#pragma once

#include <memory>
#include <string>

#include "omr_offline.h"

namespace omrctl {

struct FormFree {
  void operator()(omro_form* form) const { omro_form_free(form); }
};
struct SheetFree {
  void operator()(omro_sheet* sheet) const { omro_sheet_free(sheet); }
};
using Form = std::unique_ptr<omro_form, FormFree>;
using Sheet = std::unique_ptr<omro_sheet, SheetFree>;

// Why the calling thread's last offline call failed.
std::string OfflineMessage();

// The names of the doubt bits set in `bits` (omro_doubt_name), joined by `separator`.
std::string DoubtNames(int bits, const char* separator);

}  // namespace omrctl
