// An exam on several sheets a candidate: the exam file's "sheets", which part
// a sheet is, the reasons across a student's sheets and the candidates their
// sheets combine into. Totals are written out from the keys below.
#include <gtest/gtest.h>

#include "exam_test_util.h"
#include "project.h"
#include "scoring.h"

namespace omr::exam {
namespace {

using testing::TwoSheets;

// Master items 1-3 on sheet A, 4-5 on sheet B; version 2 asks each sheet's
// items in another order. Wrong -1, blank -0.5, floor 0.
const char* const kLayoutParts = R"({
  "form": "two.form", "student": {"questions": "1-2"}, "version": {"question": 3},
  "sheets": {"layout": true, "parts": {"A": "5-7", "B": "5-6"}},
  "key": "ABCDE", "keys": {"1": {}, "2": {"order": [3, 1, 2, 5, 4]}},
  "scoring": {"wrong": -1, "blank": -0.5, "floor": 0}})";

Exam Parsed(const std::string& text, const FormShape& shape = TwoSheets()) {
  const ExamCheck check = ParseExam(text, shape);
  std::string problems;
  for (const Problem& p : check.problems) problems += FormatProblem("exam.json", p) + "\n";
  EXPECT_TRUE(check.problems.empty()) << problems;
  return check.exam;
}

// A sheet as read: its layout, the ID, the version and the part characters,
// then the items' answers ('.' blank).
SheetFacts Read(int number, char letter, const std::string& id, char version, const std::string& answers,
                char part = '1') {
  SheetFacts s;
  s.number = number;
  s.letter = letter;
  const std::string chars = id + version + part + answers;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    const char c = chars[i];
    s.responses.push_back(
        {static_cast<int>(i + 1), c == '.' ? "" : std::string(1, c), static_cast<unsigned char>(c), 1.0, 0});
  }
  return s;
}

struct Drawn {
  char layout;
  std::string id;
  char version;
  std::string answers;
  std::vector<Override> corrections = {};
};

struct CombineCase {
  const char* name;
  std::vector<Drawn> sheets;            // numbered 1, 2, ... as listed
  std::vector<std::string> candidates;  // "ID: TOTAL/MAXIMUM sheets N,M [doubled] [missing P]"
  std::vector<std::string> reasons;     // per sheet, its reasons across sheets
};

std::string Describe(const SheetScore& c) {
  std::string out =
      c.studentId + ": " +
      (c.scored ? FormatNumber(c.total) + "/" + FormatNumber(c.maximum) : std::string("not scored")) +
      " sheets ";
  for (std::size_t i = 0; i < c.sheets.size(); ++i) out += (i ? "," : "") + std::to_string(c.sheets[i]);
  if (c.doubled) out += " doubled";
  for (const std::string& p : c.missing) out += " missing " + p;
  return out;
}

std::string Codes(const SheetScore& s) {
  std::string out;
  for (const Reason& r : s.reasons) out += r.code + "(" + r.detail + ") ";
  return out;
}

