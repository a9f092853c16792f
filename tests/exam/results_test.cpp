// Grades, topics and groups in the exam file (each problem at its place), the
// grade of a total against the rule written out here, and a platform's file
// for the students it must leave out.
#include "results.h"

#include <gtest/gtest.h>

#include <cmath>

#include "error.h"
#include "exam_file.h"
#include "exam_test_util.h"
#include "lms.h"
#include "roster.h"

namespace omr::exam {
namespace {

using testing::Exam60Shape;

// 60 items worth one point each, a roster; `extra` is added to the object.
std::string ExamText(const std::string& extra) {
  return "{\"form\": \"f\", \"items\": \"11-70\", \"key\": \"" + std::string(60, 'A') +
         "\",\n \"student\": {\"questions\": \"1-8\", \"roster\": \"r.csv\"},\n " + extra + "}";
}

TEST(ResultsFile, GradesTopicsGroupsAndPlatformsAreRead) {
  const ExamCheck c = ParseExam(ExamText(R"("scoring": {"items": {"60": "void"}},
 "grades": {"on": "points", "bands": [{"min": 1, "grade": "F"}, {"min": 5.5, "grade": "A"}, {"min": 4, "grade": "C"}],
            "scale": {"from": [10, 59], "to": [1, 6]}, "round": {"step": 0.25, "mode": "half-even"}, "pass": "C"},
 "topics": {"Mechanics": "1-20", "Optics": [21, "22-35"], "Both": "15-25"},
 "groups": ["class", "room"],
 "lms": {"item": "Final", "value": "points", "canvas": {"SIS Login ID": "login", "Section": "class"},
         "blackboard": {"Username": "login", "column": "_123_1"}})"),
                                Exam60Shape());
  ASSERT_TRUE(c.problems.empty()) << c.problems.front().message;
  const Exam& e = c.exam;
  EXPECT_EQ(e.MaximumPoints(), 59);
  const GradeRules& g = e.grades;
  EXPECT_EQ(g.on, GradeBasis::kPoints);
  ASSERT_EQ(g.bands.size(), 3u);  // highest first, whatever the order written
  EXPECT_EQ(g.bands[0].grade, "A");
  EXPECT_EQ(g.bands[2].grade, "F");
  EXPECT_TRUE(g.scaled);
  EXPECT_EQ(g.fromLow, 10);
  EXPECT_EQ(g.fromHigh, 59);
  EXPECT_EQ(g.toHigh, 6);
  EXPECT_EQ(g.step, 0.25);
  EXPECT_EQ(g.mode, RoundMode::kHalfEven);
  EXPECT_EQ(g.pass, "C");
  ASSERT_EQ(e.topics.size(), 3u);
  EXPECT_EQ(e.topics[1].name, "Optics");
  EXPECT_EQ(e.topics[1].items.size(), 15u);
  EXPECT_EQ(e.topics[2].items.front(), 15);  // topics may share items
  EXPECT_EQ(e.groups, (std::vector<std::string>{"class", "room"}));
  EXPECT_EQ(e.lms.item, "Final");
  ASSERT_EQ(e.lms.columns.at("canvas").size(), 2u);
  EXPECT_EQ(e.lms.columns.at("canvas")[0], (std::pair<std::string, std::string>{"SIS Login ID", "login"}));
  EXPECT_EQ(e.lms.blackboardColumn, "_123_1");

  // The bands alone, as a list, grade the percent.
  const ExamCheck list = ParseExam(
      ExamText(R"("grades": [{"min": 50, "grade": "pass"}, {"min": 0, "grade": "fail"}])"), Exam60Shape());
  ASSERT_TRUE(list.problems.empty()) << list.problems.front().message;
  EXPECT_EQ(list.exam.grades.on, GradeBasis::kPercent);
  EXPECT_EQ(list.exam.grades.bands.size(), 2u);
}

struct Bad {
  const char* name;
  std::string extra;  // after ExamText's third line, which starts at column 2
  std::string pointer;
  int line;
  int column;
  std::string says;
};

TEST(ResultsFile, EveryProblemIsNamedAtItsPlace) {
  const std::vector<Bad> cases = {
      {"grades not a list", R"("grades": 90)", "/grades", 3, 12, "must be the grade bands"},
      {"band without min", R"("grades": [{"grade": "A"}])", "/grades/0/min", 3, 13, "is required"},
      {"band twice", R"("grades": [{"min": 90, "grade": "A"}, {"min": 80, "grade": "A"}])", "/grades/1/grade",
       3, 61, "\"A\" is given twice"},
      {"same minimum", R"("grades": [{"min": 90, "grade": "A"}, {"min": 90, "grade": "B"}])", "/grades/1/min",
       3, 48, "two bands start at 90"},
      {"beyond the percent", R"("grades": [{"min": 101, "grade": "A+"}])", "/grades/0/min", 3, 21,
       "a percent is at most 100"},
      {"beyond the points", R"("grades": {"on": "points", "bands": [{"min": 61, "grade": "A"}]})",
       "/grades/bands/0/min", 3, 47, "the exam has 60 points"},
      {"beyond the scale", R"("grades": {"scale": {"to": 20}, "bands": [{"min": 21, "grade": "A"}]})",
       "/grades/bands/0/min", 3, 52, "the scale ends at 20"},
      {"on what", R"("grades": {"on": "marks", "bands": []})", "/grades/on", 3, 19,
       "\"percent\" or \"points\""},
      {"flat scale", R"("grades": {"scale": {"from": [0, 50], "to": [10, 10]}})", "/grades/scale/to", 3, 46,
       "its two ends are equal"},
      {"falling source", R"("grades": {"scale": {"from": [50, 0], "to": 20}})", "/grades/scale/from", 3, 31,
       "must rise"},
      {"round step", R"("grades": {"scale": {"to": 20}, "round": 0})", "/grades/round", 3, 43, "above 0"},
      {"round mode", R"("grades": {"scale": {"to": 20}, "round": {"step": 1, "mode": "nearest"}})",
       "/grades/round/mode", 3, 63, "\"half-up\""},
      {"pass unknown", R"("grades": {"bands": [{"min": 50, "grade": "P"}], "pass": "Q"})", "/grades/pass", 3,
       59, "the grade of one of the bands"},
      {"topic beyond", R"("topics": {"Optics": "50-61"})", "/topics/Optics", 3, 23,
       "master item 61 does not exist"},
      {"topic twice", R"("topics": {"Optics": ["5", "1-9"]})", "/topics/Optics/1", 3, 29,
       "master item 5 is named twice"},
      {"topic shape", R"("topics": {"Optics": "a-b"})", "/topics/Optics", 3, 23, "master item numbers"},
      {"groups twice", R"("groups": ["class", "class"])", "/groups/1", 3, 22, "named twice"},
      {"platform unknown", R"("lms": {"sakai": {}})", "/lms/sakai", 3, 10,
       "expected one of: item, value, moodle"},
      {"platform key", R"("lms": {"canvas": {"Email": "email"}})", "/lms/canvas/Email", 3, 21,
       "\"Email\" is not an identifier column of Canvas"},
      {"moodle one key", R"("lms": {"moodle": {"ID number": "id", "Email address": "email"}})",
       "/lms/moodle/Email address", 3, 40, "Moodle takes one identifier column"},
      {"mark without scale", R"("lms": {"value": "mark"})", "/lms/value", 3, 19, "has no \"scale\""},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.name);
    const ExamCheck check = ParseExam(ExamText(c.extra), Exam60Shape());
    ASSERT_FALSE(check.problems.empty());
    const Problem& p = check.problems.front();
    EXPECT_EQ(p.pointer, c.pointer);
    EXPECT_EQ(p.line, c.line);
    EXPECT_EQ(p.column, c.column);
    EXPECT_NE(p.message.find(c.says), std::string::npos) << p.message;
  }
  // Groups are roster columns: an exam without a roster has none.
  const ExamCheck none =
      ParseExam("{\"form\": \"f\", \"items\": \"11\", \"key\": \"A\", \"groups\": \"class\"}", Exam60Shape());
  ASSERT_FALSE(none.problems.empty());
  EXPECT_NE(none.problems.front().message.find("no roster"), std::string::npos);
}

TEST(ResultsFile, RosterColumnsTheExamNamesMustBeTheRosters) {
  const std::string text = ExamText(R"("groups": ["class", "room"],
 "lms": {"brightspace": {"OrgDefinedId": "id", "Username": "login"}})");
  const ExamCheck check = ParseExam(text, Exam60Shape());
  ASSERT_TRUE(check.problems.empty());
  Roster roster;
  std::string error;
  ASSERT_TRUE(ParseRoster("id,name,class\n20240001,Ann,7A\n", roster, error)) << error;
  const std::vector<Problem> problems = CheckRosterColumns(check.exam, text, roster);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].pointer, "/groups/1");
  EXPECT_EQ(problems[0].line, 3);
  EXPECT_EQ(problems[0].column, 22);
  EXPECT_NE(problems[0].message.find("\"room\" is not a column of the roster (its columns: id, name, class)"),
            std::string::npos)
      << problems[0].message;
  EXPECT_EQ(problems[1].pointer, "/lms/brightspace/Username");
  EXPECT_EQ(problems[1].line, 4);
}

