// The integrity analyses against planted truth and R: one simulated exam of
// 400 students (drawn by the simulator, read by the offline recognition,
// stored in an SQLite project) with planted erasers, a room that erases at
// twice the rate, copiers, a biased item and a wrong key. DIF and Rasch
// figures are compared with R's mantelhaen.test and eRm on the planted
// answers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "backup.h"
#include "export.h"
#include "integrity_report.h"
#include "planted_exam.h"
#include "project_analysis.h"
#include "project_integrity.h"

namespace omr::exam {
namespace {

namespace fs = std::filesystem;
using testing::PlantedExam;

class Planted : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() / ("omr-integrity-" + std::to_string(::getpid())));
    fs::remove_all(*dir_);
    fs::create_directories(*dir_);
    exam_ = new PlantedExam(testing::PlantExam({}));
    project_ = testing::StorePlantedExam(*exam_, dir_->string(), (*dir_ / "exam.omrexam").string()).release();
    std::vector<SheetRecord> records;
    const std::vector<SheetScore> scores = project_->ScoreAll(&records);
    input_ = new IntegrityInput(IntegrityInputOf(*project_, scores, records, ""));
  }
  static void TearDownTestSuite() {
    delete input_;
    delete project_;
    delete exam_;
    fs::remove_all(*dir_);
    delete dir_;
  }

  // The student of each analysed sheet: sheets are stored in reading order.
  static const testing::PlantedStudent& StudentOf(std::size_t sheet) { return exam_->students.at(sheet); }

  static IntegrityOptions By(const std::string& group) {
    IntegrityOptions o;
    o.group = group;
    return o;
  }

  static fs::path* dir_;
  static PlantedExam* exam_;
  static Project* project_;
  static IntegrityInput* input_;
};

fs::path* Planted::dir_ = nullptr;
PlantedExam* Planted::exam_ = nullptr;
Project* Planted::project_ = nullptr;
IntegrityInput* Planted::input_ = nullptr;

