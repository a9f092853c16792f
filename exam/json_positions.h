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
  // The first number no double can hold ("1e400"), with its value's pointer;
  // false when there is none.
  bool HugeNumber(std::string& pointer, std::string& number, TextPosition& at) const;
  // Where the value at `pointer` starts and ends (offsets: [begin, end));
  // false when there is no such value.
  bool Span(const std::string& pointer, std::size_t& begin, std::size_t& end) const;
  // Where the member name of `pointer` starts; false when there is none.
  bool KeyOffset(const std::string& pointer, std::size_t& at) const;

 private:
  std::string_view text_;
  std::map<std::string, std::size_t> values_;
  std::map<std::string, std::size_t> keys_;
  std::map<std::string, std::size_t> ends_;
  std::string failurePointer_;
  std::string hugePointer_;
  std::size_t hugeAt_ = std::string::npos;
  std::size_t hugeEnd_ = 0;
  friend class JsonScanner;
};

// "/a/b~1c" from its parts.
std::string PointerAppend(const std::string& pointer, std::string_view token);
std::string PointerAppend(const std::string& pointer, std::size_t index);

}  // namespace omr::exam
