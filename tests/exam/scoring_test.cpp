// Scoring rules, one table row per rule, with the points written out.
#include "scoring.h"

#include <gtest/gtest.h>

#include "exam_test_util.h"

namespace omr::exam {
namespace {

// An exam of one item (question 11) on a sheet of the exam60 form.
Exam OneItem(const ItemRule& rule, char key = 'B') {
  Exam e;
  e.items = {11};
  e.keys = {{"A", std::string(1, key), {1}}};
  e.rules = {rule};
  return e;
}

SheetFacts Sheet(const std::vector<std::pair<int, std::string>>& marks, int questions = 70) {
  SheetFacts s;
  s.number = 1;
  for (int q = 1; q <= questions; ++q) s.responses.push_back({q, "", '.', 1.0, 0});
  for (const auto& [q, labels] : marks) {
    Response& r = s.responses[static_cast<std::size_t>(q - 1)];
    r.marked = labels;
    r.character = labels.size() == 1 ? static_cast<unsigned char>(labels[0]) : labels.empty() ? '.' : '>';
  }
  return s;
}

// The exam60 form's shape as the compact scorer needs it: questions 1-70, options A-E.
FormShape FiveOptions() {
  FormShape shape;
  shape.layouts.resize(1);
  for (int q = 1; q <= 70; ++q) shape.layouts[0].questions.push_back({q, 'S', "ABCDE"});
  return shape;
}

// A sheet's total by the packed path: every question's marks as its byte.
float CompactTotal(const Exam& exam, const SheetFacts& sheet, std::uint8_t key) {
  const CompactScorer compact(exam, FiveOptions());
  EXPECT_TRUE(compact.Usable());
  PackedSheets packed;
  packed.questions = 70;
  packed.marks.assign(70, 0);
  for (const Response& r : sheet.responses)
    packed.marks[static_cast<std::size_t>(r.question - 1)] = compact.Pack(r.question, r.marked);
  packed.keys = {key};
  std::vector<float> totals;
  compact.Totals(packed, totals);
  return totals.at(0);
}

ItemRule Rule(double points, double wrong, double blank, double multiple) {
  ItemRule r;
  r.points = points;
  r.wrong = wrong;
  r.blank = blank;
  r.multiple = multiple;
  return r;
}

struct ItemCase {
  const char* name;
  ItemRule rule;
  std::string marked;
  double points;
  Outcome outcome;
};

TEST(Scoring, ItemRules) {
  ItemRule accept = Rule(2, -0.5, 0, 0);
  accept.accept = "C";
  ItemRule all = Rule(3, 0, 0, 0);
  all.all = "ACD";
  ItemRule partial = all;
  partial.partial = true;
  ItemRule voided = Rule(1, 0, 0, 0);
  voided.kind = ItemKind::kVoid;
  ItemRule bonus = Rule(1.5, 0, 0, 0);
  bonus.kind = ItemKind::kBonus;
  const std::vector<ItemCase> cases = {
      {"correct", Rule(1, -0.25, 0, 0), "B", 1, Outcome::kCorrect},
      {"wrong, negative marking", Rule(1, -0.25, 0, 0), "A", -0.25, Outcome::kWrong},
      {"blank", Rule(1, -0.25, -0.1, 0), "", -0.1, Outcome::kBlank},
      {"double mark", Rule(1, -0.25, 0, -0.5), "AB", -0.5, Outcome::kMultiple},
      {"accept: key", accept, "B", 2, Outcome::kCorrect},
      {"accept: second answer", accept, "C", 2, Outcome::kCorrect},
      {"accept: other", accept, "D", -0.5, Outcome::kWrong},
      {"accept: both marked is a double mark", accept, "BC", 0, Outcome::kMultiple},
      {"all: exact", all, "ACD", 3, Outcome::kCorrect},
      {"all: one missing, all or nothing", all, "AC", 0, Outcome::kWrong},
      {"all: blank", all, "", 0, Outcome::kBlank},
      {"partial: 2 of 3", partial, "AC", 3.0 * 2 / 3, Outcome::kPartial},
      {"partial: 3 right 1 wrong", partial, "ABCD", 3.0 * 2 / 3, Outcome::kPartial},
      {"partial: 1 right 2 wrong", partial, "ABE", 0, Outcome::kWrong},
      {"partial: exact", partial, "ACD", 3, Outcome::kCorrect},
      {"void", voided, "B", 0, Outcome::kVoid},
      {"bonus, blank", bonus, "", 1.5, Outcome::kBonus},
      {"bonus, wrong", bonus, "E", 1.5, Outcome::kBonus},
  };
  for (const ItemCase& c : cases) {
    SCOPED_TRACE(c.name);
    const SheetScore s = ScoreSheet(OneItem(c.rule), Sheet({{11, c.marked}}), {});
    ASSERT_TRUE(s.scored);
    ASSERT_EQ(s.items.size(), 1u);
    EXPECT_DOUBLE_EQ(s.items[0].points, c.points);
    EXPECT_EQ(s.items[0].outcome, c.outcome);
    EXPECT_DOUBLE_EQ(s.total, c.points);
    const double maximum = c.rule.kind == ItemKind::kVoid ? 0 : c.rule.points;
    EXPECT_DOUBLE_EQ(s.maximum, maximum);
    EXPECT_EQ(s.percent.has_value(), maximum > 0);
    EXPECT_FLOAT_EQ(CompactTotal(OneItem(c.rule), Sheet({{11, c.marked}}), 0), static_cast<float>(c.points));
  }
}

// Three items, two versions: version "2" asks master item 3 first.
Exam TwoVersions() {
  Exam e;
  e.studentQuestions = {1, 2};
  e.studentTypes = "BB";
  e.versionSource = VersionSource::kQuestion;
  e.versionQuestion = 10;
  e.items = {11, 12, 13};
  e.keys = {{"1", "ABC", {1, 2, 3}}, {"2", "CAB", {3, 1, 2}}};
  e.rules.assign(3, Rule(1, -1, 0, 0));
  e.floor = -1.5;
  return e;
}

SheetFacts VersionSheet(char version, const std::string& answers, const std::string& id = "42") {
  std::vector<std::pair<int, std::string>> marks;
  for (std::size_t i = 0; i < answers.size(); ++i)
    marks.push_back({11 + static_cast<int>(i), answers[i] == '.' ? "" : std::string(1, answers[i])});
  SheetFacts s = Sheet(marks);
  for (std::size_t i = 0; i < id.size(); ++i) {
    s.responses[i].character = static_cast<unsigned char>(id[i]);
    s.responses[i].marked = "4";
  }
  s.responses[9].character = static_cast<unsigned char>(version);
  s.responses[9].marked = std::string(1, version);
  return s;
}

TEST(Scoring, VersionsMapToMasterItemsAndTheFloorHolds) {
  const Exam e = TwoVersions();
  // Version 2 in its own order: C A B is right for every master item.
  SheetScore s = ScoreSheet(e, VersionSheet('2', "CAB"), {});
  ASSERT_TRUE(s.scored);
  EXPECT_EQ(s.version, "2");
  EXPECT_EQ(s.studentId, "42");
  EXPECT_DOUBLE_EQ(s.total, 3);
  EXPECT_EQ(s.items[2].question, 11);  // master item 3 was question 11 on version 2
  EXPECT_EQ(s.items[2].response, "C");
  // Master key read in version 2's order is all wrong: -3, floored at -1.5.
  s = ScoreSheet(e, VersionSheet('2', "ABC"), {});
  EXPECT_DOUBLE_EQ(s.total, -1.5);
  EXPECT_DOUBLE_EQ(s.maximum, 3);
  EXPECT_DOUBLE_EQ(*s.percent, -50);
  // The packed path: each version's order, the floor, and no total without a known version.
  EXPECT_FLOAT_EQ(CompactTotal(e, VersionSheet('2', "CAB"), 1), 3);
  EXPECT_FLOAT_EQ(CompactTotal(e, VersionSheet('2', "ABC"), 1), -1.5);
  EXPECT_FLOAT_EQ(CompactTotal(e, VersionSheet('1', "AB."), 0), 2);
  EXPECT_FLOAT_EQ(CompactTotal(e, VersionSheet('7', "ABC"), PackedSheets::kNoKey), 0);
  // An unknown version is not scored and says why.
  s = ScoreSheet(e, VersionSheet('7', "ABC"), {});
  EXPECT_FALSE(s.scored);
  ASSERT_EQ(s.reasons.size(), 1u);
  EXPECT_EQ(s.reasons[0].code, "unknown-version");
  EXPECT_EQ(s.reasons[0].detail, "7");
}

TEST(Scoring, TheFormLetterNamesTheVersion) {
  Exam e = TwoVersions();
  e.versionSource = VersionSource::kLayout;
  e.keys[0].name = "A";
  e.keys[1].name = "B";
  SheetFacts sheet = VersionSheet('0', "CAB");
  sheet.letter = 'B';
  SheetScore s = ScoreSheet(e, sheet, {});
  EXPECT_EQ(s.version, "B");
  EXPECT_DOUBLE_EQ(s.total, 3);
  sheet.letter = 'C';
  s = ScoreSheet(e, sheet, {});
  EXPECT_FALSE(s.scored);
  EXPECT_EQ(s.reasons.back().code, "unknown-version");
  s = ScoreSheet(e, sheet, {{"version", "B"}});  // a person names it
  EXPECT_DOUBLE_EQ(s.total, 3);
}

TEST(Scoring, CorrectionsLatestCountsAndWithdrawalRestoresTheReading) {
  Exam e = TwoVersions();
  e.review.blank = true;
  const SheetFacts sheet = VersionSheet('1', "A.C");  // item 2 blank
  SheetScore s = ScoreSheet(e, sheet, {});
  EXPECT_DOUBLE_EQ(s.total, 2);
  ASSERT_EQ(s.reasons.size(), 1u);
  EXPECT_EQ(s.reasons[0].code, "blank");
  EXPECT_EQ(s.reasons[0].question, 12);

  s = ScoreSheet(e, sheet, {{"12", "D"}, {"12", "B"}});
  EXPECT_DOUBLE_EQ(s.total, 3);
  EXPECT_TRUE(s.items[1].corrected);
  EXPECT_TRUE(s.reasons.empty());  // a corrected question was looked at

  s = ScoreSheet(e, sheet, {{"12", "B"}, {"12", std::nullopt}});
  EXPECT_DOUBLE_EQ(s.total, 2);
  EXPECT_FALSE(s.items[1].corrected);

  // Version and ID corrected; a sheet made void is not scored.
  s = ScoreSheet(e, VersionSheet('1', "CAB"), {{"version", "2"}, {"id", "9001"}});
  EXPECT_DOUBLE_EQ(s.total, 3);
  EXPECT_EQ(s.studentId, "9001");
  s = ScoreSheet(e, sheet, {{"sheet", "void"}});
  EXPECT_TRUE(s.voided);
  EXPECT_FALSE(s.scored);
  EXPECT_TRUE(s.reasons.empty());
}

TEST(Scoring, ReviewReasonsOfASheet) {
  Exam e = TwoVersions();
  e.review.confidence = 0.5;
  e.review.blank = true;
  SheetFacts sheet = VersionSheet('1', "A.C");
  sheet.responses[12].marked = "BC";     // question 13: double mark
  sheet.responses[10].confidence = 0.3;  // question 11: low confidence
  sheet.responses[0].doubtful = 2;       // student position 1: flagged by the recognition
  sheet.responses[1].character = '>';    // student position 2: several marks
  const SheetScore s = ScoreSheet(e, sheet, {});
  std::vector<std::string> got;
  for (const Reason& r : s.reasons) got.push_back(r.code + ":" + std::to_string(r.question));
  EXPECT_EQ(got, (std::vector<std::string>{"doubtful:1", "invalid-id:0", "doubtful:11", "blank:12",
                                           "multiple:13"}));
  EXPECT_EQ(s.idState, IdState::kInvalid);

  SheetFacts failed;
  failed.number = 4;
  failed.code = 5;
  const SheetScore f = ScoreSheet(e, failed, {});
  ASSERT_EQ(f.reasons.size(), 1u);
  EXPECT_EQ(f.reasons[0].code, "not-read");
  EXPECT_EQ(f.reasons[0].detail, "5");
}

// Which blanks, double marks and doubts go to a person, by the exam's review
// rules; a question's reason names its master item.
TEST(Scoring, ReviewRulesDecideWhatGoesToAPerson) {
  struct Case {
    const char* name;
    ReviewRules rules;
    std::string answers;  // version 2, questions 11-13
    int doubt;            // doubt bits of question 12
    double confidence;    // of question 12
    std::string reasons;
  };
  const ReviewRules standard;
  ReviewRules blanks = standard;
  blanks.blank = true;
  ReviewRules quiet = standard;
  quiet.multiple = false;
  quiet.doubtful = false;
  ReviewRules level = quiet;
  level.confidence = 0.6;
  const std::vector<Case> cases = {
      {"a sure blank is the student's", standard, "C.B", 0, 1, ""},
      {"unless the exam asks", blanks, "C.B", 0, 1, "blank:12/1"},
      {"a doubtful blank goes", standard, "C.B", 1, 0.4, "blank:12/1 doubtful:12/1"},
      {"a double mark goes by default", standard, "CXB", 0, 1, "multiple:12/1"},
      {"a sure double mark can stay", quiet, "CXB", 0, 1, ""},
      {"the recognition's doubt can be ignored", quiet, "CAB", 4, 0.45, ""},
      {"but not a confidence below the level", level, "CAB", 4, 0.45, "doubtful:12/1"},
      {"a confidence above it", level, "CAB", 0, 0.7, ""},
  };
  for (const Case& c : cases) {
    Exam e = TwoVersions();
    e.review = c.rules;
    SheetFacts sheet = VersionSheet('2', c.answers);
    Response& q12 = sheet.responses[11];
    if (c.answers[1] == 'X') q12.marked = "AB", q12.character = '>';
    q12.doubtful = c.doubt;
    q12.confidence = c.confidence;
    std::string got;
    for (const Reason& r : ScoreSheet(e, sheet, {}).reasons)
      got +=
          (got.empty() ? "" : " ") + r.code + ":" + std::to_string(r.question) + "/" + std::to_string(r.item);
    EXPECT_EQ(got, c.reasons) << c.name;
  }
}

TEST(Scoring, StudentIdPositions) {
  Exam e;
  e.studentQuestions = {1, 2, 3};
  e.studentTypes = "BSs";
  e.items = {11};
  e.keys = {{"A", "A", {1}}};
  e.rules = {Rule(1, 0, 0, 0)};
  struct Case {
    std::string marked[3];
    std::string chars;
    bool valid;
  };
  const std::vector<Case> cases = {
      {{"", "7", "3"}, "073", true},     // a weighted digit 0 has no mark
      {{"84", "7", "3"}, ">73", false},  // 8 + 4 is no digit
      {{"1", "", "3"}, "1.3", false},    // blank single-choice position
      {{"1", "7", "35"}, "170", false},  // several marks coded as 0
  };
  for (const Case& c : cases) {
    SheetFacts s = Sheet({});
    for (int i = 0; i < 3; ++i) {
      s.responses[static_cast<std::size_t>(i)].marked = c.marked[i];
      s.responses[static_cast<std::size_t>(i)].character =
          static_cast<unsigned char>(c.chars[static_cast<std::size_t>(i)]);
    }
    const SheetScore score = ScoreSheet(e, s, {});
    EXPECT_EQ(score.idState == IdState::kValid, c.valid) << c.chars;
    if (c.valid) {
      EXPECT_EQ(score.studentId, c.chars);
    }
  }
}

TEST(Scoring, ReasonsAcrossSheets) {
  Exam e = TwoVersions();
  std::vector<SheetScore> scores;
  for (const char* id : {"11", "12", "11", "99"}) {
    scores.push_back(ScoreSheet(e, VersionSheet('1', "ABC", id), {}));
    scores.back().number = static_cast<int>(scores.size());
  }
  Roster roster;
  for (const char* id : {"11", "12"}) {
    roster.ids.push_back(id);
    roster.rows[id] = {};
  }
  ReviewAcross(scores, &roster, {"h1", "h2", "h3", "h2"});
  auto codes = [](const SheetScore& s) {
    std::string out;
    for (const Reason& r : s.reasons) out += r.code + "(" + r.detail + ") ";
    return out;
  };
  EXPECT_EQ(codes(scores[0]), "duplicate-id(sheet 3) ");
  EXPECT_EQ(codes(scores[1]), "duplicate-grid(sheet 4) ");
  EXPECT_EQ(codes(scores[2]), "duplicate-id(sheet 1) ");
  EXPECT_EQ(codes(scores[3]), "unknown-id(99) duplicate-grid(sheet 2) ");

  // A sheet made void leaves its group; one kept is accepted as it is.
  scores.clear();
  scores.push_back(ScoreSheet(e, VersionSheet('1', "ABC", "11"), {}));
  scores.push_back(ScoreSheet(e, VersionSheet('1', "ABC", "11"), {{"sheet", "void"}}));
  scores.push_back(ScoreSheet(e, VersionSheet('1', "ABC", "99"), {{"sheet", "keep"}}));
  for (int i = 0; i < 3; ++i) scores[static_cast<std::size_t>(i)].number = i + 1;
  ReviewAcross(scores, &roster, {"h", "h", "h"});
  EXPECT_EQ(codes(scores[0]), "duplicate-grid(sheet 3) ");
  EXPECT_EQ(codes(scores[1]), "");
  EXPECT_EQ(codes(scores[2]), "");
}

TEST(Scoring, CorrectionLabelsAreOptionsInCellOrder) {
  std::string out;
  EXPECT_TRUE(NormalizeLabels("ABCDE", "DB", out));
  EXPECT_EQ(out, "BD");
  EXPECT_TRUE(NormalizeLabels("ABCDE", "-", out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(NormalizeLabels("ABCDE", "db", out));
  EXPECT_EQ(out, "BD");
  EXPECT_TRUE(NormalizeLabels("AaB", "a", out));  // a form with both cases keeps them apart
  EXPECT_EQ(out, "a");
  EXPECT_FALSE(NormalizeLabels("ABCDE", "F", out));
}

// A sheet's confidence is the least of the questions its score still reads
// from the sheet: corrected, void and unused questions do not count.
TEST(Scoring, SheetConfidenceIsTheLeastOfTheQuestionsItReads) {
  Exam e;
  e.studentQuestions = {1};
  e.studentTypes = "S";
  e.items = {11, 12, 13};
  e.keys = {{"A", "BBB", {1, 2, 3}}};
  e.rules = {Rule(1, 0, 0, 0), Rule(1, 0, 0, 0), Rule(1, 0, 0, 0)};
  e.rules[2].kind = ItemKind::kVoid;
  SheetFacts sheet = Sheet({{1, "7"}, {11, "B"}, {12, "B"}, {13, "B"}});
  auto with = [&](std::vector<std::pair<int, double>> confidences) {
    SheetFacts s = sheet;
    for (const auto& [q, c] : confidences) s.responses[static_cast<std::size_t>(q - 1)].confidence = c;
    return s;
  };
  struct Case {
    const char* name;
    SheetFacts facts;
    std::vector<Override> corrections;
    double confidence;
  };
  SheetFacts refused = sheet;
  refused.code = 3;
  const std::vector<Case> cases = {
      {"all clear", sheet, {}, 1},
      {"an item", with({{12, 0.4}, {11, 0.7}}), {}, 0.4},
      {"the student ID", with({{1, 0.2}, {11, 0.7}}), {}, 0.2},
      {"a corrected item no longer counts", with({{12, 0.4}, {11, 0.7}}), {{"12", "B"}}, 0.7},
      {"a withdrawn correction gives it back", with({{12, 0.4}}), {{"12", "B"}, {"12", std::nullopt}}, 0.4},
      {"an ID typed whole replaces its questions", with({{1, 0.2}}), {{"id", "7"}}, 1},
      {"a void item", with({{13, 0.1}}), {}, 1},
      {"an unused question", with({{20, 0.1}}), {}, 1},
      {"not read: nothing to trust", refused, {}, 0},
  };
  for (const Case& c : cases)
    EXPECT_DOUBLE_EQ(ScoreSheet(e, c.facts, c.corrections).confidence, c.confidence) << c.name;
}

}  // namespace
}  // namespace omr::exam
