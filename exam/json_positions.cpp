#include "json_positions.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>

namespace omr::exam {

std::string PointerAppend(const std::string& pointer, std::string_view token) {
  std::string out = pointer + "/";
  for (const char c : token) {
    if (c == '~')
      out += "~0";
    else if (c == '/')
      out += "~1";
    else
      out += c;
  }
  return out;
}

std::string PointerAppend(const std::string& pointer, std::size_t index) {
  return pointer + "/" + std::to_string(index);
}

// A recursive-descent walk that records offsets and nothing else; nesting is
// bounded so a hostile file cannot exhaust the stack.
class JsonScanner {
 public:
  JsonScanner(JsonPositions& out, std::string_view text) : out_(out), text_(text) {}

  void Run() {
    if (!Value("", 0)) return;
    Skip();
    if (at_ < text_.size()) out_.failurePointer_ = "";
  }

 private:
  static constexpr int kMaxDepth = 256;

  void Skip() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++at_;
      } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '/') {
        while (at_ < text_.size() && text_[at_] != '\n') ++at_;
      } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '*') {
        const std::size_t end = text_.find("*/", at_ + 2);
        at_ = end == std::string_view::npos ? text_.size() : end + 2;
      } else {
        break;
      }
    }
  }

  bool Fail(const std::string& pointer) {
    out_.failurePointer_ = pointer;
    return false;
  }

  bool String(std::string* decoded) {
    if (at_ >= text_.size() || text_[at_] != '"') return false;
    ++at_;
    while (at_ < text_.size() && text_[at_] != '"') {
      if (text_[at_] == '\\') {
        if (++at_ >= text_.size()) return false;
        // Member names are compared as written; escapes in names are rare
        // enough that a \uXXXX is kept as its six characters.
        const char e = text_[at_];
        if (decoded) {
          const char* plain = "\"\\/bfnrt";
          const char* mapped = "\"\\/\b\f\n\r\t";
          const char* hit = std::char_traits<char>::find(plain, 8, e);
          if (hit)
            *decoded += mapped[hit - plain];
          else
            *decoded += std::string("\\") + e;
        }
      } else if (decoded) {
        *decoded += text_[at_];
      }
      ++at_;
    }
    if (at_ >= text_.size()) return false;
    ++at_;
    return true;
  }

  bool Value(const std::string& pointer, int depth) {
    if (!Element(pointer, depth)) return false;
    out_.ends_.emplace(pointer, at_);
    return true;
  }

  // A number a double cannot hold: the parser refuses it without saying where.
  void Number(const std::string& pointer, std::size_t start) {
    if (out_.hugeAt_ != std::string::npos) return;
    const std::string token(text_.substr(start, at_ - start));
    const char c = token.empty() ? 0 : token[0];
    if (!(c == '-' || (c >= '0' && c <= '9'))) return;
    if (std::isfinite(std::strtod(token.c_str(), nullptr))) return;
    out_.hugePointer_ = pointer;
    out_.hugeAt_ = start;
    out_.hugeEnd_ = at_;
  }

  bool Element(const std::string& pointer, int depth) {
    Skip();
    if (at_ >= text_.size()) return Fail(pointer);
    out_.values_.emplace(pointer, at_);
    const char c = text_[at_];
    if (c == '{') {
      if (depth >= kMaxDepth) return Fail(pointer);
      ++at_;
      Skip();
      if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
      for (;;) {
        Skip();
        const std::size_t keyAt = at_;
        std::string name;
        if (!String(&name)) return Fail(pointer);
        const std::string member = PointerAppend(pointer, name);
        out_.keys_.emplace(member, keyAt);
        Skip();
        if (at_ >= text_.size() || text_[at_] != ':') return Fail(member);
        ++at_;
        if (!Value(member, depth + 1)) return false;
        Skip();
        if (at_ < text_.size() && text_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < text_.size() && text_[at_] == '}') return ++at_, true;
        return Fail(member);
      }
    }
    if (c == '[') {
      if (depth >= kMaxDepth) return Fail(pointer);
      ++at_;
      Skip();
      if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
      for (std::size_t index = 0;; ++index) {
        const std::string element = PointerAppend(pointer, index);
        if (!Value(element, depth + 1)) return false;
        Skip();
        if (at_ < text_.size() && text_[at_] == ',') {
          ++at_;
          continue;
        }
        if (at_ < text_.size() && text_[at_] == ']') return ++at_, true;
        return Fail(element);
      }
    }
    if (c == '"') return String(nullptr) || Fail(pointer);
    // Numbers and literals: whatever runs up to a delimiter.
    const std::size_t start = at_;
    while (at_ < text_.size()) {
      const char d = text_[at_];
      if (d == ',' || d == '}' || d == ']' || d == ' ' || d == '\t' || d == '\n' || d == '\r' || d == '/')
        break;
      ++at_;
    }
    if (at_ == start) return Fail(pointer);
    Number(pointer, start);
    return true;
  }

  JsonPositions& out_;
  std::string_view text_;
  std::size_t at_ = 0;
};

JsonPositions::JsonPositions(std::string_view text) : text_(text) {
  JsonScanner(*this, text).Run();
}

TextPosition JsonPositions::At(std::size_t offset) const {
  TextPosition p{1, 1};
  if (offset > text_.size()) offset = text_.size();
  for (std::size_t i = 0; i < offset; ++i) {
    const auto c = static_cast<unsigned char>(text_[i]);
    if (c == '\n') {
      ++p.line;
      p.column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++p.column;
    }
  }
  return p;
}

bool JsonPositions::HugeNumber(std::string& pointer, std::string& number, TextPosition& at) const {
  if (hugeAt_ == std::string::npos) return false;
  pointer = hugePointer_;
  number = std::string(text_.substr(hugeAt_, std::min<std::size_t>(hugeEnd_ - hugeAt_, 40)));
  if (hugeEnd_ - hugeAt_ > 40) number += "...";
  at = At(hugeAt_);
  return true;
}

bool JsonPositions::Span(const std::string& pointer, std::size_t& begin, std::size_t& end) const {
  const auto b = values_.find(pointer);
  const auto e = ends_.find(pointer);
  if (b == values_.end() || e == ends_.end()) return false;
  begin = b->second;
  end = e->second;
  return true;
}

bool JsonPositions::KeyOffset(const std::string& pointer, std::size_t& at) const {
  const auto hit = keys_.find(pointer);
  if (hit == keys_.end()) return false;
  at = hit->second;
  return true;
}

TextPosition JsonPositions::Value(const std::string& pointer) const {
  std::string p = pointer;
  for (;;) {
    const auto hit = values_.find(p);
    if (hit != values_.end()) return At(hit->second);
    const std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) return At(0);
    p.resize(slash);
  }
}

TextPosition JsonPositions::Key(const std::string& pointer) const {
  const auto hit = keys_.find(pointer);
  return hit != keys_.end() ? At(hit->second) : Value(pointer);
}

}  // namespace omr::exam