TEST(Parts, SheetsCombineIntoCandidates) {
  const Exam exam = Parsed(kLayoutParts);
  const std::vector<Override> keep = {{"sheet", "keep"}};
  const std::vector<Override> voided = {{"sheet", "void"}};
  const std::vector<CombineCase> cases = {
      {"mixed order: B before A, two students interleaved",
       {{'B', "12", '1', "DE"}, {'A', "34", '1', "AAC"}, {'A', "12", '1', "ABA"}, {'B', "34", '1', "D."}},
       // 12: A 1+1-1, B 1+1; 34: A 1-1+1, B 1-0.5.
       {"12: 3/5 sheets 1,3", "34: 1.5/5 sheets 2,4"},
       {"", "", "", ""}},
      {"a part not read",
       {{'A', "12", '1', "ABC"}},
       {"12: not scored sheets 1 missing B"},
       {"missing-part(part B) "}},
      {"a part not read, the sheet kept: its items count as blank",
       {{'A', "12", '1', "ABC", keep}},
       {"12: 2/5 sheets 1 missing B"},  // 3 - 0.5 - 0.5
       {""}},
      {"a part read twice: the latest counts",
       {{'A', "12", '1', "AAA"}, {'B', "12", '1', "DE"}, {'A', "12", '1', "ABC"}},
       {"12: 5/5 sheets 1,2,3 doubled"},
       {"duplicate-part(sheet 3) ", "", "duplicate-part(sheet 1) "}},
      {"the part read again is not scored: the one that is counts",
       {{'A', "12", '1', "ABC"}, {'B', "12", '1', "DE"}, {'A', "12", '7', "ABC"}},
       {"12: 5/5 sheets 1,2,3 doubled"},
       {"duplicate-part(sheet 3) ", "", "unknown-version(7) duplicate-part(sheet 1) "}},
      {"an ID read wrong on one part: two candidates short of a part",
       {{'A', "12", '1', "ABC"}, {'B', "13", '1', "DE"}},
       {"12: not scored sheets 1 missing B", "13: not scored sheets 2 missing A"},
       {"missing-part(part B) ", "missing-part(part A) "}},
      {"that ID corrected on its sheet: the candidate is whole",
       {{'A', "12", '1', "ABC"}, {'B', "13", '1', "DE", {{"id", "12"}}}},
       {"12: 5/5 sheets 1,2"},
       {"", ""}},
      {"an ID position blank: not a candidate's until typed",
       {{'A', "12", '1', "ABC"}, {'B', "1.", '1', "DE"}},
       {"12: not scored sheets 1 missing B"},
       {"missing-part(part B) ", "invalid-id(question 2) "}},
      {"version 2 on both sheets: its order on each",
       {{'B', "12", '2', "ED"}, {'A', "12", '2', "CAB"}},
       {"12: 5/5 sheets 1,2"},
       {"", ""}},
      {"parts of different versions are not scored",
       {{'A', "12", '1', "ABC"}, {'B', "12", '2', "ED"}},
       {"12: not scored sheets 1,2"},
       {"mixed-versions(sheet 2) ", "mixed-versions(sheet 1) "}},
      {"the floor holds for the candidate's total, not a part's",
       {{'A', "12", '1', "EEE"}, {'B', "12", '1', "DE"}},
       {"12: 0/5 sheets 1,2"},  // -3 + 2, then the floor
       {"", ""}},
      {"a void sheet leaves its candidate",
       {{'A', "12", '1', "ABC"}, {'B', "12", '1', "DE", voided}},
       {"12: not scored sheets 1 missing B"},
       {"missing-part(part B) ", ""}},
  };
  for (const CombineCase& c : cases) {
    std::vector<SheetScore> scores;
    for (const Drawn& d : c.sheets) {
      const int number = static_cast<int>(scores.size()) + 1;
      scores.push_back(ScoreSheet(exam, Read(number, d.layout, d.id, d.version, d.answers), d.corrections));
    }
    ReviewAcross(exam, scores, nullptr, {});
    for (std::size_t i = 0; i < scores.size(); ++i) {
      std::string across;
      for (const Reason& r : scores[i].reasons)
        if (r.question == 0) across += r.code + "(" + r.detail + ") ";
      EXPECT_EQ(across, c.reasons[i]) << c.name << ", sheet " << i + 1;
    }
    const std::vector<SheetScore> candidates = CombineSheets(exam, scores);
    std::vector<std::string> got;
    for (const SheetScore& s : candidates) got.push_back(Describe(s));
    EXPECT_EQ(got, c.candidates) << c.name;
  }
}

TEST(Parts, ASheetScoresItsOwnItemsAndTheCandidateAllInMasterOrder) {
  const Exam exam = Parsed(kLayoutParts);
  const SheetScore a = ScoreSheet(exam, Read(1, 'A', "12", '2', "CEE"), {});
  EXPECT_EQ(a.part, "A");
  EXPECT_EQ(a.total, -1);  // 1 - 1 - 1: no floor on a part
  EXPECT_EQ(a.maximum, 3);
  EXPECT_EQ(JoinAnswers(a), "E,E,C,,");  // version 2: questions 5-7 are master items 3, 1, 2
  EXPECT_EQ(JoinPoints(a), "-1,-1,1,,");
  EXPECT_EQ(a.items[3].outcome, Outcome::kAbsent);
  const SheetScore b = ScoreSheet(exam, Read(2, 'B', "12", '2', "E."), {});
  EXPECT_EQ(JoinAnswers(b), ",,,,E");
  std::vector<SheetScore> both = {b, a};
  const std::vector<SheetScore> candidates = CombineSheets(exam, both);
  ASSERT_EQ(candidates.size(), 1u);
  const SheetScore& c = candidates.front();
  EXPECT_EQ(c.number, 1);  // numbered by its first sheet
  EXPECT_EQ(c.version, "2");
  EXPECT_EQ(JoinAnswers(c), "E,E,C,,E");
  EXPECT_EQ(c.total, 0);  // -1 + 1 - 0.5, then the floor
  std::vector<int> from;
  for (const ItemScore& item : c.items) from.push_back(item.sheet);
  EXPECT_EQ(from, (std::vector<int>{1, 1, 1, 2, 2}));
  EXPECT_EQ(c.items[3].question, 6);  // master item 4 is question 6 of sheet B on version 2
}

