#include "derived_rows.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

#include "error.h"
#include "vocabulary.h"

namespace omr::exam {

PackedResponses PackResponses(const std::vector<Response>& responses) {
  PackedResponses p;
  const int last = responses.empty() ? 0 : responses.back().question;
  if (last > kMaxStoredQuestion)
    throw StoreError("responses to store end at question " + std::to_string(last) +
                     ", past the last a sheet can have (" + std::to_string(kMaxStoredQuestion) + ")");
  const auto n = static_cast<std::size_t>(std::max(last, 0));
  p.coded.reserve(n);
  p.doubtful.reserve(n);
  p.confidence.reserve(n * 8);
  auto entry = [&](const std::string& marked, unsigned char coded, unsigned char doubtful,
                   std::uint64_t confidence) {
    if (!p.coded.empty()) p.marked += kLabelSeparator;
    p.marked += marked;
    p.coded += static_cast<char>(coded);
    p.doubtful += static_cast<char>(doubtful);
    for (int b = 0; b < 8; ++b) p.confidence += static_cast<char>(confidence >> (8 * b) & 0xFF);
  };
  std::uint64_t absent = 0;
  for (int b = 0; b < 8; ++b) absent |= std::uint64_t{kAbsentConfidenceByte} << (8 * b);
  int previous = 0;
  for (const Response& r : responses) {
    if (r.question <= previous)
      throw StoreError("responses to store are in rising question order from 1; found question " +
                       std::to_string(r.question) + " after " +
                       (previous ? "question " + std::to_string(previous) : std::string("none")));
    if (r.doubtful < 0 || r.doubtful > 0xFF)
      throw StoreError("doubt bits " + std::to_string(r.doubtful) + " of question " +
                       std::to_string(r.question) + " do not fit a byte");
    if (std::isnan(r.confidence))
      throw StoreError("the confidence of question " + std::to_string(r.question) + " is not a number");
    for (int q = previous + 1; q < r.question; ++q) entry("", 0, 0, absent);
    entry(r.marked, r.character, static_cast<unsigned char>(r.doubtful),
          std::bit_cast<std::uint64_t>(r.confidence));
    previous = r.question;
  }
  return p;
}

bool UnpackResponses(std::string_view marked, std::string_view coded, std::string_view doubtful,
                     std::string_view confidence, std::vector<Response>& out) {
  const std::size_t n = coded.size();
  out.clear();
  if (doubtful.size() != n || confidence.size() != 8 * n) return false;
  out.reserve(n);
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    Response r;
    r.question = static_cast<int>(i) + 1;
    std::size_t space = marked.find(kLabelSeparator, at);
    if ((space == std::string_view::npos) != (i + 1 == n)) return false;
    if (space == std::string_view::npos) space = marked.size();
    r.marked.assign(marked.substr(at, space - at));
    at = space + 1;
    r.character = static_cast<unsigned char>(coded[i]);
    r.doubtful = static_cast<unsigned char>(doubtful[i]);
    std::uint64_t bits = 0;
    bool absent = true;
    for (int b = 0; b < 8; ++b) {
      const auto byte = static_cast<unsigned char>(confidence[8 * i + b]);
      bits |= std::uint64_t{byte} << (8 * b);
      absent = absent && byte == kAbsentConfidenceByte;
    }
    if (absent) {
      if (!r.marked.empty() || r.character || r.doubtful) return false;
      continue;
    }
    r.confidence = std::bit_cast<double>(bits);
    out.push_back(std::move(r));
  }
  return n > 0 || marked.empty();  // no questions: no labels either
}

std::string PackReasons(const std::vector<Reason>& reasons) {
  nlohmann::json list = nlohmann::json::array();
  for (const Reason& r : reasons) list.push_back({r.code, r.question, r.detail});
  return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool UnpackReasons(std::string_view text, std::vector<Reason>& out) {
  out.clear();
  const nlohmann::json list = nlohmann::json::parse(text, nullptr, false);
  if (!list.is_array()) return false;
  for (const nlohmann::json& r : list) {
    if (!r.is_array() || r.size() != 3 || !r[0].is_string() || !r[1].is_number_integer() || !r[2].is_string())
      return false;
    out.push_back({r[0].get<std::string>(), r[1].get<int>(), r[2].get<std::string>()});
  }
  return true;
}

unsigned ReasonMask(const std::vector<Reason>& reasons) {
  unsigned mask = 0;
  for (const Reason& r : reasons) {
    const unsigned bit = ReasonBit(r.code);
    if (!bit) throw StoreError("\"" + r.code + "\" is not a review reason");
    mask |= bit;
  }
  return mask;
}

}  // namespace omr::exam
