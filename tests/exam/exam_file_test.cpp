// The exam file: what a valid one gives, and where each mistake is reported.
#include "exam_file.h"

#include <gtest/gtest.h>

#include "exam_test_util.h"

namespace omr::exam {
namespace {

using testing::Exam60Shape;

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(ExamFile, ValidFileGivesKeysOrderAndRules) {
  const std::string v2order = [] {
    std::string o;
    for (int i = 60; i >= 1; --i) o += std::to_string(i) + (i > 1 ? "," : "");
    return o;
  }();
  const std::string text = R"({
    // two versions, the second in reverse order
    "title": "Final", "form": "exam60.form",
    "student": {"questions": "1-8", "roster": "students.csv"},
    "version": {"question": 10},
    "items": "11-70",
    "keys": {"1": ")" + Repeat("ABCDE", 12) +
                           R"(",
             "2": {"answers": ")" +
                           Repeat("EDCBA", 12) + R"(", "order": [)" + v2order + R"(]}},
    /* scoring */
    "scoring": {"wrong": -0.25, "floor": 0,
                "items": {"3": "void", "4": "bonus", "5-6": {"points": 2, "accept": "BC"},
                          "7": {"all": "AC", "partial": true}}},
    "review": {"confidence": 0.4, "blank": true, "multiple": false}
  })";
  const ExamCheck c = ParseExam(text, Exam60Shape());
  ASSERT_TRUE(c.problems.empty()) << c.problems.front().message;
  const Exam& e = c.exam;
  EXPECT_EQ(e.title, "Final");
  EXPECT_EQ(e.roster, "students.csv");
  EXPECT_EQ(e.studentQuestions, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(e.studentTypes, "BBBBBBBB");
  EXPECT_EQ(e.versionSource, VersionSource::kQuestion);
  EXPECT_EQ(e.versionQuestion, 10);
  ASSERT_EQ(e.ItemCount(), 60);
  EXPECT_EQ(e.items.front(), 11);
  ASSERT_EQ(e.keys.size(), 2u);
  EXPECT_EQ(e.keys[1].order.front(), 60);
  // Version 2's first item is master item 60; its key there is 'E', the
  // master key of item 60 is 'E' (60 = 12 x ABCDE).
  EXPECT_EQ(e.KeyFor(e.keys[1], 60), 'E');
  EXPECT_EQ(e.KeyFor(e.keys[0], 60), 'E');
  EXPECT_EQ(e.KeyFor(e.keys[1], 1), 'A');  // version 2's last item
  EXPECT_EQ(e.rules[2].kind, ItemKind::kVoid);
  EXPECT_EQ(e.rules[3].kind, ItemKind::kBonus);
  EXPECT_EQ(e.rules[4].points, 2);
  EXPECT_EQ(e.rules[5].accept, "BC");
  EXPECT_EQ(e.rules[6].all, "AC");
  EXPECT_TRUE(e.rules[6].partial);
  EXPECT_EQ(e.rules[0].wrong, -0.25);  // the default reaches items without rules
  EXPECT_EQ(e.rules[4].wrong, -0.25);
  ASSERT_TRUE(e.floor.has_value());
  EXPECT_EQ(*e.floor, 0);
  EXPECT_EQ(e.review.confidence, 0.4);
  EXPECT_TRUE(e.review.blank);
  EXPECT_FALSE(e.review.multiple);
  EXPECT_TRUE(e.review.doubtful);  // the default
  EXPECT_EQ(e.masterKey, Repeat("ABCDE", 12));
  EXPECT_EQ(e.RoleOf(3), "student");
  EXPECT_EQ(e.RoleOf(10), "version");
  EXPECT_EQ(e.RoleOf(11), "item");
  EXPECT_EQ(e.RoleOf(9), "");
}

struct BadCase {
  const char* name;
  std::string text;
  std::string pointer;
  int line;
  int column;
  std::string says;
};

TEST(ExamFile, EveryProblemNamesPointerLineColumnAndWhat) {
  const std::string key = Repeat("A", 60);
  const std::string head = "{\"form\": \"f\", \"items\": \"11-70\",\n";
  const std::vector<BadCase> cases = {
      {"syntax", "{\"form\": \"f\",\n  \"items\": [1,,2]}", "/items/1", 2, 15, "not valid JSON"},
      {"not an object", "[1]", "", 1, 1, "one JSON object"},
      {"unknown member", head + " \"kyes\": {}}", "/kyes", 2, 2, "unknown member \"kyes\""},
      {"missing keys", "{\"form\": \"f\",\n \"items\": \"11-70\"}", "/keys", 1, 1, "is required"},
      {"bad range", "{\"form\": \"f\", \"keys\": {\"A\": \"A\"},\n \"items\": \"70-11\"}", "/items", 2, 11,
       "ranges"},
      {"question beyond the form",
       head + " \"student\": {\"questions\": \"71-78\"}, \"keys\": {\"A\": \"" + key + "\"}}",
       "/student/questions", 2, 27, "not a question of the form"},
      {"two roles", head + " \"student\": {\"questions\": \"1-12\"}, \"keys\": {\"A\": \"" + key + "\"}}",
       "/items", 1, 24, "question 11 is used twice"},
      {"short key", head + " \"keys\": {\"A\": \"ABC\"}}", "/keys/A", 2, 16, "has 3 answers for 60 items"},
      {"not an option", head + " \"keys\": {\"A\": \"" + Repeat("A", 4) + "F" + Repeat("A", 55) + "\"}}",
       "/keys/A", 2, 21, "item 5 (question 15): \"F\" is not one of its options"},
      {"two keys, no version", head + " \"keys\": {\"A\": \"" + key + "\", \"B\": \"" + key + "\"}}", "/keys",
       2, 10, "several keys need a \"version\""},
      {"order not a permutation",
       "{\"form\": \"f\", \"items\": \"11-13\", \"version\": {\"question\": 10},\n \"keys\": {\"1\": "
       "\"ABC\", \"2\": "
       "{\"answers\": \"ABC\", \"order\": [1, 1, 3]}}}",
       "/keys/2/order/1", 2, 60, "named twice"},
      {"layout letter",
       "{\"form\": \"f\", \"items\": \"11\", \"version\": {\"layout\": true},\n \"keys\": {\"Z\": \"A\"}}",
       "/keys/Z", 2, 11, "not a form letter"},
      {"negative points",
       head + " \"keys\": {\"A\": \"" + key + "\"},\n \"scoring\": {\"items\": {\"2\": {\"points\": -1}}}}",
       "/scoring/items/2/points", 3, 40, "cannot be negative"},
      {"item beyond",
       head + " \"keys\": {\"A\": \"" + key + "\"},\n \"scoring\": {\"items\": {\"61\": \"void\"}}}",
       "/scoring/items/61", 3, 24, "does not exist"},
      {"accept label",
       head + " \"keys\": {\"A\": \"" + key +
           "\"},\n \"scoring\": {\"items\": {\"2\": {\"accept\": \"X\"}}}}",
       "/scoring/items/2/accept", 3, 40, "\"X\" is not an option of master item 2"},
      {"partial without all",
       head + " \"keys\": {\"A\": \"" + key +
           "\"},\n \"scoring\": {\"items\": {\"2\": {\"partial\": true}}}}",
       "/scoring/items/2/partial", 3, 41, "applies to an item with \"all\""},
      {"rules twice",
       head + " \"keys\": {\"A\": \"" + key +
           "\"},\n \"scoring\": {\"items\": {\"1-3\": \"void\", \"2\": \"bonus\"}}}",
       "/scoring/items/2", 3, 39, "already has rules at /scoring/items/1-3"},
      {"star on a scored item", head + " \"keys\": {\"A\": \"*" + Repeat("A", 59) + "\"}}", "/keys/A", 2, 17,
       "\"*\" is only for a void, bonus or \"all\" item"},
      {"huge number", head + " \"keys\": {\"A\": \"" + key + "\"},\n \"scoring\": {\"correct\": 1e999}}",
       "/scoring/correct", 3, 25, "the number 1e999 is beyond"},
      // The same number in a comment and a text first: the place is the number's own.
      {"huge number in a list",
       "{\"form\": \"f\", // 1e400\n \"title\": \"-1e400\", \"items\": [11, -1e400]}", "/items/1", 2, 35,
       "the number -1e400 is beyond"},
      {"huge integer",
       head + " \"keys\": {\"A\": \"" + key + "\"}, \"review\": {\"confidence\": 1" + std::string(400, '0') +
           "}}",
       "/review/confidence", 2, 106, "is beyond"},
      {"review switch", head + " \"keys\": {\"A\": \"" + key + "\"}, \"review\": {\"blank\": 1}}",
       "/review/blank", 2, 101, "true or false"},
      {"roster encoding",
       "{\"form\": \"f\", \"items\": \"11\", \"keys\": {\"A\": \"A\"},\n \"student\": {\"questions\": "
       "\"1-8\", "
       "\"roster\": \"r.csv\", \"roster_encoding\": \"klingon\"}}",
       "/student/roster_encoding", 2, 72, "not a character set"},
      // A key is given once: versions follow it through their order.
      {"version against the first",
       "{\"form\": \"f\", \"items\": \"11-13\", \"version\": {\"question\": 10},\n \"keys\": {\"1\": "
       "\"ABC\", \"2\": {\"answers\": \"CBB\", \"order\": [3, 2, 1]}}}",
       "/keys/2/answers", 2, 43,
       "item 3 of version 2 is master item 1: version 2 gives \"B\", version 1 gives \"A\" (its item 1)"},
      {"version against the master key",
       "{\"form\": \"f\", \"items\": \"11-13\", \"version\": {\"question\": 10}, \"key\": \"ABC\",\n "
       "\"keys\": {\"1\": {}, \"2\": \"ABD\"}}",
       "/keys/2", 2, 28, "version 2 gives \"D\", the master key (\"key\") gives \"C\""},
      {"master key not an option",
       "{\"form\": \"f\", \"items\": \"11-13\", \"version\": {\"question\": 10}, \"key\": \"ABF\",\n "
       "\"keys\": {\"1\": {}, \"2\": {\"order\": [3, 2, 1]}}}",
       "/key", 1, 72, "master item 3 (question 13 on version 1): \"F\" is not one of its options"},
      {"versions need names",
       "{\"form\": \"f\", \"items\": \"11-13\", \"version\": {\"question\": 10},\n "
       "\"key\": \"ABC\"}",
       "/keys", 1, 1, "name the versions"},
      {"confidence", head + " \"keys\": {\"A\": \"" + key + "\"}, \"review\": {\"confidence\": 2}}",
       "/review/confidence", 2, 106, "from 0 to 1"},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ExamCheck check = ParseExam(c.text, Exam60Shape());
    ASSERT_FALSE(check.problems.empty());
    const Problem& p = check.problems.front();
    EXPECT_EQ(p.pointer, c.pointer);
    EXPECT_EQ(p.line, c.line);
    EXPECT_EQ(p.column, c.column);
    EXPECT_NE(p.message.find(c.says), std::string::npos) << p.message;
  }
}

TEST(ExamFile, StarIsAllowedWhereTheKeyDoesNotCount) {
  const std::string text =
      "{\"form\": \"f\", \"items\": \"11-13\", \"keys\": {\"A\": \"*B*\"},"
      " \"scoring\": {\"items\": {\"1\": \"void\", \"3\": {\"all\": \"AB\"}}}}";
  const ExamCheck c = ParseExam(text, Exam60Shape());
  EXPECT_TRUE(c.problems.empty()) << (c.problems.empty() ? "" : c.problems.front().message);
}

// One master key; each version's answers follow through its order, given or not.
TEST(ExamFile, MasterKeyGivesEveryVersionsAnswers) {
  const std::string text =
      "{\"form\": \"f\", \"items\": \"11-14\", \"version\": {\"question\": 10}, \"key\": \"ABCD\",\n"
      " \"keys\": {\"1\": {\"order\": [2, 1, 3, 4]}, \"2\": {\"order\": [4, 3, 2, 1]},"
      " \"3\": {\"answers\": \"*ACD\", \"order\": [2, 1, 3, 4]}},\n"
      " \"scoring\": {\"items\": {\"2\": \"void\"}}}";  // a void item's key does not count
  const ExamCheck c = ParseExam(text, Exam60Shape());
  ASSERT_TRUE(c.problems.empty()) << c.problems.front().message;
  ASSERT_EQ(c.exam.keys.size(), 3u);
  EXPECT_EQ(c.exam.masterKey, "ABCD");
  EXPECT_EQ(c.exam.keys[0].answers, "BACD");
  EXPECT_EQ(c.exam.keys[1].answers, "DCBA");
  EXPECT_EQ(c.exam.keys[2].answers, "*ACD");
  // One version only: the master key is its key.
  const ExamCheck single =
      ParseExam("{\"form\": \"f\", \"items\": \"11-12\", \"key\": \"EA\"}", Exam60Shape());
  ASSERT_TRUE(single.problems.empty()) << single.problems.front().message;
  ASSERT_EQ(single.exam.keys.size(), 1u);
  EXPECT_EQ(single.exam.keys[0].answers, "EA");
}

// What a person types as a student ID must be what the ID questions code:
// 8 weighted digits (0-9 each) on the sample form.
TEST(ExamFile, StudentIdShape) {
  const ExamCheck c =
      ParseExam("{\"form\": \"f\", \"items\": \"11\", \"key\": \"A\", \"student\": {\"questions\": \"1-8\"}}",
                Exam60Shape());
  ASSERT_TRUE(c.problems.empty()) << c.problems.front().message;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"20251429", ""},
      {"#20251429", "\"#20251429\" has 9 characters"},
      {"ABCDEFGH", "\"A\" at position 1, where only 0-9 can be"},
      {"2025142", "has 7 characters"},
      {"2025142x", "\"x\" at position 8"},
  };
  for (const auto& [id, says] : cases) {
    std::string error;
    EXPECT_EQ(c.exam.CheckStudentId(id, error), says.empty()) << id;
    EXPECT_NE(error.find(says), std::string::npos) << error;
    if (!says.empty()) {
      EXPECT_NE(error.find("8 characters, each one of 0-9"), std::string::npos) << error;
    }
  }
  // The characters each field type can code.
  const std::vector<std::pair<QuestionShape, std::string>> types = {
      {{1, 'S', "AB DE"}, "ABDE"},  // a label blank is no option
      {{1, 'B', "8421"}, "0123456789"}, {{1, 'B', "421"}, "01234567"}, {{1, 'b', "8421"}, "0123456789ABCDEF"},
      {{1, 'm', "ABC"}, "01234567"},
  };
  for (const auto& [question, codable] : types)
    EXPECT_EQ(CodableCharacters(question), codable) << question.type;
}