// The rule, written out: v = percent (or points); scaled v' = a + (v - lo)(b - a)/(hi - lo),
// clamped to [a, b]; rounded to a multiple of the step; the grade is the highest band whose
// minimum v' reaches.
TEST(ResultsGrades, TheMarkAndGradeFollowTheStatedRule) {
  auto bands = [](GradeRules r) {
    r.bands = {{90, "A"}, {80, "B"}, {50, "C"}, {0, "F"}};
    return r;
  };
  GradeRules percent = bands({});
  GradeRules points = bands({});
  points.on = GradeBasis::kPoints;
  GradeRules twenty = {};
  twenty.scaled = true;
  twenty.toHigh = 20;
  twenty.step = 0.5;
  twenty.bands = {{10, "pass"}, {0, "fail"}};
  GradeRules ranged = twenty;
  ranged.fromLow = 20;  // percent 20 is mark 1, percent 80 mark 6
  ranged.fromHigh = 80;
  ranged.toLow = 1;
  ranged.toHigh = 6;
  ranged.step = 0.1;
  ranged.bands = {{4, "pass"}, {1, "fail"}};
  GradeRules even = twenty;
  even.mode = RoundMode::kHalfEven;
  GradeRules down = twenty;
  down.mode = RoundMode::kDown;
  GradeRules up = twenty;
  up.mode = RoundMode::kUp;
  struct Case {
    const char* name;
    const GradeRules* rules;
    double total, maximum;
    std::optional<double> mark;
    std::string grade;
    bool passed;
  };
  const std::vector<Case> cases = {
      {"a band's minimum is in it", &percent, 45, 50, std::nullopt, "A", true},
      {"just below", &percent, 44.95, 50, std::nullopt, "B", true},
      // 0.1 * 3 adds up to 0.30000000000000004; 27 of 30 is 90 % however it was summed.
      {"binary noise", &percent, 0.1 + 0.1 + 0.1 + 26.7, 30, std::nullopt, "A", true},
      {"the lowest band fails", &percent, 10, 50, std::nullopt, "F", false},
      {"below every band", &percent, -5, 50, std::nullopt, "", false},
      {"on points", &points, 80, 200, std::nullopt, "B", true},
      {"scaled to 20, halves", &twenty, 37, 60, 12.5, "pass", true},      // 61.67 % -> 12.33 -> 12.5
      {"a tie rounds up", &twenty, 15, 40, 7.5, "fail", false},           // 7.5 exactly
      {"half-up tie", &twenty, 39, 60, 13, "pass", true},                 // 13.0
      {"half-even tie", &even, 12.75, 20, 13, "pass", true},              // 12.75 -> 13 (even)
      {"half-even tie down", &even, 12.25, 20, 12, "pass", true},         // 12.25 -> 12 (even)
      {"down", &down, 59, 60, 19.5, "pass", true},                        // 19.67 -> 19.5
      {"up", &up, 1, 60, 0.5, "fail", false},                             // 0.33 -> 0.5
      {"range, clamped below", &ranged, 5, 50, 1, "fail", false},         // 10 % -> below 20 %
      {"range, inside", &ranged, 25, 50, 3.5, "fail", false},             // 50 % -> 3.5
      {"range, clamped above", &ranged, 49, 50, 6, "pass", true},         // 98 % -> above 80 %
      {"range, a tie in tenths", &ranged, 24.7, 50, 3.5, "fail", false},  // 49.4 % -> 3.45 -> 3.5
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const GradeResult g = GradeOf(*c.rules, c.total, c.maximum);
    ASSERT_EQ(g.mark.has_value(), c.mark.has_value());
    if (c.mark) {
      EXPECT_NEAR(*g.mark, *c.mark, 1e-12);
    }
    EXPECT_EQ(g.grade, c.grade);
    EXPECT_EQ(g.passed, c.passed);
  }
  EXPECT_FALSE(GradeOf(percent, 0, 0).value);  // every item void: no percent, no grade
  EXPECT_FALSE(GradeOf(GradeRules{}, 10, 20).value);
  // 2.675 is 2.67499999999999982236431605997495353221893310546875 in binary.
  EXPECT_EQ(RoundToStep(2.675, 0.01, RoundMode::kHalfUp), 2.68);
  EXPECT_EQ(RoundToStep(-2.5, 1, RoundMode::kHalfUp), -2);
}

