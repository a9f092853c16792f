// The review page's files, compiled in from exam/review_assets/ (a build step
// generates their table), so the server fetches nothing at run time.
#pragma once

#include <string_view>
#include <vector>

namespace omr::exam {

struct ReviewAsset {
  std::string_view path;  // "/review.js"; the page itself is "/index.html"
  std::string_view type;  // its Content-Type
  std::string_view data;
};

const std::vector<ReviewAsset>& ReviewAssets();

}  // namespace omr::exam
