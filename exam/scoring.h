// Scoring: a pure function of the exam, one sheet's responses and the
// corrections made to it. Nothing here touches a store or a reader, so
// re-scoring is cheap and tests can check every rule directly.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "exam_file.h"
#include "roster.h"

namespace omr::exam {

// One question as the recognition read it.
struct Response {
  int question = 0;             // from 1, as omrctl numbers them
  std::string marked;           // labels of the marked options, in cell order
  unsigned char character = 0;  // the coded character
  double confidence = 1;        // 0 (undecidable) .. 1 (clear)
  int doubtful = 0;             // the recognition's doubt bits; 0 when clear
};

// A correction as scoring sees it: its target ("12" for question 12, "id",
// "version" or "sheet") and its value; no value withdraws the earlier ones.
struct Override {
  std::string target;
  std::optional<std::string> value;
};

struct SheetFacts {
  int number = 0;
  int code = 0;                     // 0 read; else the library's error (not read)
  char letter = 0;                  // the form letter of the result, 0 when none
  std::vector<Response> responses;  // responses[q - 1] is question q
};

// kAbsent: an item of another part, not on this sheet of an exam in parts.
enum class Outcome { kCorrect, kWrong, kBlank, kMultiple, kPartial, kVoid, kBonus, kAbsent };

struct ItemScore {
  int master = 0;        // master item number, from 1
  int question = 0;      // the question it was on this sheet's version
  int sheet = 0;         // the sheet it was read from; 0: none (absent, or its part was not read)
  std::string response;  // the marked options (after corrections)
  bool corrected = false;
  Outcome outcome = Outcome::kBlank;
  double points = 0;
  double maximum = 0;  // 0 for a void item
};

// Why a sheet needs a person. Codes are stable: stores, exports and the
// review page use them.
struct Reason {
  std::string code;  // one of the reasons of vocabulary.h
  int question = 0;  // for the question reasons
  std::string detail;
  int item = 0;   // the master item on that question (0: not an item, or not known)
  int sheet = 0;  // in a candidate's reasons (CombineSheets): the sheet it is on
};

enum class IdState { kNone, kValid, kInvalid };
// "none", "valid", "invalid": as stored and served.
const char* IdStateName(IdState s);

struct SheetScore {
  int number = 0;
  bool voided = false;  // taken out by a correction ("sheet" = "void")
  bool kept = false;    // duplicates and unknown IDs accepted by a person ("sheet" = "keep")
  bool scored = false;  // read, not void, and of a known version
  IdState idState = IdState::kNone;
  std::string studentId;
  std::string version;           // the key it was scored with
  std::vector<ItemScore> items;  // per master item, when scored
  double total = 0;
  double maximum = 0;
  std::optional<double> percent;
  std::vector<Reason> reasons;
  double confidence = 1;  // the least of the questions read from the sheet (not corrected); 0: not read
  // Of an exam in parts: the part this sheet is ("" when it cannot be told,
  // and for a candidate). Its score is its own items' (the others kAbsent),
  // without the floor, which applies to the candidate's total.
  std::string part;
  // A candidate's (CombineSheets): its sheets that are not void, in number
  // order; whether a part is on several of them (the latest scored counts);
  // the parts none of them is.
  std::vector<int> sheets;
  bool doubled = false;
  std::vector<std::string> missing;
};

// The value each target has after these corrections (the latest counts; a
// withdrawal removes the target: the reading counts).
std::map<std::string, std::string> LatestCorrections(const std::vector<Override>& corrections);

SheetScore ScoreSheet(const Exam& exam, const SheetFacts& sheet, const std::vector<Override>& corrections);

// Reasons that depend on other sheets: IDs not in the roster (when there is
// one), IDs and grids on more than one sheet. `hashes[i]` is the grid hash of
// sheets[i] ("" when it has no grid). Without the exam: an exam of one sheet.
void ReviewAcross(std::vector<SheetScore>& sheets, const Roster* roster,
                  const std::vector<std::string>& hashes);
// In an exam in parts a student's sheets are expected: a part on two of them,
// a part on none and parts of different versions are the reasons instead.
void ReviewAcross(const Exam& exam, std::vector<SheetScore>& sheets, const Roster* roster,
                  const std::vector<std::string>& hashes);

// Another sheet (not void) with a sheet's student ID, as the reasons across
// sheets see it.
struct Peer {
  int number = 0;
  std::string part;  // "" in an exam of one sheet
  std::string version;
  bool scored = false;
};

// The same for one sheet, given the other (not void) sheets with its student
// ID and the numbers of those with its grid.
void AddAcrossReasons(const Exam& exam, SheetScore& sheet, const Roster* roster,
                      const std::vector<Peer>& sameId, const std::vector<int>& sameGrid);
// An exam of one sheet: the numbers of the sheets with its ID.
void AddAcrossReasons(SheetScore& sheet, const Roster* roster, const std::vector<int>& sameId,
                      const std::vector<int>& sameGrid);

// The candidates of an exam: what results, exports, reports, statistics and
// integrity count. For an exam of one sheet they are the sheets as they are.
// In parts: one per valid student ID of the sheets whose part is known and
// that are not void, numbered by its first sheet, in that order, its items in
// master order each from the sheet of its part that counts (the latest scored
// one). It is scored when each part has a scored sheet (a part none of its
// sheets is counts as blank once one of them is kept) and they are of one
// version; its total is the sum of the parts' points, then the floor; its
// reasons are its sheets', each naming its sheet.
std::vector<SheetScore> CombineSheets(const Exam& exam, std::vector<SheetScore> sheets);

// Many sheets' responses, one byte a question: bit k is set when the k-th
// option of the question (in cell order) is marked. What whole-exam work
// that needs only the points reads: a tight loop, no allocation per item.
struct PackedSheets {
  int questions = 0;                // bytes a sheet
  std::vector<std::uint8_t> marks;  // sheet i's question q (from 1) at i * questions + q - 1
  std::vector<std::uint8_t> keys;   // per sheet: the index of its version in exam.keys; kNoKey: not scored
  static constexpr std::uint8_t kNoKey = 0xFF;
  std::size_t Count() const { return keys.size(); }
};

// The exam's points compiled into one table a version and item, indexed by
// the marked options' bits, each entry made by the same rule ScoreSheet uses.
// Items of questions with more than 8 options, exams in parts and exams of
// more than 254 versions are not for it (Usable() says so).
class CompactScorer {
 public:
  CompactScorer(const Exam& exam, const FormShape& shape);
  bool Usable() const { return usable_; }
  // The options of a response as its byte (labels not on the question are left out).
  std::uint8_t Pack(int question, const std::string& marked) const;
  // Each sheet's total (the floor applied; 0 for a sheet not scored) into `totals`.
  void Totals(const PackedSheets& sheets, std::vector<float>& totals) const;

 private:
  struct Item {
    int offset = 0;  // the question's byte in a sheet
    std::array<float, 256> points{};
  };
  bool usable_ = true;
  std::vector<std::string> options_;     // per question (from 1), the option labels
  std::vector<std::vector<Item>> keys_;  // per version, per item in its order
  float floor_ = 0;
  bool hasFloor_ = false;
};

// Whether the question's doubt should bring it to a person (the exam's
// review rules: the recognition's doubt, the confidence level).
bool IsDoubtful(const Exam& exam, const Response& response);

// Canonical option text of a correction of an item: its labels in the
// question's cell order, "-" and "" both meaning blank; a letter in the other
// case stands for the label when the form has no such label itself. False
// when a label is not an option.
bool NormalizeLabels(const std::string& options, const std::string& answer, std::string& out);

}  // namespace omr::exam
