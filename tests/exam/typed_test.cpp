// Typed sheets: the notation people type, and what a typed sheet becomes
// (the responses a read would give, scored by the same rules), with every
// refusal naming its field.
#include "typed.h"

#include <gtest/gtest.h>

#include "error.h"
#include "exam_test_util.h"

namespace omr::exam {
namespace {

TEST(TypedSheet, TheNotationPeopleType) {
  struct Case {
    const char* text;
    std::vector<std::string> answers;
  };
  const Case cases[] = {
      {"ABCDE", {"A", "B", "C", "D", "E"}},
      {"A-.(AC) b, C", {"A", "", "", "AC", "b", "C"}},
      {"( C A )", {"CA"}},
      {"", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseTypedAnswers(c.text), c.answers) << c.text;
  EXPECT_EQ(FormatTypedAnswers({"A", "", "AC"}), "A-(AC)");
  const std::pair<const char*, const char*> refused[] = {
      {"AB(CD", "a \"(\" without its \")\" at character 3 (answer 3)"},
      {"A)", "a \")\" without its \"(\" at character 2"},
      {"A\tB\x01", "a control character at character 4 (answer 3)"},
      {"(A-B)", "\"-\" inside \"( )\""},
  };
  for (const auto& [text, words] : refused) {
    try {
      ParseTypedAnswers(text);
      ADD_FAILURE() << text << " was taken";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(ParseTypedAnswers(std::string(kMaxTypedText + 1, 'A')), Error);
}

// The exam60 form: ID digits 1-8, version by question 10 (two versions, the
// second in reverse order), items 11-70.
Exam TwoVersions(std::string& key) {
  key.clear();
  for (int i = 0; i < 60; ++i) key += "ABCDE"[(i * 7) % 5];
  std::string order;
  for (int i = 60; i >= 1; --i) order += std::to_string(i) + (i > 1 ? "," : "");
  const std::string text = R"({"title": "t", "form": "f", "student": {"questions": "1-8"},
    "version": {"question": 10}, "items": "11-70", "key": ")" +
                           key + R"(", "keys": {"1": {}, "2": {"order": [)" + order + R"(]}},
    "scoring": {"correct": 1, "wrong": -0.25, "blank": 0, "multiple": -0.5}})";
  ExamCheck check = ParseExam(text, testing::Exam60Shape());
  EXPECT_TRUE(check.problems.empty()) << (check.problems.empty() ? "" : check.problems[0].message);
  return check.exam;
}

// What the scoring makes of a typed sheet's facts.
SheetScore Score(const Exam& exam, const TypedFacts& facts) {
  SheetFacts sheet;
  sheet.number = 1;
  sheet.letter = facts.letter;
  for (int q = 1; q <= 70; ++q) sheet.responses.push_back({q, "", '.', 1, 0});
  for (const Response& r : facts.responses) sheet.responses[static_cast<std::size_t>(r.question - 1)] = r;
  return ScoreSheet(exam, sheet, {});
}

TEST(TypedSheet, ItIsScoredAsTheSameMarksReadWouldBe) {
  std::string key;
  const Exam exam = TwoVersions(key);
  // Version 2 asks master item 60 first: its answers in question order are the key reversed.
  std::vector<std::string> answers;
  for (int i = 59; i >= 0; --i) answers.emplace_back(1, key[static_cast<std::size_t>(i)]);
  answers[0] = "";                                          // a blank: 0
  answers[1] = std::string(1, key[58] == 'A' ? 'b' : 'a');  // wrong, typed in lower case: -0.25
  answers[2] = "CA";                                        // several: -0.5
  TypedSheet typed{"20240131", "2", answers, "Ann", "typed", ""};
  const TypedFacts facts = TypedFactsOf(exam, testing::Exam60Shape(), typed);
  EXPECT_EQ(facts.letter, 'A');
  ASSERT_EQ(facts.responses.size(), 8u + 1 + 60);
  EXPECT_EQ(facts.responses[0].character, '2');  // the ID's first digit
  EXPECT_EQ(facts.responses[8].question, 10);
  EXPECT_EQ(facts.responses[8].character, '2');
  EXPECT_EQ(facts.responses[9 + 1].marked, std::string(1, key[58] == 'A' ? 'B' : 'A'));
  EXPECT_EQ(facts.responses[9 + 2].marked, "AC");  // in the question's option order
  EXPECT_EQ(facts.responses[9 + 2].character, '>');
  EXPECT_EQ(facts.responses[9].character, '.');
  const SheetScore score = Score(exam, facts);
  ASSERT_TRUE(score.scored);
  EXPECT_EQ(score.studentId, "20240131");
  EXPECT_EQ(score.version, "2");
  EXPECT_DOUBLE_EQ(score.total, 57 * 1.0 + 0 - 0.25 - 0.5);
  EXPECT_DOUBLE_EQ(score.maximum, 60);
  // The stored text gives the sheet back, as the exam takes it.
  std::vector<std::string> stored = answers;
  stored[1] = facts.responses[9 + 1].marked;
  stored[2] = "AC";
  const TypedSheet again = ParseTypedResult(facts.result);
  EXPECT_EQ(again.studentId, "20240131");
  EXPECT_EQ(again.version, "2");
  EXPECT_EQ(again.answers, stored);
  EXPECT_EQ(TypedFactsOf(exam, testing::Exam60Shape(), again).responses.size(), facts.responses.size());
}

TEST(TypedSheet, WhatDoesNotFitIsRefusedByItsField) {
  std::string key;
  const Exam exam = TwoVersions(key);
  const std::vector<std::string> all(60, "A");
  auto with = [&](std::string id, std::string version, std::vector<std::string> answers) {
    return TypedSheet{std::move(id), std::move(version), std::move(answers), "Ann", "typed", ""};
  };
  std::vector<std::string> badOption = all;
  badOption[4] = "F";
  std::vector<std::string> twice = all;
  twice[6] = "AA";
  const std::pair<TypedSheet, const char*> cases[] = {
      {with("2024013", "1", all), "id: a student ID of this exam is"},
      {with("2024013X", "1", all), "id:"},
      {with("20240131", "3", all), "version: one of 1, 2"},
      {with("20240131", "", all), "version: one of 1, 2"},
      {with("20240131", "1", std::vector<std::string>(59, "A")), "answers: 59 typed, the exam has 60 items"},
      {with("20240131", "1", badOption),
       "answers: item 5 (question 15): \"F\" is not one of its options ABCDE"},
      {with("20240131", "1", twice), "item 7 (question 17): \"A\" is typed twice"},
  };
  for (const auto& [typed, words] : cases) {
    try {
      TypedFactsOf(exam, testing::Exam60Shape(), typed);
      ADD_FAILURE() << words << ": taken";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  }
  // An exam on several sheets a candidate: a typed sheet would be of no part.
  const ExamCheck parts = ParseExam(R"({"form": "f", "student": {"questions": "1-8"},
    "sheets": {"question": 9, "parts": {"1": "11-40", "2": "11-30"}}, "key": ")" +
                                        key.substr(0, 50) + "\"}",
                                    testing::Exam60Shape());
  ASSERT_TRUE(parts.problems.empty()) << parts.problems[0].message;
  try {
    TypedFactsOf(parts.exam, testing::Exam60Shape(), with("20240131", "", std::vector<std::string>(50, "A")));
    ADD_FAILURE() << "a sheet of an exam in parts typed without its part";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("part: name the sheet's part, one of 1, 2"), std::string::npos)
        << e.what();
  }
  EXPECT_THROW(ParseTypedResult("{\"id\": 1}"), Error);
  EXPECT_THROW(ParseTypedResult("not json"), Error);
}

// Of an exam in parts a typed sheet is one part's: what it holds, and the
// candidate it makes with the student's read sheet of the other part. The
// exams are parts_test's: items 1-3 on A, 4-5 on B (by layout: version 2 asks
// masters 3, 1, 2 then 5, 4; wrong -1, blank -0.5, floor 0), or parts told
// by question 4 on one layout (right 1, else 0).
TEST(TypedSheet, ASheetOfOnePartHoldsItsItemsAndCountsAsThatPart) {
  auto parsed = [](const std::string& text, const FormShape& shape) {
    const ExamCheck check = ParseExam(text, shape);
    EXPECT_TRUE(check.problems.empty()) << (check.problems.empty() ? "" : check.problems[0].message);
    return check.exam;
  };
  const FormShape two = testing::TwoSheets();
  FormShape one = two;
  one.layouts.pop_back();
  const Exam byLayout = parsed(R"({"form": "f", "student": {"questions": "1-2"}, "version": {"question": 3},
    "sheets": {"layout": true, "parts": {"A": "5-7", "B": "5-6"}},
    "key": "ABCDE", "keys": {"1": {}, "2": {"order": [3, 1, 2, 5, 4]}},
    "scoring": {"wrong": -1, "blank": -0.5, "floor": 0}})",
                               two);
  const Exam byQuestion = parsed(R"({"form": "f", "student": {"questions": "1-2"},
    "sheets": {"question": 4, "parts": {"1": "5-7", "2": "5-6"}}, "key": "ABCDE"})",
                                 one);
  std::string key;
  const Exam oneSheet = TwoVersions(key);
  const FormShape sixty = testing::Exam60Shape();
  auto sheetOf = [](std::string part, std::string version, std::vector<std::string> answers) {
    return TypedSheet{"12", std::move(version), std::move(answers), "Ann", "typed", std::move(part)};
  };
  struct Refused {
    const Exam* exam;
    const FormShape* shape;
    TypedSheet typed;
    const char* words;
  };
  const Refused refused[] = {
      {&byLayout, &two, sheetOf("C", "1", {"A", "B"}), "part: the exam has no part \"C\" (its parts: A, B)"},
      {&byLayout, &two, sheetOf("", "1", {"A", "B"}), "part: name the sheet's part, one of A, B"},
      {&byLayout, &two, sheetOf("B", "1", {"A", "B", "C"}), "answers: 3 typed, part B has 2 items"},
      {&byQuestion, &one, sheetOf("3", "", {"A", "B"}), "part: the exam has no part \"3\" (its parts: 1, 2)"},
      {&oneSheet, &sixty, sheetOf("A", "1", std::vector<std::string>(60, "A")),
       "part: this exam is on one sheet a candidate"},
  };
  for (const Refused& r : refused) {
    try {
      TypedFactsOf(*r.exam, *r.shape, r.typed);
      ADD_FAILURE() << r.words << ": taken";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(r.words), std::string::npos) << e.what();
    }
  }
  struct Case {
    const Exam* exam;
    const FormShape* shape;
    std::string part, version;
    std::vector<std::string> answers;
    char letter;
    double total;       // of the sheet: its own items, no floor
    const char* other;  // the read sheet of the other part: layout, version, part, answers
    double candidate;   // the two together, then the floor
  };
  const Case cases[] = {
      // Version 2, sheet B: masters 5 (E) and 4 (D); with A read as C, E, E (1 - 1 - 1).
      {&byLayout, &two, "B", "2", {"E", "D"}, 'B', 2, "A21CEE", 1},
      // Version 1, sheet A: A right, a blank, D wrong; with B read right: -0.5 + 2.
      {&byLayout, &two, "A", "1", {"A", "", "D"}, 'A', -0.5, "B11DE", 1.5},
      // A low part total is floored only in the candidate.
      {&byLayout, &two, "A", "1", {"E", "E", "E"}, 'A', -3, "B11D.", 0},
      // Part 2 by its question: masters 4 (D) and 5 (E), one right; with part 1 read right.
      {&byQuestion, &one, "2", "", {"D", "A"}, 'A', 1, "A11ABC", 4},
  };
  for (const Case& c : cases) {
    const TypedSheet typed = sheetOf(c.part, c.version, c.answers);
    const TypedFacts facts = TypedFactsOf(*c.exam, *c.shape, typed);
    EXPECT_EQ(facts.letter, c.letter) << c.part;
    EXPECT_EQ(ParseTypedResult(facts.result).part, c.part);
    SheetFacts sheet;
    sheet.number = 2;
    sheet.letter = facts.letter;
    for (int q = 1; q <= 7; ++q) sheet.responses.push_back({q, "", '.', 1, 0});
    for (const Response& r : facts.responses) sheet.responses[static_cast<std::size_t>(r.question - 1)] = r;
    const SheetScore typedScore = ScoreSheet(*c.exam, sheet, {});
    ASSERT_TRUE(typedScore.scored) << c.part << " "
                                   << (typedScore.reasons.empty() ? "" : typedScore.reasons[0].code);
    EXPECT_EQ(typedScore.part, c.part);
    EXPECT_DOUBLE_EQ(typedScore.total, c.total) << c.part;
    // The read sheet: ID 12, then its version and part characters, then its answers.
    const std::string o = c.other;
    SheetFacts read;
    read.number = 1;
    read.letter = o[0];
    const std::string chars = "12" + o.substr(1);
    for (std::size_t i = 0; i < chars.size(); ++i)
      read.responses.push_back({static_cast<int>(i + 1), chars[i] == '.' ? "" : std::string(1, chars[i]),
                                static_cast<unsigned char>(chars[i]), 1.0, 0});
    const std::vector<SheetScore> candidates =
        CombineSheets(*c.exam, {ScoreSheet(*c.exam, read, {}), typedScore});
    ASSERT_EQ(candidates.size(), 1u) << c.part;
    EXPECT_TRUE(candidates[0].scored && candidates[0].missing.empty()) << c.part;
    EXPECT_DOUBLE_EQ(candidates[0].total, c.candidate) << c.part;
    EXPECT_DOUBLE_EQ(candidates[0].maximum, 5) << c.part;
  }
}

}  // namespace
}  // namespace omr::exam