// A project made before versions were checked against the master key still
// opens: its stored exam file counts as it was taken.
TEST(ExamFile, AStoredRevisionKeepsItsVersionsAnswers) {
  const std::string text =
      "{\"form\": \"f\", \"items\": \"11-12\", \"version\": {\"question\": 10},"
      " \"keys\": {\"1\": \"AB\", \"2\": \"AC\"}}";
  EXPECT_FALSE(ParseExam(text, Exam60Shape()).problems.empty());
  const ExamCheck stored = ParseExam(text, Exam60Shape(), true);
  ASSERT_TRUE(stored.problems.empty()) << stored.problems.front().message;
  EXPECT_EQ(stored.exam.keys[1].answers, "AC");
}

TEST(ExamFile, FormatNamesFileLineColumnPointer) {
  EXPECT_EQ(FormatProblem("exam.json", {"/keys/A", 3, 7, "too short"}), "exam.json:3:7: /keys/A: too short");
}

TEST(ExamFile, Ranges) {
  const std::vector<std::pair<std::string, std::vector<int>>> good = {
      {"5", {5}}, {"1-3", {1, 2, 3}}, {"1,3, 5-6", {1, 3, 5, 6}}, {"7-7", {7}}};
  for (const auto& [text, numbers] : good) {
    std::vector<int> out;
    EXPECT_TRUE(ParseRanges(text, out)) << text;
    EXPECT_EQ(out, numbers) << text;
  }
  for (const char* bad : {"", "0", "3-1", "1,,2", "a", "1-", "-3", "1-2000000"}) {
    std::vector<int> out;
    EXPECT_FALSE(ParseRanges(bad, out)) << bad;
  }
}

}  // namespace
}  // namespace omr::exam