TEST(ResultsGrades, TopicsAndCountsOfASheet) {
  const ExamCheck c = ParseExam(
      ExamText(R"("scoring": {"wrong": -0.5, "items": {"2": "void", "3": "bonus", "4": {"points": 3}}},
 "topics": {"First": "1-4", "Rest": "5-60"})"),
      Exam60Shape());
  ASSERT_TRUE(c.problems.empty()) << c.problems.front().message;
  SheetScore s;
  s.scored = true;
  for (int m = 1; m <= 60; ++m) {
    ItemScore item;
    item.master = m;
    item.outcome = m == 2       ? Outcome::kVoid
                   : m == 3     ? Outcome::kBonus
                   : m % 5 == 0 ? Outcome::kWrong
                   : m % 7 == 0 ? Outcome::kBlank
                   : m == 11    ? Outcome::kMultiple
                                : Outcome::kCorrect;
    item.points = item.outcome == Outcome::kCorrect ? (m == 4 ? 3 : 1)
                  : item.outcome == Outcome::kBonus ? 1
                  : item.outcome == Outcome::kWrong ? -0.5
                                                    : 0;
    s.items.push_back(item);
  }
  const std::vector<TopicScore> t = TopicScores(c.exam, s);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].maximum, 5);  // 1 + (void) + 1 + 3
  EXPECT_EQ(t[0].points, 5);
  EXPECT_EQ(*t[0].percent, 100);
  // Items 5-60: 56 items, 12 multiples of 5 wrong, multiples of 7 but not 5 blank (7 of them), item 11
  // multiple.
  EXPECT_EQ(t[1].maximum, 56);
  EXPECT_DOUBLE_EQ(t[1].points, (56 - 12 - 7 - 1) - 0.5 * 12);
  const AnswerCounts n = CountAnswers(s);
  EXPECT_EQ(n.right, 58 - 12 - 7 - 1);  // void and bonus count in none
  EXPECT_EQ(n.wrong, 12);
  EXPECT_EQ(n.blank, 7);
  EXPECT_EQ(n.multiple, 1);
}

