// A small JSON writer: objects and arrays written in order, strings escaped,
// numbers without the locale.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace omrctl {

class Json {
 public:
  Json& BeginObject();
  Json& EndObject();
  Json& BeginArray();
  Json& EndArray();
  // A member name inside an object; the next value belongs to it.
  Json& Key(std::string_view name);
  Json& String(std::string_view utf8);
  Json& Number(long long value);
  Json& Decimal(double value, int digits);
  Json& Bool(bool value);
  Json& Null();

  // Shorthands for a member and its value.
  Json& Member(std::string_view name, std::string_view utf8) { return Key(name).String(utf8); }
  Json& Member(std::string_view name, const char* utf8) { return Key(name).String(utf8); }
  Json& Member(std::string_view name, long long value) { return Key(name).Number(value); }
  Json& Member(std::string_view name, int value) { return Key(name).Number(value); }
  Json& Member(std::string_view name, bool value) { return Key(name).Bool(value); }

  const std::string& Text() const { return text_; }

 private:
  void BeforeValue();
  std::string text_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

// The text as a JSON string literal, quotes included. Bytes of 0x80 and more
// are taken as UTF-8 and kept; control characters are escaped.
std::string JsonQuote(std::string_view utf8);

}  // namespace omrctl
