#include "json.h"

#include <cstdio>

#include "text.h"

namespace omrctl {

std::string JsonQuote(std::string_view utf8) {
  std::string out = "\"";
  for (const char ch : utf8) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", c);
          out += escape;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

void Json::BeforeValue() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_ += ',';
    first_.back() = false;
  }
}

Json& Json::BeginObject() {
  BeforeValue();
  text_ += '{';
  first_.push_back(true);
  return *this;
}

Json& Json::EndObject() {
  text_ += '}';
  first_.pop_back();
  return *this;
}

Json& Json::BeginArray() {
  BeforeValue();
  text_ += '[';
  first_.push_back(true);
  return *this;
}

Json& Json::EndArray() {
  text_ += ']';
  first_.pop_back();
  return *this;
}

Json& Json::Key(std::string_view name) {
  BeforeValue();
  text_ += JsonQuote(name);
  text_ += ':';
  afterKey_ = true;
  return *this;
}

Json& Json::String(std::string_view utf8) {
  BeforeValue();
  text_ += JsonQuote(utf8);
  return *this;
}

Json& Json::Number(long long value) {
  BeforeValue();
  text_ += std::to_string(value);
  return *this;
}

Json& Json::Decimal(double value, int digits) {
  BeforeValue();
  text_ += FormatDecimal(value, digits);
  return *this;
}

Json& Json::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
  return *this;
}

Json& Json::Null() {
  BeforeValue();
  text_ += "null";
  return *this;
}

}  // namespace omrctl
