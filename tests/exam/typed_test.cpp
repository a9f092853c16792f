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
  TypedSheet typed{"20240131", "2", answers, "Ann", "typed"};
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
    return TypedSheet{std::move(id), std::move(version), std::move(answers), "Ann", "typed"};
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
    ADD_FAILURE() << "a sheet of an exam in parts typed";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("several sheets a candidate"), std::string::npos) << e.what();
  }
  EXPECT_THROW(ParseTypedResult("{\"id\": 1}"), Error);
  EXPECT_THROW(ParseTypedResult("not json"), Error);
}

}  // namespace
}  // namespace omr::exam