TEST(Parts, APartQuestionTellsThePart) {
  const std::string text = R"({
    "form": "one.form", "student": {"questions": "1-2"},
    "sheets": {"question": 4, "parts": {"1": "5-7", "2": "5-6"}},
    "key": "ABCDE"})";
  // One layout: the part question tells the sheets apart.
  FormShape one = TwoSheets();
  one.layouts.pop_back();
  const Exam exam = Parsed(text, one);
  EXPECT_EQ(exam.RoleOf(4), "part");
  EXPECT_EQ(exam.RoleOf(7), "item");
  EXPECT_EQ(exam.RoleOf(7, "2"), "");  // not an item of the second sheet
  struct Case {
    char part;
    std::vector<Override> corrections;
    std::string told;
    std::string reasons;
  };
  const std::vector<Case> cases = {
      {'1', {}, "1", ""},
      {'2', {}, "2", ""},
      {'.', {}, "", "unknown-part(.) "},
      {'.', {{"4", "2"}}, "2", ""},
  };
  for (const Case& c : cases) {
    const SheetScore s = ScoreSheet(exam, Read(1, 'A', "12", '1', "ABC", c.part), c.corrections);
    EXPECT_EQ(s.part, c.told) << c.part;
    EXPECT_EQ(Codes(s), c.reasons) << c.part;
    EXPECT_EQ(s.scored, !c.told.empty());
    if (!c.reasons.empty()) {
      EXPECT_EQ(s.reasons.front().question, 4);  // settled by correcting the part question
    }
  }
}

TEST(Parts, TheExamFileSaysWhatIsWrongWithItsSheets) {
  struct Case {
    const char* sheets;  // the "sheets" member, or a whole file from "{"
    std::string says;
  };
  const std::vector<Case> cases = {
      {R"("sheets": {"layout": true, "parts": {"A": "5-7", "B": "5-6"}}, "items": "5-7")",
       "/items: an exam in parts names the items of each part"},
      {R"("sheets": {"layout": true, "parts": {"A": "5-7"}})", "must name two parts or more"},
      {R"("sheets": {"layout": true, "question": 4, "parts": {"A": "5-7", "B": "5-6"}})", "/sheets: must be"},
      {R"("sheets": {"layout": true, "parts": {"A": "5-7", "C": "5-6"}})",
       "part \"C\" is not a form letter of the form (it has: AB)"},
      {R"("sheets": {"layout": true, "parts": {"A": "5-7", "B": "6-7"}})",
       "/sheets/parts/B: item question 7 is not a question of the form (layout B): it has 6 questions"},
      {R"("sheets": {"question": 4, "parts": {"1": "5-7", "3": "5-6"}})",
       "/sheets/parts/3: question 4 cannot code \"3\" (it codes 12)"},
      {R"("sheets": {"question": 4, "parts": {"1": "4-6", "2": "5-6"}})",
       "question 4 is used twice (items of part 1 and another role)"},
      {R"("version": {"layout": true}, "sheets": {"layout": true, "parts": {"A": "5-7", "B": "5-6"}})",
       "/sheets/layout: the form letter names the version already"},
  };
  for (const Case& c : cases) {
    const std::string text = std::string(R"({"form": "two.form", "student": {"questions": "1-2"}, )") +
                             c.sheets + R"(, "key": "ABCDE"})";
    const ExamCheck check = ParseExam(text, TwoSheets());
    std::string problems;
    for (const Problem& p : check.problems) problems += FormatProblem("exam.json", p) + "\n";
    EXPECT_NE(problems.find(c.says), std::string::npos) << c.sheets << "\n" << problems;
  }
  // Layout B with no part: its sheets could not be counted.
  FormShape three = TwoSheets();
  three.layouts.push_back(three.layouts.back());
  three.layouts.back().letter = 'C';
  const ExamCheck check = ParseExam(kLayoutParts, three);
  ASSERT_EQ(check.problems.size(), 1u);
  EXPECT_NE(check.problems[0].message.find("layout C of the form is not a part"), std::string::npos)
      << check.problems[0].message;
}

}  // namespace
}  // namespace omr::exam
