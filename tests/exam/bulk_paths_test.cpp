// The bulk paths against the path of one sheet at a time, in both stores, on
// an exam of 20,000 simulated sheets (2,000 under the sanitizers; the variable
// OMR_BULK_SHEETS sets another count): exam A is stored sheet by sheet as
// `exam read` stores it, exam B gets the same sheets by an import (batches
// of sheets a statement); then A's derived rows are built again as after a
// migration, B is re-scanned and re-scored after its rows were spoilt behind
// the store's back, and every stored sheet, response, score and reason of each
// must equal A's as first stored. The totals are checked against a scorer
// written out here from the drawn answers and the exam file's rules.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "form/form_loader.h"
#include "project.h"
#include "sim/synth.h"
#include "store_backends.h"

#ifndef OMR_BULK_SHEETS
#define OMR_BULK_SHEETS 20000
#endif

namespace omr::exam {
namespace {

namespace fs = std::filesystem;
using sim::Answer;
using Clock = std::chrono::steady_clock;

const std::string kForm = OMR_SOURCE_DIR "/examples/exam60.form";
constexpr int kItems = 60;
constexpr int kFirstItem = 11;  // questions 11-70; 1-8 the ID, 10 the version

int SheetCount() {
  if (const char* v = std::getenv("OMR_BULK_SHEETS"); v && std::atoi(v) > 0) return std::atoi(v);
  return OMR_BULK_SHEETS;
}

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// What was drawn on a sheet, as the test knows it.
enum class Kind { kNormal, kNoGrid, kMissingBar, kUnknownVersion, kInvalidId, kDuplicateId, kRefed, kFaint };

struct Plan {
  Kind kind = Kind::kNormal;
  std::string id;  // 8 digits
  int badDigit = -1;
  char version = '1';
  std::vector<std::string> marked;  // per question of the sheet's version, labels in cell order
  int faint = -1;                   // the item (0-based question) drawn with a light mark
  std::uint32_t seed = 1;
  bool missingBar = false;  // a sheet fed again keeps the earlier one's seed: the same grid
};

// Master key (versions "1" and "2"; item i of version 2 is master item order[i]).
struct Key {
  std::string master;
  std::vector<int> order;
};

Key MakeKey() {
  std::mt19937 rng(5);
  Key k;
  for (int i = 0; i < kItems; ++i) k.master += "ABCDE"[rng() % 5];
  for (int i = 1; i <= kItems; ++i) k.order.push_back(i);
  std::shuffle(k.order.begin(), k.order.end(), rng);
  return k;
}

std::string ExamText(const Key& k) {
  std::string key2;
  std::string list;
  for (const int m : k.order) {
    key2 += k.master[static_cast<std::size_t>(m - 1)];
    list += (list.empty() ? "" : ",") + std::to_string(m);
  }
  return "{\"form\": \"exam60.form\", \"student\": {\"questions\": \"1-8\"}, \"version\": {\"question\": "
         "10},\n"
         " \"items\": \"11-70\", \"keys\": {\"1\": \"" +
         k.master + "\", \"2\": {\"answers\": \"" + key2 + "\", \"order\": [" + list +
         "]}},\n"
         " \"scoring\": {\"wrong\": -0.25, \"floor\": 0, \"items\": {\"5\": \"void\", \"7\": \"bonus\", "
         "\"9\": {\"accept\": \"BC\"}, \"12\": {\"all\": \"AC\", \"partial\": true}}},\n"
         " \"review\": {\"blank\": true}}\n";
}

// The exam file's rules (docs/exams.md) written out: 1 point right, -0.25
// wrong, 0 blank or several marks; item 5 void, 7 a bonus, 9 also right with
// B or C, 12 needs A and C with partial credit (right marked - wrong marked,
// at least 0, out of 2); the total at least 0; maximum 59. Review: every
// blank, every double mark (but on 12, which takes several), neither on a
// void or bonus item.
struct Expected {
  double total = 0;
  std::vector<std::pair<std::string, int>> reasons;  // the sheet's own: blank and multiple questions
};

Expected ScoreByHand(const Key& k, const Plan& p) {
  Expected e;
  double sum = 0;
  for (int q = 0; q < kItems; ++q) {
    const int master = p.version == '1' ? q + 1 : k.order[static_cast<std::size_t>(q)];
    const std::string& s = p.marked[static_cast<std::size_t>(q)];
    const int question = kFirstItem + q;
    if (master == 5) continue;
    if (master == 7) {
      sum += 1;
      continue;
    }
    // Two marks on a question of one choice are a near tie to the recognition.
    if (s.size() > 1) e.reasons.emplace_back("doubtful", question);
    if (s.empty()) {
      e.reasons.emplace_back("blank", question);
      continue;
    }
    if (master == 12) {
      int right = 0;
      for (const char c : s) right += c == 'A' || c == 'C';
      const int wrong = static_cast<int>(s.size()) - right;
      sum += std::max(0, right - wrong) / 2.0;
      continue;
    }
    if (s.size() > 1) {
      e.reasons.emplace_back("multiple", question);
      continue;
    }
    const char key = k.master[static_cast<std::size_t>(master - 1)];
    const bool right = s[0] == key || (master == 9 && (s[0] == 'B' || s[0] == 'C'));
    sum += right ? 1 : -0.25;
  }
  e.total = std::max(0.0, sum);
  return e;
}

std::vector<Plan> DrawPlans(int count) {
  std::mt19937 rng(20261210);
  std::uniform_real_distribution<double> u(0, 1);
  auto letter = [&] { return static_cast<char>('A' + rng() % 5); };
  std::vector<Plan> plans;
  std::vector<int> normal;  // indices of plain sheets: sources of repeated IDs and of sheets fed again
  for (int i = 0; i < count; ++i) {
    const double roll = u(rng);
    Kind kind = Kind::kNormal;
    // A few of every kind early, then at their rates.
    if (i >= 11 && i <= 17) {
      kind = static_cast<Kind>(i - 10);
    } else if (i > 17) {
      kind = roll < 0.002   ? Kind::kNoGrid
             : roll < 0.004 ? Kind::kMissingBar
             : roll < 0.007 ? Kind::kUnknownVersion
             : roll < 0.012 ? Kind::kInvalidId
             : roll < 0.022 ? Kind::kDuplicateId
             : roll < 0.025 ? Kind::kRefed
             : roll < 0.030 ? Kind::kFaint
                            : Kind::kNormal;
    }
    if (kind == Kind::kRefed) {
      Plan again = plans[static_cast<std::size_t>(normal[rng() % normal.size()])];
      again.kind = Kind::kRefed;
      plans.push_back(again);
      continue;
    }
    Plan p;
    p.kind = kind;
    p.seed = static_cast<std::uint32_t>(i + 1);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08d", 10000000 + 7 * i);
    p.id = digits;
    if (kind == Kind::kDuplicateId) p.id = plans[static_cast<std::size_t>(normal[rng() % normal.size()])].id;
    if (kind == Kind::kInvalidId) p.badDigit = static_cast<int>(rng() % 8);
    p.version = kind == Kind::kUnknownVersion ? '3' : (rng() % 2 ? '1' : '2');
    p.missingBar = kind == Kind::kMissingBar;
    for (int q = 0; q < kItems; ++q) {
      const double r = u(rng);
      std::string s;
      if (r < 0.03) {
        s = "";
      } else if (r < 0.05) {
        const char a = letter();
        char b = letter();
        while (b == a) b = letter();
        s = {std::min(a, b), std::max(a, b)};
      } else {
        s = std::string(1, letter());
      }
      p.marked.push_back(s);
    }
    if (kind == Kind::kFaint) p.faint = static_cast<int>(rng() % kItems);
    if (kind == Kind::kNormal) normal.push_back(i);
    plans.push_back(std::move(p));
  }
  return plans;
}

// When a sheet was read: one second apart, so no two readings are the same.
std::string ReadAt(int i) {
  char text[40];
  std::snprintf(text, sizeof text, "2026-03-02T%02d:%02d:%02d.000Z", 8 + i / 3600, i / 60 % 60, i % 60);
  return text;
}

struct Stored {
  std::vector<SheetRecord> sheets;
  std::vector<std::vector<Response>> responses;
  std::vector<ScoreRecord> scores;
};

Stored ReadBack(Project& p) {
  Stored s;
  p.store().ForEachSheet(p.examId(), false, [&](SheetRecord& sheet, std::vector<Response>& responses) {
    s.sheets.push_back(std::move(sheet));
    s.responses.push_back(std::move(responses));
  });
  s.scores = p.store().Scores(p.examId());
  return s;
}

std::string Reasons(const std::vector<Reason>& reasons) {
  std::string out;
  for (const Reason& r : reasons) out += r.code + "/" + std::to_string(r.question) + "/" + r.detail + " ";
  return out;
}

// Every difference of `got` from `want`, the first few of them reported.
int Differences(const Stored& want, const Stored& got, const std::string& what) {
  int found = 0;
  auto differ = [&](int sheet, const std::string& field, const std::string& w, const std::string& g) {
    if (w == g) return;
    if (++found <= 10)
      ADD_FAILURE() << what << ": sheet " << sheet << " " << field << " is \"" << g << "\", per sheet \"" << w
                    << "\"";
  };
  differ(0, "sheet count", std::to_string(want.sheets.size()), std::to_string(got.sheets.size()));
  differ(0, "score count", std::to_string(want.scores.size()), std::to_string(got.scores.size()));
  if (found) return found;
  for (std::size_t i = 0; i < want.sheets.size(); ++i) {
    const SheetRecord& a = want.sheets[i];
    const SheetRecord& b = got.sheets[i];
    const int n = a.number;
    differ(n, "number", std::to_string(a.number), std::to_string(b.number));
    differ(n, "station", a.station + "#" + std::to_string(a.stationNumber),
           b.station + "#" + std::to_string(b.stationNumber));
    differ(n, "read at", a.readAt, b.readAt);
    differ(n, "code", std::to_string(a.code), std::to_string(b.code));
    differ(n, "letter", std::string(1, a.letter), std::string(1, b.letter));
    differ(n, "result", a.result, b.result);
    differ(n, "grid", a.gridHash + " " + std::to_string(a.lines) + "x" + std::to_string(a.columns),
           b.gridHash + " " + std::to_string(b.lines) + "x" + std::to_string(b.columns));
    const std::vector<Response>& ra = want.responses[i];
    const std::vector<Response>& rb = got.responses[i];
    differ(n, "response count", std::to_string(ra.size()), std::to_string(rb.size()));
    for (std::size_t q = 0; q < std::min(ra.size(), rb.size()); ++q) {
      auto text = [](const Response& r) {
        char c[64];
        std::snprintf(c, sizeof c, " %d %d %.17g", r.character, r.doubtful, r.confidence);
        return std::to_string(r.question) + " " + r.marked + c;
      };
      differ(n, "response", text(ra[q]), text(rb[q]));
    }
    const ScoreRecord& x = want.scores[i];
    const ScoreRecord& y = got.scores[i];
    auto score = [](const ScoreRecord& s) {
      char c[160];
      std::snprintf(c, sizeof c, "rev %d scored %d void %d %.17g/%.17g %s conf %.17g flagged %d", s.revision,
                    s.scored, s.voided, s.total, s.maximum,
                    s.percent ? std::to_string(*s.percent).c_str() : "-", s.confidence, s.flagged);
      return std::to_string(s.sheet) + " " + s.studentId + " " + s.idState + " v" + s.version + " " + c;
    };
    differ(n, "score", score(x), score(y));
    differ(n, "answers", x.answers, y.answers);
    differ(n, "points", x.points, y.points);
    differ(n, "reasons", Reasons(x.reasons), Reasons(y.reasons));
  }
  return found;
}

// ScoreAll's scores in memory against the stored ones.
int Differences(const Stored& want, const std::vector<SheetScore>& got, const std::string& what) {
  int found = 0;
  if (got.size() != want.scores.size()) {
    ADD_FAILURE() << what << ": " << got.size() << " scores, " << want.scores.size() << " stored";
    return 1;
  }
  for (std::size_t i = 0; i < got.size(); ++i) {
    const ScoreRecord& w = want.scores[i];
    const SheetScore& g = got[i];
    const bool same = g.number == w.sheet && g.scored == w.scored && g.voided == w.voided &&
                      g.studentId == w.studentId && IdStateName(g.idState) == w.idState &&
                      g.version == w.version && g.total == w.total && g.maximum == w.maximum &&
                      g.percent == w.percent && g.confidence == w.confidence && JoinAnswers(g) == w.answers &&
                      JoinPoints(g) == w.points && Reasons(g.reasons) == Reasons(w.reasons);
    if (!same && ++found <= 10)
      ADD_FAILURE() << what << ": sheet " << w.sheet << " scores " << g.total << " (" << Reasons(g.reasons)
                    << "), stored " << w.total << " (" << Reasons(w.reasons) << ")";
  }
  return found;
}

class BulkPaths : public testing::BackendTest {
 protected:
  void SetUp() override {
    // Every sheet stored alone is a synced commit, a disk flush each (some ms
    // on a shared disk): the SQLite file goes to a tmpfs when there is room,
    // where a flush costs nothing. What is compared here is what is stored.
    struct statvfs room {};
    if (GetParam() == "sqlite" && ::statvfs("/dev/shm", &room) == 0 && ::access("/dev/shm", W_OK) == 0 &&
        static_cast<double>(room.f_bavail) * room.f_frsize > 2e9)
      ::setenv("TMPDIR", "/dev/shm", 1);
    BackendTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    dir_ = fs::temp_directory_path() / ("omr-bulk-" + std::to_string(::getpid()) + "-" + GetParam());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::copy_file(kForm, dir_ / "exam60.form");
    std::ofstream(dir_ / "exam.json") << ExamText(key_);
    std::int32_t error = 0;
    ASSERT_TRUE(ReadFormFile(forms_, settings_, kForm.c_str(), error));
    forms_.SelectLayout(kFaceA);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  SheetInput Drawn(const Project& project, const Plan& p, int index) {
    SheetInput in;
    in.station = index % 2 ? "north" : "south";
    in.readAt = ReadAt(index);
    if (p.kind == Kind::kNoGrid) {
      in.code = 3;  // two sheets fed at once: the reader sends no grid
      return in;
    }
    std::vector<Answer> answers;
    // A digit of weighted cells (8-4-2-1) marked 8 and 4: twelve is no digit.
    for (int d = 0; d < 8; ++d)
      answers.push_back(d == p.badDigit ? Answer::Marks({{0}, {1}}) : Answer::Char(p.id[d]));
    answers.push_back(Answer::Char('0'));
    answers.push_back(Answer::Char(p.version));
    for (int q = 0; q < kItems; ++q) {
      const std::string& s = p.marked[static_cast<std::size_t>(q)];
      std::vector<sim::Mark> marks;
      for (const char c : s)
        marks.push_back({c - 'A', q == p.faint ? sim::MarkStyle::Light : sim::MarkStyle::Normal});
      answers.push_back(marks.empty() ? Answer::Blank() : Answer::Marks(marks));
    }
    sim::DrawOptions draw;
    draw.seed = p.seed;
    draw.noise = 1;
    draw.missingBar = p.missingBar ? 1 : 0;
    sim::SheetGrid grid;
    std::string error;
    EXPECT_TRUE(sim::DrawSheet(forms_.Layout(kFaceA, 0), answers, draw, grid, error)) << error;
    in.hasGrid = true;
    in.decoded = project.form().Decode(
        {grid.Lines(), grid.Columns(), std::vector<std::uint8_t>(grid.Cells().begin(), grid.Cells().end())});
    return in;
  }

  Key key_ = MakeKey();
  fs::path dir_;
  FormDefinition forms_;
  ReaderSettings settings_;
};

TEST_P(BulkPaths, MatchTheSheetBySheetPath) {
  const int count = SheetCount();
  const std::vector<Plan> plans = DrawPlans(count);
  const std::string location = backend_->NewLocation();
  const std::string examPath = (dir_ / "exam.json").string();
  const auto start = Clock::now();
  auto a = Project::Create(location, examPath, "A", "test");
  int noGrid = 0;
  for (int i = 0; i < count; ++i) {
    const Plan& p = plans[static_cast<std::size_t>(i)];
    const SheetInput in = Drawn(*a, p, i);
    if (p.kind == Kind::kMissingBar) {
      ASSERT_EQ(in.decoded.code, 5) << "a bar drawn light is refused";
    }
    noGrid += p.kind == Kind::kNoGrid;
    ASSERT_EQ(a->AddSheet(in).number, i + 1);
  }
  const double perSheet = Seconds(start);

  auto b = Project::Create(location, examPath, "B", "test", true);
  auto t = Clock::now();
  const ImportReport imported = b->ImportSheets(*a, nullptr, /*asThisExam=*/true);
  const double importing = Seconds(t);
  int refed = 0;
  for (const Plan& p : plans) refed += p.kind == Kind::kRefed;
  EXPECT_EQ(imported.added, count);
  EXPECT_EQ(imported.present, 0);
  EXPECT_GE(imported.duplicates, refed);  // the later of each pair; an earlier copy fed again makes more

  // The same corrections on both: an item, an ID that now repeats another
  // sheet's, a repeated ID made void, a sheet fed again kept, a version.
  std::map<int, std::string> idNow;  // sheet number -> corrected ID
  std::set<int> voided, corrected;
  auto first = [&](Kind kind, int after = 0) {
    for (int i = after; i < count; ++i)
      if (plans[static_cast<std::size_t>(i)].kind == kind) return i + 1;
    return 0;
  };
  const int dupId = first(Kind::kDuplicateId);
  const int refedSheet = first(Kind::kRefed);
  const int unknownVersion = first(Kind::kUnknownVersion);
  const int idTaken = first(Kind::kNormal, 100);
  const int idGiven = first(Kind::kNormal, 200);
  for (Project* p : {a.get(), b.get()}) {
    p->Correct(3, "11", "B", "Ann", "");
    p->Correct(idGiven, "id", plans[static_cast<std::size_t>(idTaken - 1)].id, "Ann", "");
    p->Correct(dupId, "sheet", "void", "Ann", "fed with the wrong ID");
    p->Correct(refedSheet, "sheet", "keep", "Ann", "");
    p->Correct(unknownVersion, "version", "2", "Ann", "");
  }
  idNow[idGiven] = plans[static_cast<std::size_t>(idTaken - 1)].id;
  voided.insert(dupId);
  corrected = {3, idGiven, dupId, refedSheet, unknownVersion};

  const Stored want = ReadBack(*a);
  ASSERT_EQ(static_cast<int>(want.sheets.size()), count);
  EXPECT_EQ(Differences(want, ReadBack(*b), "import"), 0);

  // The derived rows of A built again, as after a migration (B keeps its own).
  const Id examA = a->examId();
  a.reset();
  const std::string ofA = "(SELECT id FROM sheets WHERE exam_id = " + std::to_string(examA) + ")";
  backend_->Execute(location, "DELETE FROM derived WHERE exam_id = " + std::to_string(examA) +
                                  "; DELETE FROM responses WHERE sheet_id IN " + ofA +
                                  "; DELETE FROM scores WHERE sheet_id IN " + ofA);
  t = Clock::now();
  a = Project::Open(location, "A");
  const double rebuilding = Seconds(t);
  EXPECT_EQ(Differences(want, ReadBack(*a), "built after a migration"), 0);
  EXPECT_EQ(Differences(want, ReadBack(*b), "the other exam after A's migration"), 0);

  // A third of B's responses gone: the re-scan writes them again.
  const std::string ofB =
      "(SELECT id FROM sheets WHERE exam_id = " + std::to_string(b->examId()) + " AND number % 3 = 0)";
  backend_->Execute(location, "DELETE FROM responses WHERE sheet_id IN " + ofB);
  int lost = 0;
  for (std::size_t i = 0; i < want.sheets.size(); ++i)
    lost += want.sheets[i].number % 3 == 0 && !want.responses[i].empty();
  t = Clock::now();
  const RescanReport rescanned = b->Rescan(nullptr, "test");
  const double rescanning = Seconds(t);
  EXPECT_EQ(rescanned.sheets, count - noGrid);
  EXPECT_EQ(rescanned.noGrid, noGrid);
  EXPECT_EQ(rescanned.changed, lost);
  EXPECT_EQ(Differences(want, ReadBack(*b), "re-scan"), 0);

  // Half of B's scores spoilt: re-scoring puts every one back.
  backend_->Execute(
      location,
      "UPDATE scores SET total = -1, student_id = 'x', answers = '', points = '', reason_mask = 0, "
      "reasons = '[]' WHERE exam_id = " +
          std::to_string(b->examId()) + " AND number % 2 = 0");
  t = Clock::now();
  EXPECT_EQ(b->RescoreAll(), count);
  const double rescoring = Seconds(t);
  EXPECT_EQ(Differences(want, ReadBack(*b), "re-score"), 0);
  EXPECT_EQ(Differences(want, a->ScoreAll(), "A scored in memory"), 0);
  EXPECT_EQ(Differences(want, b->ScoreAll(), "B scored in memory"), 0);

  // The bulk-made exam against the drawn answers, for the sheets without
  // corrections (the faint marks are the recognition's to decide).
  std::map<std::string, int> withId;      // valid IDs of the sheets not void
  std::map<std::uint32_t, int> withGrid;  // drawings (grids) of the sheets not void
  auto idOf = [&](int number) {
    const auto hit = idNow.find(number);
    return hit != idNow.end() ? hit->second : plans[static_cast<std::size_t>(number - 1)].id;
  };
  auto hasId = [&](const Plan& p) {
    return p.kind != Kind::kNoGrid && p.kind != Kind::kMissingBar && p.kind != Kind::kInvalidId;
  };
  for (int n = 1; n <= count; ++n) {
    const Plan& p = plans[static_cast<std::size_t>(n - 1)];
    if (voided.count(n)) continue;
    if (hasId(p)) ++withId[idOf(n)];
    if (p.kind != Kind::kNoGrid) ++withGrid[p.seed];
  }
  const Stored bulk = ReadBack(*b);
  int checked = 0;
  int mismatched = 0;
  for (int n = 1; n <= count; ++n) {
    const Plan& p = plans[static_cast<std::size_t>(n - 1)];
    if (corrected.count(n) || p.faint >= 0) continue;
    const ScoreRecord& s = bulk.scores[static_cast<std::size_t>(n - 1)];
    std::vector<std::pair<std::string, int>> reasons;
    for (const Reason& r : s.reasons) reasons.emplace_back(r.code, r.question);
    std::sort(reasons.begin(), reasons.end());
    const auto has = [&](const std::string& code) {
      return std::any_of(reasons.begin(), reasons.end(), [&](const auto& r) { return r.first == code; });
    };
    ++checked;
    const auto before = mismatched;
    if (p.kind == Kind::kNoGrid || p.kind == Kind::kMissingBar) {
      mismatched += s.scored || !has("not-read");
    } else if (p.kind == Kind::kUnknownVersion) {
      mismatched += s.scored || !has("unknown-version") || s.studentId != p.id;
    } else {
      const Expected e = ScoreByHand(key_, p);
      std::vector<std::pair<std::string, int>> expected = e.reasons;
      if (p.kind == Kind::kInvalidId) expected.emplace_back("invalid-id", 0);
      if (hasId(p) && withId[idOf(n)] > 1) expected.emplace_back("duplicate-id", 0);
      if (withGrid[p.seed] > 1) expected.emplace_back("duplicate-grid", 0);
      std::sort(expected.begin(), expected.end());
      mismatched += !s.scored || s.total != e.total || s.maximum != 59 || !s.percent ||
                    std::abs(*s.percent - 100 * e.total / 59) > 1e-9 ||
                    s.version != std::string(1, p.version) || s.idState != (hasId(p) ? "valid" : "invalid") ||
                    (hasId(p) && s.studentId != p.id) || reasons != expected;
      if (mismatched != before && mismatched <= 10)
        ADD_FAILURE() << "sheet " << n << ": total " << s.total << ", by hand " << e.total << "; reasons "
                      << Reasons(s.reasons) << "; version " << s.version << ", drawn " << p.version
                      << "; expected " << [&] {
                           std::string t;
                           for (const auto& [code, q] : expected) t += code + "/" + std::to_string(q) + " ";
                           return t;
                         }();
      continue;
    }
    if (mismatched != before && mismatched <= 10)
      ADD_FAILURE() << "sheet " << n << " (not read or of no version): " << Reasons(s.reasons);
  }
  EXPECT_EQ(mismatched, 0) << "of " << checked << " sheets checked by hand";
  EXPECT_GT(checked, count * 9 / 10);
  std::printf(
      "%d sheets (%s): stored one by one in %.1f s, imported in %.1f s, built after a migration in "
      "%.1f s, re-scanned in %.1f s, re-scored in %.1f s\n",
      count, GetParam().c_str(), perSheet, importing, rebuilding, rescanning, rescoring);
}

OMR_FOR_EACH_BACKEND(BulkPaths);

}  // namespace
}  // namespace omr::exam
