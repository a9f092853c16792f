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
#include <tuple>

#include "backup.h"
#include "db.h"
#include "form/form_loader.h"
#include "old_schemas.h"
#include "sim/synth.h"
#include "store_backends.h"
#include "typed.h"

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

// Every step over the sheets tells how far it is: from 0, never back, to its
// total, which is the exam's sheet count (those without a grid too).
TEST_P(ProjectTest, RescanRescoreAndImportTellHowFarTheyAre) {
  std::vector<Answer> items;
  for (const char c : std::string("ABCDEABCDE")) items.push_back(Answer::Char(c));
  for (std::uint32_t seed = 1; seed <= 3; ++seed)
    project_->AddSheet(Drawn(items, seed, "2025000" + std::to_string(seed)));
  SheetInput refused;  // the reader kept no grid
  refused.station = "t";
  refused.code = 3;
  project_->AddSheet(refused);
  const std::int64_t sheets = 4;

  std::vector<std::tuple<std::string, std::int64_t, std::int64_t>> told;
  project_->SetProgress([&](std::string_view step, std::int64_t done, std::int64_t total) {
    told.emplace_back(std::string(step), done, total);
  });
  // The steps in the order they came, each checked as it went.
  const auto steps = [&] {
    std::vector<std::string> order;
    for (std::size_t i = 0; i < told.size(); ++i) {
      const auto& [step, done, total] = told[i];
      const bool first = order.empty() || order.back() != step;
      if (first) {
        order.push_back(step);
        EXPECT_EQ(done, 0) << step;
      } else {
        EXPECT_GE(done, std::get<1>(told[i - 1])) << step;
      }
      EXPECT_EQ(total, sheets) << step;
      const bool last = i + 1 == told.size() || std::get<0>(told[i + 1]) != step;
      if (last) {
        EXPECT_EQ(done, total) << step;
      }
    }
    told.clear();
    return order;
  };

  const RescanReport scan = project_->Rescan(nullptr, "test");
  EXPECT_EQ(scan.sheets + scan.noGrid, sheets);
  EXPECT_EQ(steps(), (std::vector<std::string>{"rescan", "rescore", "save"}));
  EXPECT_EQ(project_->RescoreAll(), sheets);
  EXPECT_EQ(steps(), (std::vector<std::string>{"rescore", "save"}));
  ItemChange change;
  change.item = 1;
  change.key = "B";
  project_->Rekey(change, "test");
  EXPECT_EQ(steps(), (std::vector<std::string>{"score", "rescore", "save"}));
  project_->ScoreAll();
  EXPECT_EQ(steps(), std::vector<std::string>{"score"});

  // An import counts the other project's sheets.
  auto copy =
      Project::Create((dir_ / "copy.omrexam").string(),
                      ExamSources{project_->revisionRecord().examName, project_->revisionRecord().examText,
                                  project_->revisionRecord().formName, project_->revisionRecord().formText,
                                  "", "", true, true},
                      "exam", "test", false);
  copy->SetProgress(project_->progress());
  EXPECT_EQ(copy->ImportSheets(*project_, nullptr, true, 3).added, sheets);
  EXPECT_EQ(steps(), std::vector<std::string>{"import"});
  project_->SetProgress({});
  project_->RescoreAll();
  EXPECT_TRUE(told.empty());
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

// An import in batches gives what storing its sheets one at a time gives: the
// same numbers, scores and reasons, across the batches (a reading brought
// twice is one sheet; a grid and an ID found in several batches, and on
// sheets stored before, are reasons on every one of them).
TEST_P(ProjectTest, AnImportInBatchesGivesWhatSheetBySheetGives) {
  std::vector<Answer> items;
  for (const char c : std::string("ABCDEABCDE")) items.push_back(Answer::Char(c));
  const std::string spool = (dir_ / "source.omrexam").string();
  std::vector<SheetInput> inputs;
  for (int i = 0; i < 14; ++i) {
    std::vector<Answer> answers = items;
    answers[static_cast<std::size_t>(i % 10)] = Answer::Marks({});
    const std::string id = i % 5 == 3 ? "33333333" : "2025000" + std::to_string(i % 10);
    SheetInput in = Drawn(answers, static_cast<std::uint32_t>(i % 6 == 5 ? 5 : 100 + i), id);
    in.station = i % 3 ? "desk1" : "desk2";
    in.readAt = "2025-06-01T09:00:" + std::to_string(10 + i) + ".000Z";
    inputs.push_back(in);
  }
  inputs.push_back(inputs[2]);  // the same reading twice
  SheetInput refused;
  refused.station = "desk2";
  refused.readAt = "2025-06-01T09:01:00.000Z";
  refused.code = 3;
  inputs.push_back(refused);
  {
    auto source = Project::Create(spool, (dir_ / "exam.json").string(), "exam", "t");
    for (const SheetInput& in : inputs) source->AddSheet(in);
  }
  auto from = Project::Open(spool, "");

  // Sheets here before: one with an ID, one with a grid of the source.
  const std::string reference = backend_->NewLocation();
  auto one = Project::Create(reference, (dir_ / "exam.json").string(), "exam", "t");
  for (Project* p : {project_.get(), one.get()}) {
    SheetInput before = Drawn(items, 900, "33333333");
    before.readAt = "2025-05-01T07:00:00.000Z";
    p->AddSheet(before);
    SheetInput same = inputs[5];
    same.readAt = "2025-05-01T08:00:00.000Z";
    p->AddSheet(same);
  }
  std::vector<int> numbers;
  const ImportReport report = project_->ImportSheets(
      *from, [&](const AddedSheet& a, const SheetRecord&) { numbers.push_back(a.number); }, true, 4);

  // Sheet by sheet, as an import of one sheet a transaction would store them.
  std::vector<int> expected;
  int duplicates = 0;
  from->store().ForEachSheet(from->examId(), true, [&](SheetRecord& s, std::vector<Response>&) {
    SheetInput in;
    in.station = s.station;
    in.source = "import";
    in.origin = spool + " sheet " + std::to_string(s.number);
    in.readAt = s.readAt;
    in.once = true;
    in.code = s.grid.empty() ? s.code : 0;
    if (!s.grid.empty()) {
      SheetGrid grid;
      std::string error;
      ASSERT_TRUE(ExpandGrid(s.lines, s.columns, s.grid, grid, error)) << error;
      in.decoded = one->form().Decode(grid);
      in.hasGrid = true;
    }
    const AddedSheet a = one->AddSheet(in);
    expected.push_back(a.number);
    duplicates += a.number && !a.duplicateGridOf.empty();
  });
  EXPECT_EQ(numbers, expected);
  EXPECT_EQ(report.added, 15);
  EXPECT_EQ(report.present, 1);  // the reading the source holds twice
  EXPECT_EQ(report.duplicates, duplicates);
  const std::vector<ScoreRecord> got = project_->store().Scores(project_->examId());
  const std::vector<ScoreRecord> want = one->store().Scores(one->examId());
  ASSERT_EQ(got.size(), want.size());
  std::set<std::string> reasons;
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(std::tie(got[i].sheet, got[i].total, got[i].studentId, got[i].flagged),
              std::tie(want[i].sheet, want[i].total, want[i].studentId, want[i].flagged));
    EXPECT_EQ(DescribeReasons(got[i].reasons), DescribeReasons(want[i].reasons)) << "sheet " << want[i].sheet;
    for (const Reason& r : got[i].reasons) reasons.insert(r.code);
  }
  EXPECT_TRUE(reasons.count("duplicate-grid") && reasons.count("duplicate-id"));
  for (std::size_t i = 0; i < want.size(); ++i) {
    const SheetRecord a = *project_->store().FindSheet(project_->examId(), want[i].sheet, true);
    const SheetRecord b = *one->store().FindSheet(one->examId(), want[i].sheet, true);
    EXPECT_EQ(std::tie(a.station, a.stationNumber, a.readAt, a.code, a.grid, a.origin),
              std::tie(b.station, b.stationNumber, b.readAt, b.code, b.grid, b.origin));
  }
  // Again: every reading is here, in whichever batch it comes.
  const ImportReport again = project_->ImportSheets(*from, nullptr, true, 3);
  EXPECT_EQ(again.added, 0);
  EXPECT_EQ(again.present, 16);
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

// The facts of a schema-3 project, by table, with each column's kind (i a
// number, t text, b bytes): what the project of this build copies into one
// made by the schema-3 statements (schema 4 adds the exams' identity).
struct OldTable {
  const char* name;
  std::vector<std::string> columns;
  std::string kinds;
};
const std::vector<OldTable> kSchema3Facts = {
    {"exams", {"id", "name", "created_at", "revision"}, "itti"},
    {"revisions",
     {"exam_id", "revision", "created_at", "author", "kind", "exam_name", "exam_text", "form_name",
      "form_text", "roster_name", "roster_text", "note"},
     "iittttbtbtbt"},
    {"batches", {"id", "exam_id", "station", "started_at", "ended_at", "sheets", "outcome"}, "iitttit"},
    {"sheets",
     {"id", "exam_id", "number", "station", "station_number", "batch_id", "read_at", "source", "origin",
      "serial", "firmware", "letter", "code", "result", "grid_lines", "grid_columns", "grid", "grid_hash"},
     "iiitiittttttibiibt"},
    {"corrections",
     {"id", "sheet_id", "target", "old_value", "new_value", "author", "made_at", "reason", "undoes"},
     "iitttttti"},
    {"claims", {"sheet_id", "holder", "claimed_at", "expires_at"}, "ittt"},
};

std::unique_ptr<db::Connection> Connect(const std::string& backend, const std::string& location) {
  return backend == "sqlite" ? db::OpenSqlite(location, false) : db::OpenPostgres(location, false);
}

// A project of this build written out as the store of schema 3, 4 or 5 held
// it: the facts as they are, the responses a row a question, the scores with
// their "flagged" column and their reasons in rows of their own.
void WriteOldSchema(const std::string& backend, Store& from, const std::string& fromLocation,
                    const std::string& to, int version) {
  testing::MakeOldProject(backend, to, version);
  const bool pg = backend != "sqlite";
  auto src = Connect(backend, fromLocation);
  auto dst = Connect(backend, to);
  dst->Begin();
  for (OldTable t : kSchema3Facts) {
    if (version >= 4 && std::string(t.name) == "exams") {
      t.columns.push_back("uid");
      t.kinds += 't';
    }
    if (version >= 5 && std::string(t.name) == "sheets") {
      t.columns.push_back("author");
      t.kinds += 't';
    }
    std::string list;
    std::string marks;
    for (std::size_t c = 0; c < t.columns.size(); ++c) {
      list += (c ? ", " : "") + t.columns[c];
      // Claims' times were timestamps in PostgreSQL.
      const bool time =
          pg && t.columns[c].find("_at") != std::string::npos && std::string(t.name) == "claims";
      marks += std::string(c ? ", " : "") + (time ? "CAST(? AS TIMESTAMPTZ)" : "?");
    }
    const std::string& kinds = t.kinds;
    auto rows = src->Query("SELECT " + list + " FROM " + t.name);
    while (rows->Next()) {
      db::Params p;
      for (std::size_t c = 0; c < kinds.size(); ++c) {
        const int i = static_cast<int>(c);
        if (rows->Null(i))
          p.Null();
        else if (kinds[c] == 'i')
          p.Int(rows->Int(i));
        else if (kinds[c] == 't')
          p.Text(rows->Text(i));
        else
          p.Bytes(rows->Text(i));
      }
      dst->Run("INSERT INTO " + std::string(t.name) + "(" + list + ") VALUES (" + marks + ")", p);
    }
  }
  const ExamRecord exam = from.Exams().at(0);
  std::map<int, Id> ids;
  from.ForEachSheet(exam.id, false, [&](SheetRecord& sheet, std::vector<Response>& responses) {
    ids[sheet.number] = sheet.id;
    for (const Response& r : responses)
      dst->Run("INSERT INTO responses VALUES (?, ?, ?, ?, ?, ?)", db::Params()
                                                                      .Int(sheet.id)
                                                                      .Int(r.question)
                                                                      .Text(r.marked)
                                                                      .Int(r.character)
                                                                      .Real(r.confidence)
                                                                      .Int(r.doubtful));
  });
  for (const ScoreRecord& s : from.Scores(exam.id)) {
    const Id id = ids.at(s.sheet);
    db::Params p;
    p.Int(id).Int(s.revision).Int(s.scored).Int(s.voided).Text(s.studentId).Text(s.idState).Text(s.version);
    p.Real(s.scored ? std::optional<double>(s.total) : std::nullopt);
    p.Real(s.scored ? std::optional<double>(s.maximum) : std::nullopt);
    p.Real(s.scored ? s.percent : std::nullopt)
        .Text(s.answers)
        .Text(s.points)
        .Real(s.confidence)
        .Int(s.flagged);
    dst->Run("INSERT INTO scores VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)", p);
    for (std::size_t k = 0; k < s.reasons.size(); ++k) {
      db::Params r;
      r.Int(id);
      if (pg) r.Int(static_cast<int>(k));
      r.Text(s.reasons[k].code).Int(s.reasons[k].question).Text(s.reasons[k].detail);
      dst->Run(pg ? "INSERT INTO reasons VALUES (?, ?, ?, ?, ?)" : "INSERT INTO reasons VALUES (?, ?, ?, ?)",
               r);
    }
  }
  // Ids written as they were: the sequences go on past them, as they did.
  if (pg)
    for (const char* table : {"exams", "batches", "sheets", "corrections"})
      dst->Run(std::string("SELECT setval(pg_get_serial_sequence('") + table +
               "', 'id'), (SELECT MAX(id) FROM " + table + "))");
  dst->Commit();
}

void ExpectSameScores(const std::vector<ScoreRecord>& got, const std::vector<ScoreRecord>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    const ScoreRecord& a = got[i];
    const ScoreRecord& b = want[i];
    EXPECT_EQ(a.sheet, b.sheet);
    EXPECT_EQ(std::tie(a.scored, a.voided, a.studentId, a.idState, a.version, a.answers, a.points, a.flagged),
              std::tie(b.scored, b.voided, b.studentId, b.idState, b.version, b.answers, b.points, b.flagged))
        << "sheet " << b.sheet;
    EXPECT_EQ(a.total, b.total) << "sheet " << b.sheet;
    EXPECT_EQ(a.percent, b.percent) << "sheet " << b.sheet;
    EXPECT_EQ(a.confidence, b.confidence) << "sheet " << b.sheet;
    ASSERT_EQ(a.reasons.size(), b.reasons.size()) << "sheet " << b.sheet;
    for (std::size_t k = 0; k < b.reasons.size(); ++k)
      EXPECT_EQ(std::tie(a.reasons[k].code, a.reasons[k].question, a.reasons[k].detail),
                std::tie(b.reasons[k].code, b.reasons[k].question, b.reasons[k].detail))
          << "sheet " << b.sheet;
  }
}

