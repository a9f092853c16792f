// A project with the offline recognition under it, in both stores: sheets
// drawn by the simulator's synthesizer, corrections refused where they do not
// fit, a rescan with a changed G line, pictures of stored sheets, a spool and
// its import, two programs on one project.
#include "project.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "backup.h"
#include "form/form_loader.h"
#include "sim/synth.h"
#include "store_backends.h"

namespace omr::exam {
namespace {

namespace fs = std::filesystem;
using sim::Answer;
using sim::Mark;
using sim::MarkStyle;

const std::string kForm = OMR_SOURCE_DIR "/examples/exam60.form";

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ProjectTest : public testing::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    location_ = backend_->NewLocation();
    dir_ = fs::temp_directory_path() / ("omr-project-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // Items 11-20 keyed ABCDEABCDE; the form beside the exam file.
    fs::copy_file(kForm, dir_ / "exam60.form");
    std::ofstream(dir_ / "exam.json")
        << "{\"form\": \"exam60.form\", \"student\": {\"questions\": \"1-8\"},\n"
           " \"items\": \"11-20\", \"keys\": {\"A\": \"ABCDEABCDE\"}}\n";
    project_ = Project::Create(location_, (dir_ / "exam.json").string(), "exam", "test");
    std::int32_t error = 0;
    ASSERT_TRUE(ReadFormFile(forms_, settings_, kForm.c_str(), error));
    forms_.SelectLayout(kFaceA);
  }
  void TearDown() override {
    project_.reset();
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // A sheet with this ID and the given answers to items 1..n.
  SheetInput Drawn(std::vector<Answer> items, std::uint32_t seed = 1, const std::string& id = "12345678") {
    std::vector<Answer> answers;
    for (const char c : id + "01") answers.push_back(Answer::Char(c));
    for (Answer& a : items) answers.push_back(std::move(a));
    sim::DrawOptions draw;
    draw.seed = seed;
    sim::SheetGrid grid;
    std::string error;
    EXPECT_TRUE(sim::DrawSheet(forms_.Layout(kFaceA, 0), answers, draw, grid, error)) << error;
    SheetInput in;
    in.station = "t";
    in.hasGrid = true;
    in.decoded = project_->form().Decode(
        {grid.Lines(), grid.Columns(), std::vector<std::uint8_t>(grid.Cells().begin(), grid.Cells().end())});
    return in;
  }

  std::string location_;
  fs::path dir_;
  std::unique_ptr<Project> project_;
  FormDefinition forms_;
  ReaderSettings settings_;
};

TEST_P(ProjectTest, SheetsScoreAsDrawnAndCorrectionsThatDoNotFitAreRefused) {
  std::vector<Answer> items;
  for (const char c : std::string("ABCDEABCDE")) items.push_back(Answer::Char(c));
  items[1] = Answer::Marks({{0}, {2}});  // item 2: A and C
  const AddedSheet added = project_->AddSheet(Drawn(items));
  EXPECT_EQ(added.number, 1);
  EXPECT_EQ(added.score.studentId, "12345678");
  EXPECT_EQ(added.score.total, 9);  // multiple scores 0 by default
  EXPECT_EQ(added.score.items[1].response, "AC");

  struct Refused {
    int sheet;
    std::string target;
    std::optional<std::string> value;
    std::string author;
    std::string says;
  };
  const std::vector<Refused> refused = {
      {2, "12", "B", "Ann", "no sheet 2"},
      {1, "12", "F", "Ann", "not a set of options of question 12"},
      {1, "9", "1", "Ann", "not used by the exam"},
      {1, "version", "B", "Ann", "one version only"},
      {1, "sheet", "lost", "Ann", "\"void\""},
      {1, "id", "12 34", "Ann", "without blanks"},
      // An ID has the shape its questions code: 8 digits here.
      {1, "id", "#20251429", "Ann", "\"#20251429\" has 9 characters"},
      {1, "id", "ABCDEFGH", "Ann", "\"A\" at position 1, where only 0-9 can be"},
      {1, "id", "2025142", "Ann", "has 7 characters"},
      {1, "1", "X", "Ann", "position 1 of the student ID) codes 0123456789"},
      {1, "4", "12", "Ann", "one character"},
      {1, "q12", "B", "Ann", "not a question number"},
      {1, "12", std::nullopt, "Ann", "no correction of 12 to withdraw"},
      {1, "12", "B", "", "say who corrects"},
  };
  for (const Refused& r : refused) {
    try {
      project_->Correct(r.sheet, r.target, r.value, r.author, "");
      ADD_FAILURE() << r.target << " was accepted";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(r.says), std::string::npos) << e.what();
    }
  }
  EXPECT_TRUE(project_->store().Corrections(project_->examId(), 0).empty());
  project_->Correct(1, "id", "20251429", "Ann", "");
  EXPECT_EQ(project_->store().Score(project_->examId(), 1)->studentId, "20251429");

