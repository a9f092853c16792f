// One item re-keyed in the exam file's own text, read back by the checker;
// and the sheets a new exam changes, in the order a teacher reads them.
#include "rekey.h"

#include <gtest/gtest.h>

#include "error.h"
#include "exam_test_util.h"

namespace omr::exam {
namespace {

using testing::Exam60Shape;

const std::string kTwoVersions = R"({
  // the final, two versions
  "form": "f", "items": "11-14", "version": {"question": 10},
  "keys": {"1": "ABCD",   // the master numbering
           "2": {"answers": "DCBA", "order": [4, 3, 2, 1]}},
  "scoring": {"wrong": -0.25,
              "items": {"2-3": {"points": 2},
                        "4": "bonus"}}
})";

Exam Parsed(const std::string& text) {
  ExamCheck c = ParseExam(text, Exam60Shape());
  if (!c.problems.empty()) throw Error(c.problems.front().message + "\n" + text);
  return c.exam;
}

struct ChangeCase {
  const char* name;
  std::string text;
  ItemChange change;
  std::string masterKey;  // after
  std::string version2;   // version 2's answers after ("" when there is none)
  std::vector<ItemKind> kinds;
  std::vector<double> points;
  std::vector<std::string> accept;
};

TEST(Rekey, AnItemChangeIsWrittenIntoTheFile) {
  const std::string bare = "{\"form\": \"f\", \"items\": \"11-12\", \"key\": \"AB\"}";
  const std::string withMaster =
      "{\"form\": \"f\", \"items\": \"11-12\", \"version\": {\"question\": 10}, \"key\": \"AB\",\n"
      " \"keys\": {\"1\": {}, \"2\": {\"answers\": \"BA\", \"order\": [2, 1]}}}";
  const ItemKind S = ItemKind::kScored;
  const ItemKind V = ItemKind::kVoid;
  const ItemKind B = ItemKind::kBonus;
  const std::vector<ChangeCase> cases = {
      {"a new key, in every version", kTwoVersions, {1, "C"}, "CBCD", "DCBC", {S, S, S, B}, {1, 2, 2, 1}, {}},
      {"void splits a range", kTwoVersions, {2, {}, true}, "ABCD", "DCBA", {S, V, S, B}, {1, 2, 2, 1}, {}},
      {"a key lifts a bonus", kTwoVersions, {4, "b"}, "ABCB", "BCBA", {S, S, S, S}, {1, 2, 2, 1}, {}},
      {"accept keeps the range's points",
       kTwoVersions,
       {3, {}, false, false, "bd"},
       "ABCD",
       "DCBA",
       {S, S, S, B},
       {1, 2, 2, 1},
       {"", "", "BD", ""}},
      {"a key with a second answer",
       kTwoVersions,
       {1, "B", false, false, "BC"},
       "BBCD",
       "DCBB",
       {S, S, S, B},
       {1, 2, 2, 1},
       {"C", "", "", ""}},
      {"a file without scoring", bare, {2, {}, true}, "AB", "", {S, V}, {1, 1}, {}},
      {"a master key", withMaster, {2, "E"}, "AE", "EA", {S, S}, {1, 1}, {}},
      {"bonus on a void item",
       "{\"form\": \"f\", \"items\": \"11-12\", \"key\": \"AB\", \"scoring\": "
       "{\"items\": {\"1\": \"void\"}}}",
       {1, {}, false, true},
       "AB",
       "",
       {B, S},
       {1, 1},
       {}},
  };
  for (const ChangeCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string after = ApplyItemChange(c.text, Parsed(c.text), Exam60Shape(), c.change);
    const Exam e = Parsed(after);
    EXPECT_EQ(e.masterKey, c.masterKey) << after;
    if (!c.version2.empty()) {
      ASSERT_EQ(e.keys.size(), 2u);
      EXPECT_EQ(e.keys[1].answers, c.version2) << after;
    }
    for (std::size_t m = 0; m < c.kinds.size(); ++m) {
      EXPECT_EQ(e.rules[m].kind, c.kinds[m]) << "item " << m + 1 << "\n" << after;
      EXPECT_EQ(e.rules[m].points, c.points[m]) << "item " << m + 1;
      EXPECT_EQ(e.rules[m].accept, m < c.accept.size() ? c.accept[m] : "") << "item " << m + 1;
    }
    EXPECT_EQ(e.rules[0].wrong, c.text == kTwoVersions ? -0.25 : 0);  // the rest stays
    if (c.text == kTwoVersions) {
      EXPECT_NE(after.find("// the master numbering"), std::string::npos);
    }
  }
}

