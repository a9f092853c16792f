// An exam on two sheets a candidate in a project, in both stores: sheets of
// examples/twopart.form drawn by the simulator's synthesizer and stored one
// at a time in mixed order; the reasons each sheet gets as its student's other
// sheets come, are corrected and are made void are those a re-score of every
// sheet gives, and the candidates' totals are the sums written out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "form/form_loader.h"
#include "project.h"
#include "results.h"
#include "sim/synth.h"
#include "store_backends.h"

namespace omr::exam {
namespace {

namespace fs = std::filesystem;
using sim::Answer;

const std::string kForm = OMR_SOURCE_DIR "/examples/twopart.form";

class PartsProjectTest : public testing::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    location_ = backend_->NewLocation();
    dir_ = fs::temp_directory_path() / ("omr-parts-" + std::to_string(::getpid()) + "-" + GetParam());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy_file(kForm, dir_ / "twopart.form");
    // Master items 1-3 on sheet A, 4-5 on sheet B.
    std::ofstream(dir_ / "exam.json") << R"({"form": "twopart.form", "student": {"questions": "1-8"},
               "sheets": {"layout": true, "parts": {"A": "11-13", "B": "11-12"}},
               "key": "ABCDE", "scoring": {"wrong": -1}})";
    project_ = Project::Create(location_, (dir_ / "exam.json").string(), "exam", "test");
    std::int32_t error = 0;
    ASSERT_TRUE(ReadFormFile(forms_, settings_, kForm.c_str(), error));
  }
  void TearDown() override {
    project_.reset();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // Stores a sheet of layout A (0) or B (1) with this ID and these answers.
  int Add(int layout, const std::string& id, const std::string& answers, const std::string& station) {
    std::vector<Answer> all;
    for (const char c : id + "01" + answers) all.push_back(Answer::Char(c));
    sim::SheetGrid grid;
    std::string error;
    EXPECT_TRUE(sim::DrawSheet(forms_.Layout(kFaceA, layout), all, sim::DrawOptions{}, grid, error)) << error;
    SheetInput in;
    in.station = station;
    in.hasGrid = true;
    in.decoded = project_->form().Decode(
        {grid.Lines(), grid.Columns(), std::vector<std::uint8_t>(grid.Cells().begin(), grid.Cells().end())});
    return project_->AddSheet(in).number;
  }

  // Per sheet, its stored reasons; each must be what scoring every sheet again gives.
  std::vector<std::string> Reasons() {
    std::vector<std::string> stored;
    for (const ScoreRecord& r : project_->store().Scores(project_->examId()))
      stored.push_back(DescribeReasons(r.reasons));
    std::vector<std::string> again;
    for (const SheetScore& s : project_->ScoreAll()) again.push_back(DescribeReasons(s.reasons));
    EXPECT_EQ(stored, again);
    return stored;
  }

  std::string location_;
  fs::path dir_;
  std::unique_ptr<Project> project_;
  FormDefinition forms_;
  ReaderSettings settings_;
};

TEST_P(PartsProjectTest, ReasonsFollowAStudentsSheetsAsTheyComeAndGo) {
  EXPECT_EQ(Add(1, "12345678", "DE", "north"), 1);
  EXPECT_EQ(Add(0, "87654321", "ABA", "south"), 2);
  EXPECT_EQ(Add(0, "12345678", "ABC", "south"), 3);
  EXPECT_EQ(Add(1, "87654329", "DA", "north"), 4);  // the last digit read wrong
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"", "missing-part (part B)", "", "missing-part (part A)"}));

  // A person fixes the ID on its sheet: the candidate is whole.
  project_->Correct(4, "id", "87654321", "Ann", "");
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"", "", "", ""}));
  ExamResults results = BuildResults(*project_);
  ASSERT_EQ(results.students.size(), 2u);
  std::map<std::string, double> totals;
  for (const StudentResult& s : results.students) {
    EXPECT_EQ(s.status, "scored") << s.id;
    totals[s.id] = results.scores[static_cast<std::size_t>(s.score)].total;
  }
  EXPECT_EQ(totals["12345678"], 5);
  EXPECT_EQ(totals["87654321"], 1);  // 1 + 1 - 1 on A, 1 - 1 on B

  // Sheet A of a student fed again with other answers: the later one counts until one is made void.
  EXPECT_EQ(Add(0, "12345678", "AAC", "north"), 5);
  EXPECT_EQ(Reasons(),
            (std::vector<std::string>{"", "", "duplicate-part (sheet 5)", "", "duplicate-part (sheet 3)"}));
  results = BuildResults(*project_);
  const StudentResult* twice = FindStudent(results, "12345678");
  ASSERT_TRUE(twice);
  EXPECT_EQ(twice->status, "several sheets");
  EXPECT_EQ(twice->sheets, (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(results.scores[static_cast<std::size_t>(twice->score)].total, 3);  // 1 - 1 + 1 on A, 2 on B
  project_->Correct(5, "sheet", "void", "Ann", "fed twice");
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"", "", "", "", ""}));

  // Sheet B made void: its student misses it again.
  project_->Correct(1, "sheet", "void", "Ann", "");
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"", "", "missing-part (part B)", "", ""}));
  EXPECT_EQ(FindStudent(BuildResults(*project_), "12345678")->status, "missing part");
}

OMR_FOR_EACH_BACKEND(PartsProjectTest);

}  // namespace
}  // namespace omr::exam
