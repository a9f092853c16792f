// Form texts are GBK bytes; what the offline library says about them is UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace omr::offline {

// GBK to UTF-8; a byte that does not start a valid GBK character is written
// as \xHH.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace omr::offline