  const CorrectionRecord c = project_->Correct(1, "12", "cb", "Ann", "");
  EXPECT_EQ(c.newValue, std::optional<std::string>("BC"));  // options in cell order
  EXPECT_EQ(c.oldValue, std::optional<std::string>("AC"));
  EXPECT_EQ(project_->store().Score(project_->examId(), 1)->total, 9);  // still two marks
  project_->Correct(1, "12", "B", "Bo", "");
  EXPECT_EQ(project_->store().Score(project_->examId(), 1)->total, 10);
}

TEST_P(ProjectTest, RescanWithAChangedGLineReadsTheGridsAgain) {
  std::vector<Answer> items;
  for (const char c : std::string("ABCDEABCDE")) items.push_back(Answer::Char(c));
  items[0] = Answer::Marks({{0, MarkStyle::Light}});  // item 1: a light A
  project_->AddSheet(Drawn(items));
  ASSERT_EQ(project_->store().Score(project_->examId(), 1)->answers.substr(0, 2), "A,");

  // A higher minimum mark value: the light mark is no longer a mark.
  std::string form = ReadText(kForm);
  const std::size_t g = form.find("\"G 03 02 02 05/\"");
  ASSERT_NE(g, std::string::npos);
  form.replace(g, 16, "\"G 03 08 02 05/\"");
  const std::string changed = (dir_ / "exam60-g8.form").string();
  std::ofstream(changed) << form;
  const RescanReport report = project_->Rescan(&changed, "test");
  EXPECT_EQ(report.sheets, 1);
  EXPECT_EQ(report.changed, 1);
  const std::optional<ScoreRecord> score = project_->store().Score(project_->examId(), 1);
  EXPECT_EQ(score->answers.substr(0, 1), ",");  // item 1 now blank
  EXPECT_EQ(score->total, 9);
  const std::vector<RevisionRecord> history = project_->store().Revisions(project_->examId());
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[1].kind, "rescan");
  EXPECT_EQ(project_->store().Revision(project_->examId(), 1).formText, ReadText(kForm));
  // Opened again, the project decodes with the new form.
  project_ = Project::Open(location_, "");
  EXPECT_EQ(project_->revisionRecord().formText, form);
}

