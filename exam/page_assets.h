// The pages' files (the office and the review page), compiled in from
// exam/pages/ (a build step generates their table), so the server fetches
// nothing at run time.
#pragma once

#include <string_view>
#include <vector>

namespace omr::exam {

struct PageAsset {
  std::string_view path;  // "/review.js", "/office/exams.js"
  std::string_view type;  // its Content-Type
  std::string_view data;
};

const std::vector<PageAsset>& PageAssets();

}  // namespace omr::exam
