// Where each value of a JSON text (with comments) starts, by JSON pointer, so
// that an error found in the parsed document can name its line and column.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace omr::exam {

struct TextPosition {
  int line = 0;    // from 1
  int column = 0;  // from 1, in characters (UTF-8 sequences count as one)
};

class JsonPositions {
 public:
  // Scans the text; on a syntax error it stops there and keeps what it saw
  // (`FailurePointer` then names the innermost value being read).
  explicit JsonPositions(std::string_view text);

  // The value at `pointer`; when there is none, the closest enclosing value
  // that has one (the whole document at worst).
  TextPosition Value(const std::string& pointer) const;
  // The member name of `pointer` (an object member), else its value.
  TextPosition Key(const std::string& pointer) const;
  TextPosition At(std::size_t offset) const;
  const std::string& FailurePointer() const { return failurePointer_; }

 private:
  std::string_view text_;
  std::map<std::string, std::size_t> values_;
  std::map<std::string, std::size_t> keys_;
  std::string failurePointer_;
  friend class JsonScanner;
};

// "/a/b~1c" from its parts.
std::string PointerAppend(const std::string& pointer, std::string_view token);
std::string PointerAppend(const std::string& pointer, std::size_t index);

}  // namespace omr::exam