TEST_P(ProjectTest, PicturesAndSheetsWithoutAGrid) {
  project_->AddSheet(Drawn({Answer::Char('A')}));
  SheetInput refused;
  refused.code = 3;  // two sheets fed at once: the reader sends nothing
  const AddedSheet added = project_->AddSheet(refused);
  EXPECT_FALSE(added.score.scored);
  ASSERT_EQ(added.score.reasons.size(), 1u);
  EXPECT_EQ(added.score.reasons[0].code, "not-read");

  const std::vector<std::uint8_t> png = project_->Picture(1);
  ASSERT_GT(png.size(), 8u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  EXPECT_THROW(project_->Picture(2), Error);
  EXPECT_THROW(project_->Picture(3), Error);
}

// The database went away mid-batch: the sheet in flight goes to a spool (an
// SQLite project of the same exam) and comes in later once, with its station
// and time; a grid read before is flagged, not merged.
TEST_P(ProjectTest, ASpooledSheetComesInOnceWithItsStationAndTime) {
  std::vector<Answer> items;
  for (const char c : std::string("ABCDEABCDE")) items.push_back(Answer::Char(c));
  SheetInput first = Drawn(items, 1, "11111111");
  first.station = "desk1";
  project_->AddSheet(first);

  SheetInput inFlight = Drawn(items, 2, "22222222");
  inFlight.station = "desk2";
  inFlight.readAt = "2025-06-01T09:00:00.250Z";
  inFlight.serial = "SN-7";
  const std::string spool = (dir_ / "spool.omrexam").string();
  EXPECT_EQ(project_->Spool(spool, inFlight).number, 1);
  EXPECT_THROW(project_->Spool(spool, inFlight), Error);  // never over an existing file
  struct stat st {};
  ASSERT_EQ(::stat(spool.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0077, 0u);  // the owner's alone
  // The same grid read again at another time (the sheet fed twice), and a
  // sheet the reader refused.
  {
    auto other = Project::Open(spool, "");
    SheetInput again = first;
    again.readAt = "2025-06-01T09:00:01.000Z";
    other->AddSheet(again);
    SheetInput refused;
    refused.station = "desk2";
    refused.code = 3;
    other->AddSheet(refused);
  }

  auto from = Project::Open(spool, "");
  std::vector<int> seen;
  ImportReport r = project_->ImportSheets(
      *from, [&](const AddedSheet& a, const SheetRecord&) { seen.push_back(a.number); });
  EXPECT_EQ(r.added, 3);
  EXPECT_EQ(r.present, 0);
  EXPECT_EQ(r.duplicates, 1);
  EXPECT_EQ(seen, (std::vector<int>{2, 3, 4}));
  const std::optional<SheetRecord> two = project_->store().FindSheet(project_->examId(), 2, false);
  ASSERT_TRUE(two);
  EXPECT_EQ(two->station, "desk2");
  EXPECT_EQ(two->stationNumber, 1);
  EXPECT_EQ(two->readAt, "2025-06-01T09:00:00.250Z");
  EXPECT_EQ(two->serial, "SN-7");
  EXPECT_EQ(two->source, "import");
  EXPECT_EQ(project_->store().Score(project_->examId(), 2)->studentId, "22222222");
  EXPECT_EQ(project_->store().FindSheet(project_->examId(), 4, false)->code, 3);
  std::set<std::string> flagged;
  for (const int n : {1, 3}) {
    const std::optional<ScoreRecord> score = project_->store().Score(project_->examId(), n);
    for (const Reason& reason : score->reasons) flagged.insert(reason.code);
  }
  EXPECT_TRUE(flagged.count("duplicate-grid"));

  // Brought in again: nothing is doubled.
  r = project_->ImportSheets(*from, nullptr);
  EXPECT_EQ(r.added, 0);
  EXPECT_EQ(r.present, 3);
  EXPECT_EQ(project_->store().SheetCount(project_->examId()), 4);

  // The spool holds this exam, one made from the same exam file on its own
  // does not, unless the caller says its sheets are this exam's.
  EXPECT_EQ(from->Identity(), project_->Identity());
  EXPECT_EQ(project_->Identity().size(), 32u);
  auto twin = Project::Create((dir_ / "twin.omrexam").string(), (dir_ / "exam.json").string(), "exam", "t");
  twin->AddSheet(Drawn(items, 3, "33333333"));
  EXPECT_NE(twin->Identity(), project_->Identity());
  EXPECT_FALSE(project_->SameExam(*twin));
  EXPECT_THROW(project_->ImportSheets(*twin, nullptr), Error);
  EXPECT_EQ(project_->store().SheetCount(project_->examId()), 4);
  EXPECT_EQ(project_->ImportSheets(*twin, nullptr, /*asThisExam=*/true).added, 1);

  // Sheets read with another form are refused.
  std::string form = ReadText(kForm);
  form.replace(form.find("\"G 03 02 02 05/\""), 16, "\"G 03 08 02 05/\"");
  std::ofstream(dir_ / "exam60.form", std::ios::trunc) << form;
  auto strange =
      Project::Create((dir_ / "strange.omrexam").string(), (dir_ / "exam.json").string(), "exam", "t");
  EXPECT_THROW(project_->ImportSheets(*strange, nullptr), Error);
}

// Two programs on one project (two stations, two review desks): each sees the
// other's corrections and rekey; two corrections of one question are both
// kept and the later counts.
TEST_P(ProjectTest, TwoProgramsOnOneProjectSeeEachOthersWork) {
  std::vector<Answer> items;
  for (const char c : std::string("ABCDEABCDE")) items.push_back(Answer::Char(c));
  items[2] = Answer::Marks({{1}, {3}});  // item 3: B and D
  project_->AddSheet(Drawn(items));
  auto other = Project::Open(location_, "");

  project_->Correct(1, "13", "B", "Ann", "");
  other->Correct(1, "13", "C", "Bo", "");
  const std::vector<CorrectionRecord> both = project_->store().Corrections(project_->examId(), 1);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[1].author, "Bo");
  EXPECT_EQ(both[1].oldValue, std::optional<std::string>("B"));          // Bo saw Ann's correction
  EXPECT_EQ(project_->store().Score(project_->examId(), 1)->total, 10);  // C is the key of item 3

  // A rekey by the other program: the next sheet here scores with its keys.
  std::ofstream(dir_ / "exam2.json") << "{\"form\": \"exam60.form\", \"student\": {\"questions\": \"1-8\"},\n"
                                        " \"items\": \"11-20\", \"keys\": {\"A\": \"EEEEEEEEEE\"}}\n";
  other->Rekey((dir_ / "exam2.json").string(), "office");
  const AddedSheet added = project_->AddSheet(Drawn(items, 3));
  EXPECT_EQ(project_->revision(), 2);
  EXPECT_EQ(added.score.total, 2);  // items 5 and 10 are E
  EXPECT_EQ(project_->retries(), 0);
}

// A project holding several exams: each is added under a name of its own and
// chosen by it.
TEST_P(ProjectTest, SeveralExamsInOneProjectAreChosenByName) {
  const std::string exam = (dir_ / "exam.json").string();
  EXPECT_THROW(Project::Create(location_, exam, "june", "t", false), Error);  // never over a project
  EXPECT_THROW(Project::Create(location_, exam, "exam", "t", true), Error);   // the name is taken
  auto june = Project::Create(location_, exam, "june", "t", true);
  june->AddSheet(Drawn({Answer::Char('A')}));
  project_->AddSheet(Drawn({Answer::Char('B')}));
  project_->AddSheet(Drawn({Answer::Char('C')}));
  try {
    Project::Open(location_, "");
    ADD_FAILURE() << "no exam named, yet one was opened";
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("--name"), std::string::npos) << e.what();
  }
  EXPECT_EQ(Project::Open(location_, "june")->Status().sheets, 1);
  EXPECT_EQ(Project::Open(location_, "exam")->Status().sheets, 2);
  EXPECT_THROW(Project::Open(location_, "july"), Error);
}

