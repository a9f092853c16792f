#include "derived_rows.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>

#include "error.h"
#include "vocabulary.h"

namespace omr::exam {

PackedResponses PackResponses(const std::vector<Response>& responses) {
  PackedResponses p;
  p.coded.reserve(responses.size());
  p.doubtful.reserve(responses.size());
  p.confidence.reserve(responses.size() * 8);
  for (std::size_t i = 0; i < responses.size(); ++i) {
    const Response& r = responses[i];
    if (r.question != static_cast<int>(i) + 1)
      throw StoreError("responses to store are questions 1, 2, ... in order; found question " +
                       std::to_string(r.question) + " at " + std::to_string(i + 1));
    if (r.doubtful < 0 || r.doubtful > 0xFF)
      throw StoreError("doubt bits " + std::to_string(r.doubtful) + " of question " +
                       std::to_string(r.question) + " do not fit a byte");
    if (i) p.marked += kLabelSeparator;
    p.marked += r.marked;
    p.coded += static_cast<char>(r.character);
    p.doubtful += static_cast<char>(r.doubtful);
    const auto bits = std::bit_cast<std::uint64_t>(r.confidence);
    for (int b = 0; b < 8; ++b) p.confidence += static_cast<char>(bits >> (8 * b) & 0xFF);
  }
  return p;
}

bool UnpackResponses(std::string_view marked, std::string_view coded, std::string_view doubtful,
                     std::string_view confidence, std::vector<Response>& out) {
  const std::size_t n = coded.size();
  out.clear();
  if (doubtful.size() != n || confidence.size() != 8 * n) return false;
  out.resize(n);
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    Response& r = out[i];
    r.question = static_cast<int>(i) + 1;
    std::size_t space = marked.find(kLabelSeparator, at);
    if ((space == std::string_view::npos) != (i + 1 == n)) return false;
    if (space == std::string_view::npos) space = marked.size();
    r.marked.assign(marked.substr(at, space - at));
    at = space + 1;
    r.character = static_cast<unsigned char>(coded[i]);
    r.doubtful = static_cast<unsigned char>(doubtful[i]);
    std::uint64_t bits = 0;
    for (int b = 0; b < 8; ++b)
      bits |= std::uint64_t{static_cast<unsigned char>(confidence[8 * i + b])} << (8 * b);
    r.confidence = std::bit_cast<double>(bits);
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