// A project of schema 3, 4 or 5 (as the stores of those versions wrote it)
// opens migrated: every sheet with its grid, every correction and claim,
// every score and reason the same, the sheets reviewed still counted, the
// exam's identity kept; and it goes on numbering where it was.
TEST_P(ProjectTest, AnOlderProjectMigratesWithEveryFactAndEveryScore) {
  std::vector<Answer> items;
  for (const char c : std::string("ABCDEABCDE")) items.push_back(Answer::Char(c));
  const Id batch = project_->BeginBatch("north");
  for (int i = 0; i < 6; ++i) {
    std::vector<Answer> answers = items;
    if (i == 1) answers[3] = Answer::Marks({});                       // a blank
    if (i == 2) answers[0] = Answer::Marks({{0, MarkStyle::Light}});  // a light mark
    if (i == 3) answers[4] = Answer::Marks({{1}, {2}});               // two marks
    SheetInput in = Drawn(answers, static_cast<std::uint32_t>(10 + i),
                          i == 4 ? "11111111" : "2025100" + std::to_string(i));
    in.batch = i < 3 ? batch : 0;
    in.station = i < 3 ? "north" : "south";
    project_->AddSheet(in);
  }
  project_->EndBatch(batch, "done");
  SheetInput refused;
  refused.code = 3;
  project_->AddSheet(refused);
  project_->AddSheet(Drawn(items, 99, "11111111"));  // the ID of sheet 5 again
  // Reviewed: the two marks settled (flagged, nothing waits), a correction undone, a sheet voided.
  project_->Correct(4, "15", "E", "Ann", "ink");
  const CorrectionRecord wrong = project_->Correct(3, "11", "B", "Bo", "");
  project_->Undo(3, wrong.id, "Bo", "slip");
  project_->Correct(7, "sheet", "void", "Ann", "two sheets at once");
  project_->Claim(2, "Cy", 600);
  // A sheet typed in: no grid, its answers and typist the facts.
  TypedSheet typed;
  typed.studentId = "20251009";
  for (const char c : std::string("ABCDEABCDA")) typed.answers.emplace_back(1, c);
  typed.author = "Dee";
  project_->AddTyped(typed);

  Store& s = project_->store();
  const Id exam = project_->examId();
  const std::vector<ScoreRecord> scores = s.Scores(exam);
  ASSERT_EQ(scores.size(), 9u);
  ASSERT_TRUE(scores[8].scored);
  ASSERT_TRUE(scores[3].flagged && scores[3].reasons.empty());
  ASSERT_FALSE(scores[0].flagged);
  const std::vector<CorrectionRecord> corrections = s.Corrections(exam, 0);
  const std::vector<ClaimRecord> claims = s.Claims(exam);
  const ReviewCounts review = s.CountReview(exam);
  std::vector<SheetRecord> sheets;
  s.ForEachSheet(exam, true, [&](SheetRecord& r, std::vector<Response>&) { sheets.push_back(r); });

  const auto migrates = [&](int version) {
    SCOPED_TRACE("schema " + std::to_string(version));
    const std::string old = backend_->NewLocation();
    WriteOldSchema(GetParam(), s, location_, old, version);
    EXPECT_EQ(backend_->Query(old, "SELECT version FROM schema_version"), std::to_string(version));
    if (GetParam() == "sqlite") {
      // A backup of it migrates it and builds what the migration left out: the
      // copy reads as it is, without omrctl opening it first.
      const std::string copy = (dir_ / ("copy" + std::to_string(version) + ".omrexam")).string();
      BackupProject(old, copy, false);
      auto copied = OpenStore(copy);
      EXPECT_TRUE(copied->Built(exam));
      ExpectSameScores(copied->Scores(exam), scores);
    }
    auto migrated = Project::Open(old, "exam");
    Store& m = migrated->store();
    EXPECT_EQ(m.SchemaVersion(), LatestSchemaVersion());
    ExpectSameScores(m.Scores(exam), scores);
    const std::vector<CorrectionRecord> kept = m.Corrections(exam, 0);
    ASSERT_EQ(kept.size(), corrections.size());
    for (std::size_t i = 0; i < kept.size(); ++i)
      EXPECT_EQ(std::tie(kept[i].id, kept[i].sheet, kept[i].target, kept[i].oldValue, kept[i].newValue,
                         kept[i].author, kept[i].madeAt, kept[i].reason, kept[i].undoes),
                std::tie(corrections[i].id, corrections[i].sheet, corrections[i].target,
                         corrections[i].oldValue, corrections[i].newValue, corrections[i].author,
                         corrections[i].madeAt, corrections[i].reason, corrections[i].undoes));
    const std::vector<ClaimRecord> held = m.Claims(exam);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(std::tie(held[0].sheet, held[0].holder, held[0].since, held[0].expires),
              std::tie(claims[0].sheet, claims[0].holder, claims[0].since, claims[0].expires));
    const ReviewCounts counts = m.CountReview(exam);
    EXPECT_EQ(counts.flagged, review.flagged);
    EXPECT_EQ(counts.waiting, review.waiting);
    EXPECT_EQ(counts.byReason, review.byReason);
    std::size_t at = 0;
    m.ForEachSheet(exam, true, [&](SheetRecord& r, std::vector<Response>&) {
      ASSERT_LT(at, sheets.size());
      const SheetRecord& w = sheets[at++];
      EXPECT_EQ(std::tie(r.id, r.number, r.station, r.stationNumber, r.batch, r.readAt, r.code, r.letter,
                         r.result, r.grid, r.gridHash, r.author),
                std::tie(w.id, w.number, w.station, w.stationNumber, w.batch, w.readAt, w.code, w.letter,
                         w.result, w.grid, w.gridHash, version >= 5 ? w.author : std::string()));
    });
    EXPECT_EQ(at, sheets.size());
    EXPECT_EQ(m.Batches(exam).at(0).sheets, 3);
    EXPECT_EQ(m.Revisions(exam).size(), 1u);
    EXPECT_EQ(migrated->Status().reviewed, project_->Status().reviewed);
    // Schema 4 kept the exam's identity; one made before stands by its texts.
    EXPECT_EQ(m.Exams().at(0).uid, version >= 4 ? s.Exams().at(0).uid : "");
    const AddedSheet next = migrated->AddSheet(Drawn(items, 7, "20251007"));
    EXPECT_EQ(next.number, 10);
    EXPECT_EQ(next.stationNumber, 2);  // station "t" read sheet 8
  };
  migrates(3);
  migrates(4);
  migrates(5);
}

OMR_FOR_EACH_BACKEND(ProjectTest);

}  // namespace
}  // namespace omr::exam