TEST_F(Planted, TheRecognitionReadsTheDrawnErasuresAndEveryScreenFindsWhatWasPlanted) {
  ASSERT_EQ(input_->analysis.sheets.size(), exam_->students.size());
  // Each erasure the simulator drew, and only those, is read back beside its answer.
  std::int64_t drawn = 0, read = 0;
  for (std::size_t s = 0; s < exam_->students.size(); ++s) {
    const testing::PlantedStudent& st = StudentOf(s);
    ASSERT_EQ(input_->sheets[s].student, st.id);
    for (int m = 1; m <= PlantedExam::kItems; ++m) {
      const char erased = st.erased[static_cast<std::size_t>(m - 1)];
      drawn += erased != ' ';
      const std::string& got = input_->sheets[s].erased[static_cast<std::size_t>(m - 1)];
      read += !got.empty();
      if (erased != ' ') {
        EXPECT_EQ(got, std::string(1, erased)) << st.id << " item " << m;
      }
    }
  }
  EXPECT_EQ(read, drawn);

  // Erasures: the planted students and the doubled room, at most one other student, no other room.
  const ErasureResult e = AnalyzeErasures(*input_, By("room"));
  std::set<std::string> flagged;
  for (const StudentErasures& s : e.students) {
    if (!s.test.flagged) continue;
    flagged.insert(s.student);
    EXPECT_LT(s.test.p, e.studentThreshold);
  }
  int others = static_cast<int>(flagged.size());
  for (const int i : exam_->erasers) {
    EXPECT_TRUE(flagged.count(exam_->students[static_cast<std::size_t>(i)].id)) << exam_->students[i].id;
    others -= flagged.count(exam_->students[static_cast<std::size_t>(i)].id) != 0;
  }
  EXPECT_LE(others, 1);
  std::set<std::string> rooms;
  for (const GroupErasures& g : e.groups)
    if (g.test.flagged) rooms.insert(g.value);
  EXPECT_EQ(rooms, std::set<std::string>{exam_->doubledRoom});
  EXPECT_EQ(e.groupsTested, 8);
  // Each student's counts as the plan classifies its erasures.
  for (const StudentErasures& s : e.students) {
    const testing::PlantedStudent& st = StudentOf(s.sheet);
    std::int64_t wr = 0, rw = 0, ww = 0;
    for (int m = 1; m <= PlantedExam::kItems; ++m) {
      const char erased = st.erased[static_cast<std::size_t>(m - 1)];
      if (erased == ' ') continue;
      const bool before = erased == exam_->writtenKey[static_cast<std::size_t>(m - 1)];
      const bool after = exam_->Right(st, m);
      wr += !before && after;
      rw += before && !after;
      ww += !before && !after;
    }
    EXPECT_EQ(s.counts.wrongToRight, wr) << st.id;
    EXPECT_EQ(s.counts.rightToWrong, rw) << st.id;
    EXPECT_EQ(s.counts.wrongToWrong, ww) << st.id;
  }

  // Copying, within rooms: at least 4 of the 5 pairs, at most one honest pair.
  const SimilarityResult sim = AnalyzeSimilarity(*input_, By("room"));
  EXPECT_EQ(sim.scope, PairScope::kGroup);
  std::set<std::pair<std::size_t, std::size_t>> planted;
  for (const auto& [s, c] : exam_->pairs)
    planted.insert(std::minmax(static_cast<std::size_t>(s), static_cast<std::size_t>(c)));
  int found = 0, honest = 0;
  for (const PairSimilarity& p : sim.pairs) {
    if (!p.flagged) continue;
    const bool isPlanted = planted.count(std::minmax(p.source, p.copier)) != 0;
    (isPlanted ? found : honest)++;
    // The shared wrong answers are those of the two answer strings.
    const testing::PlantedStudent &a = StudentOf(p.source), &b = StudentOf(p.copier);
    std::vector<std::pair<int, char>> shared;
    for (int m = 1; m <= PlantedExam::kItems; ++m) {
      const char x = a.answers[static_cast<std::size_t>(m - 1)];
      if (x != ' ' && x == b.answers[static_cast<std::size_t>(m - 1)] && !exam_->Right(a, m))
        shared.emplace_back(m, x);
    }
    EXPECT_EQ(p.sharedWrong, shared);
  }
  EXPECT_GE(found, 4);
  EXPECT_LE(honest, 1);

  // The wrong key: flagged "key?" by the item analysis, the right answer proposed.
  const ExamAnalysis analysis = AnalyzeScores(project_->exam(), project_->shape(), project_->ScoreAll());
  const std::vector<KeyFix> fixes = ProposeKeys(analysis);
  const int wrongKey = exam_->plan.wrongKeyItem;
  ASSERT_EQ(fixes.size(), 1u);
  EXPECT_EQ(fixes[0].master, wrongKey);
  EXPECT_EQ(fixes[0].proposed, exam_->trueKey[static_cast<std::size_t>(wrongKey - 1)]);
}

// The output of a command, and its exit status.
std::pair<std::string, int> Shell(const std::string& command) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return {"cannot run " + command, -1};
  std::string out;
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  const int status = ::pclose(pipe);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// R's mantelhaen.test and eRm on the planted answers, in one R session.
std::string RunR(const std::string& script, const std::string& dir) {
  const std::string path = dir + "/check.R";
  std::ofstream(path) << script;
  const auto [out, status] = Shell("Rscript --vanilla " + path);
  return status == 0 ? out : "Rscript failed (R with eRm: scripts/bootstrap installs it):\n" + out;
}