// The students a platform's file must leave out, and the file's refusals.
TEST(ResultsLms, OnlyRosterStudentsWithTheirIdentifiersAreWritten) {
  const ExamCheck c = ParseExam(
      ExamText(R"("lms": {"item": "Final", "brightspace": {"OrgDefinedId": "id", "Username": "login"}})"),
      Exam60Shape());
  ASSERT_TRUE(c.problems.empty()) << c.problems.front().message;
  Roster roster;
  std::string error;
  ASSERT_TRUE(ParseRoster("id,name,login\n20240001,Ann,ann\n20240002,Bob,\n20240003,Cy,cy\n20240004,Di,di\n",
                          roster, error));
  std::vector<SheetScore> scores;
  auto sheet = [&](int number, const std::string& id, double total) {
    SheetScore s;
    s.number = number;
    s.scored = true;
    s.idState = IdState::kValid;
    s.studentId = id;
    s.version = "1";
    s.total = total;
    s.maximum = 60;
    s.percent = 100 * total / 60;
    s.items.resize(60);
    scores.push_back(s);
  };
  sheet(1, "20240001", 41.5);
  sheet(2, "20240002", 30);  // no login in the roster
  sheet(3, "99999999", 50);  // not in the roster
  sheet(4, "20240004", 10);  // twice
  sheet(5, "20240004", 12);
  const ExamResults results = BuildResults(c.exam, Exam60Shape(), roster, scores);
  LmsOptions o;
  o.platform = "brightspace";
  const LmsFile f = BuildLmsFile(c.exam, roster, results, o);
  EXPECT_EQ(f.text,
            "OrgDefinedId,Username,Final Points Grade,End-of-Line Indicator\r\n"
            "#20240001,#ann,41.5,#\r\n"
            "#20240002,,30,#\r\n");
  EXPECT_EQ(f.written, 2);
  ASSERT_EQ(f.skipped.size(), 2u);
  EXPECT_NE(f.skipped[0].find("20240004 (Di): several sheets (4, 5)"), std::string::npos) << f.skipped[0];
  EXPECT_NE(f.skipped[1].find("99999999 (sheet 3): not in the roster"), std::string::npos) << f.skipped[1];
  // One absent roster student (20240003) is counted, not listed.
  EXPECT_NE(f.notes.front().find("1 student of the roster had no sheet"), std::string::npos);

  // Canvas needs its SIS User ID: a student without one is left out, never written with a made-up one.
  o.platform = "canvas";
  o.idColumn = "login";
  const LmsFile canvas = BuildLmsFile(c.exam, roster, results, o);
  EXPECT_EQ(canvas.text,
            "Student,ID,SIS User ID,SIS Login ID,Section,Final\r\n"
            "Points Possible,,,,,60\r\n"
            "Ann,,ann,,,41.5\r\n");
  EXPECT_NE(canvas.skipped[0].find("20240002 (Bob): the roster gives no SIS User ID (roster column login)"),
            std::string::npos)
      << canvas.skipped[0];

  // Every refusal is known before any student is looked at (the office page shows it instead of a link),
  // in the words the file's builder throws.
  EXPECT_EQ(LmsProblem(c.exam, roster, o), "");
  const Roster none;
  struct Refused {
    std::string platform, item, idColumn;
    const Roster* roster;
    std::string says;
  };
  for (const Refused& r : std::vector<Refused>{
           {"canvas", "=HYPERLINK(1)", "login", &roster, "begins like a spreadsheet formula"},
           {"canvas", "a\nb", "login", &roster, "one line"},
           {"canvas", "", "email", &roster, "the roster has no column \"email\" for Canvas's SIS User ID"},
           {"sakai", "", "", &roster, "not a platform this system writes for"},
           {"moodle", "", "", &none,
            "Moodle finds students by the identifiers the roster gives, and the exam has no roster"},
           {"blackboard", "a|b", "", &roster, "cannot hold \"|\""},
       }) {
    o.platform = r.platform;
    o.itemName = r.item;
    o.idColumn = r.idColumn;
    const std::string problem = LmsProblem(c.exam, *r.roster, o);
    EXPECT_NE(problem.find(r.says), std::string::npos) << problem;
    try {
      BuildLmsFile(c.exam, *r.roster, results, o);
      ADD_FAILURE() << r.says;
    } catch (const Error& e) {
      EXPECT_EQ(e.what(), problem);
    }
  }
}

}  // namespace
}  // namespace omr::exam