TEST(Rekey, ChangesThatDoNotFitAreRefused) {
  const std::string allItem =
      "{\"form\": \"f\", \"items\": \"11-12\", \"key\": \"A*\", \"scoring\": {\"items\": {\"2\": {\"all\": "
      "\"AC\"}}}}";
  const std::vector<std::tuple<std::string, ItemChange, std::string>> cases = {
      {kTwoVersions, {9, "A"}, "there is no item 9: the exam's items run from 1 to 4"},
      {kTwoVersions, {1, {}, true, true}, "say how item 1 changes"},
      {kTwoVersions, {1}, "say how item 1 changes"},
      {kTwoVersions, {1, "F"}, "--key: give one option of item 1 (its options: ABCDE)"},
      {kTwoVersions, {1, "AB"}, "--key: give one option"},
      {kTwoVersions, {1, {}, false, false, "-"}, "--accept: give options"},
      {allItem, {2, "A"}, "all of AC are marked"},
  };
  for (const auto& [text, change, says] : cases) {
    try {
      ApplyItemChange(text, Parsed(text), Exam60Shape(), change);
      ADD_FAILURE() << says;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(says), std::string::npos) << e.what();
    }
  }
}

SheetScore Scored(int number, double total, double maximum, const char* id = "") {
  SheetScore s;
  s.number = number;
  s.scored = true;
  s.total = total;
  s.maximum = maximum;
  s.percent = 100 * total / maximum;
  s.studentId = id;
  s.idState = *id ? IdState::kValid : IdState::kInvalid;
  return s;
}

TEST(Rekey, TheChangedSheetsLargestChangeFirst) {
  SheetScore unscored;
  unscored.number = 4;
  SheetScore voided = Scored(5, 3, 10);
  voided.voided = true;
  const std::vector<SheetScore> before = {Scored(1, 5, 10, "11"),  Scored(2, 7, 10), Scored(3, 4, 10, "13"),
                                          Scored(4, 6, 10, "14"),  voided,           Scored(6, 4, 10),
                                          Scored(7, 0.1 + 0.2, 10)};
  const std::vector<SheetScore> after = {
      Scored(1, 6, 10, "11"), Scored(2, 7, 10),  Scored(3, 2, 10, "13"), unscored, voided,
      Scored(6, 4, 9),        Scored(7, 0.3, 10)};
  Roster roster;
  roster.columns = {"class", "Name"};
  roster.ids = {"13"};
  roster.rows["13"] = {"7A", "Ann"};
  const RekeyReport r = CompareScores(before, after, roster);
  std::vector<int> order;
  for (const ScoreChange& c : r.changed) order.push_back(c.sheet);
  // Scored on one side only, then by the change of the total, then of the percent.
  EXPECT_EQ(order, (std::vector<int>{4, 3, 1, 6}));
  EXPECT_EQ(r.unchanged, 2);  // sheets 2 and 7 (sums that differ by rounding only)
  EXPECT_EQ(r.changed[0].studentId, "14");
  EXPECT_FALSE(r.changed[0].scoredAfter);
  EXPECT_EQ(r.changed[1].name, "Ann");
  EXPECT_EQ(r.changed[1].totalAfter, 2);
  const std::string json = RekeyJson(r, true);
  EXPECT_NE(json.find("\"dry_run\": true"), std::string::npos) << json;
  EXPECT_NE(json.find("\"change\": -2.0"), std::string::npos) << json;
}

}  // namespace
}  // namespace omr::exam
