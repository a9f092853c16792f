#include "vocabulary.h"

#include <nlohmann/json.hpp>

namespace omr::exam {

namespace {

using namespace reason;
using target::kId;
using target::kQuestion;
using target::kSheet;
using target::kVersion;

constexpr ReasonInfo kReasons[] = {
    {kNotRead, kSheet, false, "not read"},
    {kUnknownVersion, kVersion, false, "unknown version"},
    {kInvalidId, kId, false, "invalid student ID"},
    {kUnknownId, kId, true, "ID not in the roster"},
    {kDuplicateId, kId, true, "ID on another sheet"},
    {kDuplicateGrid, kSheet, true, "same grid as another sheet"},
    {kMultiple, kQuestion, false, "several marks"},
    {kBlank, kQuestion, false, "blank"},
    {kDoubtful, kQuestion, false, "doubtful"},
    // A part's sheet read with a wrong ID is settled on that sheet; kept, the
    // candidate counts without the part (its items blank).
    {kMissingPart, kSheet, true, "another part of this student not read"},
    {kDuplicatePart, kId, true, "the same part on another sheet of this ID"},
    {kUnknownPart, kQuestion, false, "unknown part"},
    {kMixedVersions, kVersion, false, "parts of different versions"},
};
static_assert(std::size(kReasons) <= 32, "a reason is a bit of a 32-bit mask");

}  // namespace

std::span<const ReasonInfo> Reasons() {
  return kReasons;
}

const ReasonInfo* FindReason(std::string_view code) {
  for (const ReasonInfo& r : kReasons)
    if (r.code == code) return &r;
  return nullptr;
}

unsigned ReasonBit(std::string_view code) {
  const ReasonInfo* r = FindReason(code);
  return r ? 1u << (r - kReasons) : 0u;
}

std::vector<std::string_view> DoubtNames(int bits) {
  std::vector<std::string_view> out;
  for (int bit = 1; bit > 0 && bit <= bits; bit <<= 1)
    if (bits & bit)
      if (const char* name = omro_doubt_name(bit)) out.emplace_back(name);
  return out;
}

bool IsRecognitionCode(int code) {
  return omro_recognition_code(code) != 0;
}

std::string NameProblem(const std::string& name) {
  if (name.empty() || name.size() > kMaxName) return "a name of 1 to " + std::to_string(kMaxName) + " bytes";
  if (name.find('\0') != std::string::npos) return "a NUL byte in the name";
  // A name stands on one line wherever it is shown: status, exports, the page.
  for (const char c : name)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
      return "a name cannot hold a line break, a tab or another control character";
  return {};
}

std::string VocabularyJson() {
  using Json = nlohmann::ordered_json;
  Json reasons = Json::array();
  for (const ReasonInfo& r : kReasons)
    reasons.push_back({{"code", r.code},
                       {"question", r.settledBy == kQuestion},
                       {"settled_by", r.settledBy},
                       {"keep", r.keep},
                       {"words", r.words}});
  Json doubts = Json::array();
  for (int bit = 1; const char* name = omro_doubt_name(bit); bit <<= 1)
    doubts.push_back({{"bit", bit}, {"name", name}});
  Json codes = Json::array();
  for (int code = 0; code < 64; ++code)
    if (IsRecognitionCode(code)) codes.push_back(code);
  Json j;
  j["reasons"] = reasons;
  j["targets"] = {{"id", kId}, {"version", kVersion}, {"sheet", kSheet}, {"void", kVoid}, {"keep", kKeep}};
  j["doubts"] = doubts;
  j["recognition_codes"] = codes;
  j["limits"] = {{"name", kMaxName},
                 {"reason", kMaxReason},
                 {"value", kMaxValue},
                 {"hold", {{"min", kMinHold}, {"max", kMaxHold}, {"default", kDefaultHold}}}};
  j["picture"] = {{"cell", kPictureCell}, {"margin", kPictureMargin}};
  return j.dump();
}

}  // namespace omr::exam