// A backup taken while programs hold the project open: the copy alone (no WAL
// beside it) holds every committed sheet and correction; nothing is written
// over an existing file unasked. A PostgreSQL project is left to pg_dump.
TEST_P(ProjectTest, ABackupTakenInUseHoldsEveryCommit) {
  const std::string copy = (dir_ / "copy.omrexam").string();
  if (GetParam() != "sqlite") {
    try {
      BackupProject(location_, copy, false);
      ADD_FAILURE() << "a PostgreSQL project was copied to a file";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("pg_dump"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(copy));
    return;
  }
  auto other = Project::Open(location_, "");
  project_->AddSheet(Drawn({Answer::Char('A'), Answer::Char('B')}, 1, "12345678"));
  other->AddSheet(Drawn({Answer::Char('C')}, 2, "87654321"));
  project_->Correct(2, "11", "A", "Ann", "");

  EXPECT_EQ(BackupProject(location_, copy, false).sheets, 2);
  const std::string alone = (dir_ / "alone.omrexam").string();
  fs::copy_file(copy, alone);
  auto restored = Project::Open(alone, "");
  EXPECT_EQ(restored->Status().sheets, 2);
  ASSERT_EQ(restored->store().Corrections(restored->examId(), 0).size(), 1u);
  const auto totals = [](Project& p) {
    std::vector<double> out;
    for (const ScoreRecord& r : p.store().Scores(p.examId())) out.push_back(r.total);
    return out;
  };
  EXPECT_EQ(totals(*restored), totals(*project_));

  project_->AddSheet(Drawn({Answer::Char('D')}, 3));
  const std::string before = ReadText(copy);
  EXPECT_THROW(BackupProject(location_, copy, false), Error);
  EXPECT_EQ(ReadText(copy), before);
  EXPECT_EQ(BackupProject(location_, copy, true).sheets, 3);
  for (const std::string& itself : {location_, location_ + "-wal"}) {
    EXPECT_THROW(BackupProject(location_, itself, true), Error) << itself;
    EXPECT_EQ(Project::Open(location_, "")->Status().sheets, 3) << itself;
  }
  EXPECT_THROW(BackupProject((dir_ / "exam.json").string(), (dir_ / "x").string(), false), Error);
  EXPECT_FALSE(fs::exists(dir_ / "x"));
}

OMR_FOR_EACH_BACKEND(ProjectTest);

}  // namespace
}  // namespace omr::exam
