// The words and numbers the exam layer, its pages and Python share: why a
// sheet waits for a person and which correction settles it, the doubt bits,
// the recognition's verdicts, the limits on what people type, the sheet
// picture's geometry. Spelled here (and, for what the recognition decides,
// in omr_offline.h) and nowhere else: the review page receives them as one
// JSON document (VocabularyJson, served at /api/vocabulary) and Python reads
// a copy generated from it (bindings/python/omr/_vocabulary.py, checked by a
// test).
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "omr_offline.h"

namespace omr::exam {

// Review reasons: stable codes that stores, exports and the pages use.
namespace reason {
inline constexpr char kNotRead[] = "not-read";  // the reader or the recognition gave an error
inline constexpr char kUnknownVersion[] = "unknown-version";
inline constexpr char kInvalidId[] = "invalid-id";
inline constexpr char kUnknownId[] = "unknown-id";  // not in the roster
inline constexpr char kDuplicateId[] = "duplicate-id";
inline constexpr char kDuplicateGrid[] = "duplicate-grid";
inline constexpr char kMultiple[] = "multiple";  // of a question
inline constexpr char kBlank[] = "blank";
inline constexpr char kDoubtful[] = "doubtful";
// An exam in parts (several sheets a candidate):
inline constexpr char kMissingPart[] = "missing-part";      // no sheet of another part has the ID
inline constexpr char kDuplicatePart[] = "duplicate-part";  // another sheet has the ID and the part
inline constexpr char kUnknownPart[] = "unknown-part";      // the part question names no part
inline constexpr char kMixedVersions[] = "mixed-versions";  // the ID's other parts are of another version
}  // namespace reason

// What a correction targets besides a question (whose target is its number).
namespace target {
inline constexpr char kId[] = "id";
inline constexpr char kVersion[] = "version";
inline constexpr char kSheet[] = "sheet";
inline constexpr char kQuestion[] = "question";  // in ReasonInfo::settledBy: the reason's question
}  // namespace target

// The values of a correction of target::kSheet.
inline constexpr char kVoid[] = "void";  // not counted
inline constexpr char kKeep[] = "keep";  // its duplicates and unknown ID accepted

struct ReasonInfo {
  std::string_view code;
  std::string_view settledBy;  // the correction target that settles it (target::)
  bool keep;                   // a correction of the sheet to kKeep settles it too
  std::string_view words;      // how a person is told it (English)
};

// Every reason, sheet reasons first; a reason's index is its bit in a
// sheet's stored reason mask (new codes go at the end).
std::span<const ReasonInfo> Reasons();
// Null for a code that is not a reason.
const ReasonInfo* FindReason(std::string_view code);
// 1 << index; 0 for a code that is not a reason.
unsigned ReasonBit(std::string_view code);

// The names of the doubt bits set in `bits` (omro_doubt_name), lowest first.
std::vector<std::string_view> DoubtNames(int bits);

// Recognition: whether a read's code is the recognition's verdict on a grid
// that arrived (which a re-scan decides again), not the reader's own.
bool IsRecognitionCode(int code);

// Limits on what people type (the command line, the page, the API).
inline constexpr std::size_t kMaxName = 200;     // a corrector's or reviewer's name, bytes
inline constexpr std::size_t kMaxReason = 2000;  // the reason of a correction, bytes
inline constexpr std::size_t kMaxValue = 256;    // the value of a correction, bytes
// How long a reviewer's claim on a sheet lasts unless renewed, in seconds.
inline constexpr int kMinHold = 1;
inline constexpr int kMaxHold = 3600;
inline constexpr int kDefaultHold = 300;

// The sheet picture: square cells of kPictureCell pixels, a margin of
// kPictureMargin on the left, rows in sending order (line 1 at the bottom).
inline constexpr int kPictureCell = OMRO_PICTURE_CELL;
inline constexpr int kPictureMargin = OMRO_PICTURE_MARGIN;

// "" when `name` may stand as a corrector's or reviewer's name; else why not.
std::string NameProblem(const std::string& name);

// Everything above as one JSON object (what the page reads at start).
std::string VocabularyJson();

}  // namespace omr::exam