TEST_F(Planted, DifAndRaschAgreeWithR) {
  // The planted answers, scored by the written key, with each student's groups.
  const std::string data = (*dir_ / "answers.csv").string();
  {
    std::ofstream out(data);
    out << "version,class";
    for (int m = 1; m <= PlantedExam::kItems; ++m) out << ",i" << m;
    out << "\n";
    for (const testing::PlantedStudent& st : exam_->students) {
      out << st.version << "," << st.klass;
      for (int m = 1; m <= PlantedExam::kItems; ++m) out << "," << (exam_->Right(st, m) ? 1 : 0);
      out << "\n";
    }
  }
  const std::string script = R"(
suppressMessages(library(eRm))
d <- read.csv(")" + data + R"(", colClasses = c(version = "character", class = "character"))
X <- as.matrix(d[, -(1:2)])
total <- rowSums(X)
mh <- function(column, focal, reference) {
  g <- d[[column]]
  keep <- g == focal | (if (is.na(reference)) TRUE else g == reference)
  grp <- factor(ifelse(g[keep] == focal, "focal", "reference"), levels = c("reference", "focal"))
  for (i in seq_len(ncol(X))) {
    y <- factor(ifelse(X[keep, i] == 1, "right", "wrong"), levels = c("right", "wrong"))
    s <- total[keep]
    big <- s %in% as.numeric(names(which(table(s) >= 2)))
    t <- mantelhaen.test(table(grp[big], y[big], s[big]))
    cat(sprintf("mh %s %s %d %.17g %.17g %.17g\n", column, focal, i, t$estimate, t$statistic,
                (log(t$conf.int[2]) - log(t$estimate)) / qnorm(0.975)))
  }
}
v <- table(d$version)
if (v[[1]] >= v[[2]]) mh("version", names(v)[2], names(v)[1]) else mh("version", names(v)[1], names(v)[2])
for (cl in sort(unique(d$class))) mh("class", cl, NA)
m <- RM(X)
cat(sprintf("beta %d %.17g %.17g\n", seq_along(m$betapar), -m$betapar, m$se.beta), sep = "")
p <- person.parameter(m)
th <- p$theta.table
scores <- rowSums(X)
for (r in sort(unique(scores))) cat(sprintf("theta %d %.17g\n", r, th[which(scores == r)[1], 1]))
f <- itemfit(p)
cat(sprintf("fit %d %.17g %.17g\n", seq_along(f$i.infitMSQ), f$i.infitMSQ, f$i.outfitMSQ), sep = "")
)";
  const std::string out = RunR(script, dir_->string());
  ASSERT_NE(out.find("beta 1 "), std::string::npos) << out;

  const DifResult dif = AnalyzeDif(*input_, By("class"));
  std::map<std::pair<std::string, std::string>, const DifComparison*> comparisons;
  for (const DifComparison& c : dif.comparisons) comparisons[{c.column, c.focal}] = &c;
  const RaschResult rasch = AnalyzeRasch(input_->analysis);
  ASSERT_TRUE(rasch.estimated) << rasch.why;

  std::istringstream lines(out);
  std::string kind;
  int mhLines = 0, betaLines = 0, thetaLines = 0, fitLines = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream f(line);
    f >> kind;
    if (kind == "mh") {
      std::string column, focal;
      int item;
      double estimate, chi, logSe;
      f >> column >> focal >> item >> estimate >> chi >> logSe;
      const auto hit = comparisons.find({column, focal});
      ASSERT_NE(hit, comparisons.end()) << line;
      const DifItem& mine = hit->second->items.at(static_cast<std::size_t>(item - 1));
      ASSERT_TRUE(mine.oddsRatio) << line;
      EXPECT_NEAR(*mine.chiSquare, chi, 1e-9 * std::max(1.0, chi)) << line;
      if (!std::isfinite(estimate) || estimate == 0) {  // one group answered alike in every stratum
        EXPECT_EQ(*mine.oddsRatio, estimate) << line;
        continue;
      }
      EXPECT_NEAR(*mine.oddsRatio, estimate, 1e-9 * std::max(1.0, estimate)) << line;
      EXPECT_NEAR(*mine.logSe, logSe, 1e-9) << line;
      ++mhLines;
    } else if (kind == "beta") {
      int item;
      double difficulty, se;
      f >> item >> difficulty >> se;
      const RaschItem& mine = rasch.items.at(static_cast<std::size_t>(item - 1));
      EXPECT_NEAR(mine.difficulty, difficulty, 1e-3) << line;
      EXPECT_NEAR(mine.se, se, 1e-3) << line;
      ++betaLines;
    } else if (kind == "theta") {
      int score;
      double theta;
      f >> score >> theta;
      EXPECT_NEAR(rasch.scores.at(static_cast<std::size_t>(score)).measure, theta, 1e-3) << line;
      ++thetaLines;
    } else if (kind == "fit") {
      int item;
      double infit, outfit;
      f >> item >> infit >> outfit;
      const RaschItem& mine = rasch.items.at(static_cast<std::size_t>(item - 1));
      EXPECT_NEAR(*mine.infit, infit, 1e-3) << line;
      EXPECT_NEAR(*mine.outfit, outfit, 1e-3) << line;
      ++fitLines;
    }
  }
  EXPECT_EQ(mhLines, PlantedExam::kItems * 5);  // the versions, and each of the 4 classes against the others
  EXPECT_EQ(betaLines, PlantedExam::kItems);
  EXPECT_GT(thetaLines, 20);
  EXPECT_EQ(fitLines, PlantedExam::kItems);

  // The biased item is C for its class (easier there); the versions, drawn
  // at random, do not make it C. (Against "the others", which hold the
  // favoured class, another class may see it as harder.)
  for (const DifComparison& c : dif.comparisons) {
    const DifItem& item = c.items.at(static_cast<std::size_t>(exam_->plan.difItem - 1));
    if (c.column == "class" && c.focal == exam_->difClass) {
      EXPECT_EQ(item.category, DifClass::kC);
      EXPECT_GT(*item.delta, 0);
    }
    if (c.column == "version") {
      EXPECT_NE(item.category, DifClass::kC);
    }
  }
}

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The item with the wrong key made an "all" item (right only when its one
// distractor is marked): still flagged, but no single key is proposed in its
// place, and the report is written.
TEST_F(Planted, AnAllItemFlaggedKeyGetsNoSingleKeyProposed) {
  const fs::path copy = *dir_ / "all-item.omrexam";
  BackupProject((*dir_ / "exam.omrexam").string(), copy.string(), true);
  nlohmann::json exam = nlohmann::json::parse(exam_->examJson);
  const std::size_t w = static_cast<std::size_t>(exam_->plan.wrongKeyItem - 1);
  exam["scoring"]["items"][std::to_string(exam_->plan.wrongKeyItem)] = {
      {"all", std::string(1, exam_->writtenKey[w])}};
  const fs::path examFile = *dir_ / "all-item.exam.json";
  std::ofstream(examFile) << exam.dump();
  auto project = Project::Open(copy.string(), "");
  project->Rekey(examFile.string(), "test");
  const ProjectIntegrity screening = AnalyzeProjectIntegrity(*project, {});
  bool flagged = false;
  for (const KeyFix& fix : screening.result.keyFixes) {
    if (fix.master != exam_->plan.wrongKeyItem) continue;
    flagged = true;
    EXPECT_FALSE(fix.preview);
    EXPECT_TRUE(fix.command.empty());
  }
  EXPECT_TRUE(flagged);
  EXPECT_NE(RenderIntegrityPage(screening.result, screening.title, screening.generated).find("integrity"),
            std::string::npos);
}

TEST_F(Planted, TheCommandTheReportAndTheExportsShowIt) {
  // A reviewer confirms one doubted answer: the exports no longer mark it.
  std::size_t first = 0;
  while (exam_->students[first].erased == std::string(PlantedExam::kItems, ' ')) ++first;
  const testing::PlantedStudent& st = exam_->students[first];
  const int master = static_cast<int>(st.erased.find_first_not_of(' ')) + 1;
  int place = master;
  if (st.version == 2)
    place = static_cast<int>(std::find(exam_->order2.begin(), exam_->order2.end(), master) -
                             exam_->order2.begin()) +
            1;
  project_->Correct(static_cast<int>(first + 1), std::to_string(10 + place),
                    std::string(1, st.answers[static_cast<std::size_t>(master - 1)]), "test", "checked");

  const ExportTables tables = BuildTables(*project_);
  const auto column = std::find(tables.sheets.header.begin(), tables.sheets.header.end(), "doubted");
  ASSERT_NE(column, tables.sheets.header.end());
  const std::size_t c = static_cast<std::size_t>(column - tables.sheets.header.begin());
  for (std::size_t s = 0; s < exam_->students.size(); ++s) {
    std::string expected;
    for (int m = 1; m <= PlantedExam::kItems; ++m)
      if (exam_->students[s].erased[static_cast<std::size_t>(m - 1)] != ' ' && !(s == first && m == master))
        expected += (expected.empty() ? "" : ";") + std::to_string(m);
    const Cell& cell = tables.sheets.rows[s][c];
    EXPECT_EQ(cell.kind == Cell::Kind::kNumber ? std::to_string(static_cast<int>(cell.number)) : cell.text,
              expected)
        << "sheet " << s + 1;
  }

  const std::string omrctl = OMR_OMRCTL " exam integrity " + (*dir_ / "exam.omrexam").string();
  const auto [json, status] = Shell(omrctl + " --group room --json");
  ASSERT_EQ(status, 0) << json;
  const nlohmann::json j = nlohmann::json::parse(json);
  std::set<std::string> flagged;
  for (const auto& s : j["erasures"]["students"])
    if (s["test"]["flagged"].get<bool>()) flagged.insert(s["student"].get<std::string>());
  for (const int i : exam_->erasers)
    EXPECT_TRUE(flagged.count(exam_->students[static_cast<std::size_t>(i)].id));
  EXPECT_EQ(j["similarity"]["scope"], "group");
  EXPECT_EQ(j["key_fixes"][0]["item"], exam_->plan.wrongKeyItem);

  // The proposed key's dry run changes the totals the planted answers say it
  // must, and the command shown for it does the same.
  const ProjectIntegrity screening = AnalyzeProjectIntegrity(*project_, {});
  ASSERT_EQ(screening.result.keyFixes.size(), 1u);
  const KeyFix& fix = screening.result.keyFixes[0];
  ASSERT_TRUE(fix.preview);
  const std::size_t w = static_cast<std::size_t>(exam_->plan.wrongKeyItem - 1);
  std::map<int, std::pair<double, double>> expected, got;
  for (std::size_t s = 0; s < exam_->students.size(); ++s) {
    const testing::PlantedStudent& p = exam_->students[s];
    double before = 0;
    for (int m = 1; m <= PlantedExam::kItems; ++m) before += exam_->Right(p, m);
    const int delta = (p.answers[w] == exam_->trueKey[w]) - (p.answers[w] == exam_->writtenKey[w]);
    if (delta != 0) expected[static_cast<int>(s + 1)] = {before, before + delta};
  }
  for (const ScoreChange& c : fix.preview->changed) got[c.sheet] = {c.totalBefore, c.totalAfter};
  EXPECT_EQ(got, expected);
  ASSERT_EQ(fix.command.rfind("omrctl ", 0), 0u) << fix.command;
  const auto [dry, dryStatus] = Shell(OMR_OMRCTL + fix.command.substr(6) + " --dry-run --json");
  ASSERT_EQ(dryStatus, 0) << dry;
  EXPECT_EQ(nlohmann::json::parse(dry)["changed"].size(), expected.size());

  const fs::path page = *dir_ / "screening.html", report = *dir_ / "report.html";
  EXPECT_EQ(Shell(omrctl + " --html " + page.string()).second, 0);
  EXPECT_NE(Slurp(page).find("<section id=integrity>"), std::string::npos);
  const auto [text, textStatus] = Shell(omrctl);
  EXPECT_EQ(textStatus, 0);
  EXPECT_NE(text.find("Answer changes (erasures)"), std::string::npos) << text;
  const auto [refused, refusedStatus] = Shell(omrctl + " --group seat");
  EXPECT_NE(refusedStatus, 0);
  EXPECT_NE(refused.find("class, room, station"), std::string::npos) << refused;
  ASSERT_EQ(Shell(std::string(OMR_OMRCTL) + " exam report " + (*dir_ / "exam.omrexam").string() + " --html " +
                  report.string())
                .second,
            0);
  const std::string html = Slurp(report);
  EXPECT_NE(html.find("<section id=items>"), std::string::npos);
  EXPECT_NE(html.find("<section id=integrity>"), std::string::npos);
}

}  // namespace
}  // namespace omr::exam
