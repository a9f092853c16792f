// An exam board's project: N sheets of the 60-item exam form (two versions),
// filled by the bulk path (grids drawn on both cores and stored as facts, a
// chunk a statement; the derived rows then built as after a migration), then
// every whole-project step timed in a process of its own, so that each
// figure comes with that step's peak memory. Every figure is printed with its
// target, scaled to 1,000,000 sheets (SQLite: 200,000).
//
//   omr_bench_scale [--sheets N] [--dir DIR] [--project LOCATION] [--keep]
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db.h"
#include "exam_sheets.h"
#include "grid_codec.h"
#include "office.h"
#include "project.h"
#include "project_analysis.h"
#include "report_html.h"
#include "sim/synth.h"
#include "temp_dir.h"
#include "write_file.h"

namespace {

namespace ex = omr::exam;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// Sheet n's facts: a unique student ID (n), version 1 or 2, answers drawn
// with a few faint and double marks (about one sheet in ten waits for a
// person), the grid as the reader sends it; read by one of 16 stations.
bool DrawFacts(const omr::SheetLayout& layout, int n, ex::SheetRecord& rec) {
  std::mt19937 rng(static_cast<std::uint32_t>(n) * 2654435761u + 17);
  omr::sim::RandomRates rates;
  rates.blank = 0.04;
  rates.doubleMark = 0.0005;
  rates.faint = 0.0015;
  std::vector<omr::sim::Answer> answers = omr::sim::RandomAnswers(layout, rng, rates);
  char id[16];
  std::snprintf(id, sizeof id, "%08d", n);
  for (int i = 0; i < 8; ++i) answers[static_cast<std::size_t>(i)] = omr::sim::Answer::Char(id[i]);
  answers[9] = omr::sim::Answer::Char(n % 2 ? '1' : '2');
  omr::sim::DrawOptions draw;
  draw.seed = static_cast<std::uint32_t>(n);
  draw.noise = 1;
  omr::sim::SheetGrid drawn;
  std::string why;
  if (!omr::sim::DrawSheet(layout, answers, draw, drawn, why)) {
    std::fprintf(stderr, "cannot draw sheet %d: %s\n", n, why.c_str());
    return false;
  }
  ex::SheetGrid grid{drawn.Lines(), drawn.Columns(),
                     std::vector<std::uint8_t>(drawn.Cells().begin(), drawn.Cells().end())};
  rec.station = "centre-" + std::to_string(n % 16);
  const long ms = 1700000000000L + static_cast<long>(n) * 250;  // a sheet every 250 ms, one clock
  const std::time_t s = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
  gmtime_r(&s, &tm);
  char at[40];
  std::strftime(at, sizeof at, "%Y-%m-%dT%H:%M:%S", &tm);
  rec.readAt = std::string(at) + "." + std::to_string(1000 + ms % 1000).substr(1) + "Z";
  rec.source = "read";
  rec.lines = grid.lines;
  rec.columns = grid.columns;
  rec.grid = ex::CompressGrid(grid);
  rec.gridHash = ex::GridHash(grid);
  return true;
}

// The figures a step hands back to the parent through a pipe.
struct StepResult {
  double seconds = 0;
  double extra = 0;  // a step's own figure (bytes, items, ...)
  double extra2 = 0;
  bool ok = false;
};

// Runs `step` in a child process: its wall time as it measures it, its peak
// resident memory as the kernel counted it.
StepResult RunStep(const char* name, const std::function<StepResult()>& step, long& peakKb) {
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    StepResult r;
    try {
      r = step();
      r.ok = true;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s: %s\n", name, e.what());
    }
    if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(2);
    _exit(0);
  }
  close(fds[1]);
  StepResult r;
  if (read(fds[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) r.ok = false;
  close(fds[0]);
  int status = 0;
  rusage use{};
  wait4(pid, &status, 0, &use);
  peakKb = use.ru_maxrss;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) r.ok = false;
  return r;
}

double PeakMiB(long kb) {
  return static_cast<double>(kb) / 1024;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 20000;
  std::string dir;
  std::string location;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--keep") {
      keep = true;
      continue;
    }
    if (i + 1 >= argc) break;
    if (arg == "--sheets")
      count = std::max(100, std::atoi(argv[++i]));
    else if (arg == "--dir")
      dir = argv[++i];
    else if (arg == "--project")
      location = argv[++i];
  }
  std::optional<omr::common::TemporaryDirectory> ownDir;
  if (dir.empty()) {
    ownDir.emplace("omr-bench-scale");
    if (ownDir->path().empty()) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = ownDir->path().string();
  }
  const bool server = ex::IsServerLocation(location);
  const std::string projectPath = location.empty() ? dir + "/scale.omrexam" : location;
  const std::string examPath = dir + "/exam.json";
  const std::string form = OMR_BENCH_EXAM_FORM;
  std::ofstream(examPath) << omr::bench::TwoVersionExam(form);
  if (!server) std::filesystem::remove(projectPath);
  // The targets are for a million sheets in PostgreSQL, 200,000 in SQLite.
  const double reference = server ? 1e6 : 2e5;
  const double scale = reference / count;
  const long items = 60L * count;

  omr::bench::ExamForm forms;
  if (!forms.Load(form)) return 1;
  const omr::SheetLayout& layout = forms.Layout();

  std::printf("exam board scale: %d sheets x 60 items (2 versions) in %s; targets for %s sheets\n", count,
              server ? "PostgreSQL" : projectPath.c_str(), server ? "1,000,000" : "200,000");
  long peak = 0;
  int failed = 0;
  auto line = [&](const char* what, double value, const char* unit, double target, const std::string& note) {
    const bool met = value < target;
    if (!met) ++failed;
    std::printf("  %-54s %10.3f %-5s target < %g %s: %s%s   peak %.0f MiB\n", what, value, unit, target, unit,
                met ? "met" : "NOT MET", note.c_str(), PeakMiB(peak));
    std::fflush(stdout);
  };
  auto memory = [&](const char* what) {
    if (PeakMiB(peak) >= 2048) {
      ++failed;
      std::printf("  %-54s peak %.0f MiB over the 2 GiB target\n", what, PeakMiB(peak));
    }
  };

  // Fill: facts drawn on both cores, stored a chunk of 5,000 a transaction.
  const auto fillStart = Clock::now();
  StepResult filled = RunStep(
      "fill",
      [&] {
        auto project = ex::Project::Create(projectPath, examPath, "exam", "bench");
        ex::Store& store = project->store();
        const int chunk = 5000;
        const unsigned threads = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
        std::vector<ex::SheetRecord> next(static_cast<std::size_t>(chunk));
        for (int from = 0; from < count; from += chunk) {
          const int n = std::min(chunk, count - from);
          std::vector<ex::SheetRecord> recs(static_cast<std::size_t>(n));
          std::vector<std::thread> workers;
          bool ok = true;
          for (unsigned t = 0; t < threads; ++t)
            workers.emplace_back([&, t] {
              for (int i = static_cast<int>(t); i < n; i += static_cast<int>(threads))
                if (!DrawFacts(layout, from + i + 1, recs[static_cast<std::size_t>(i)])) ok = false;
            });
          for (std::thread& w : workers) w.join();
          if (!ok) throw ex::Error("drawing failed");
          ex::WriteTransaction tx(store);
          store.AddSheets(project->examId(), recs);
          tx.Commit();
        }
        project.reset();
        // As after a migration: the derived rows are built when the exam is next opened.
        auto db = server ? ex::db::OpenPostgres(projectPath, false) : ex::db::OpenSqlite(projectPath, false);
        db->Script("DELETE FROM derived");
        return StepResult{};
      },
      peak);
  if (!filled.ok) return 1;
  const double fillFacts = Seconds(fillStart);
  std::printf("  %-54s %10.1f s     (%.1f us a sheet)   peak %.0f MiB\n", "filling: grids drawn and stored",
              fillFacts, fillFacts * 1e6 / count, PeakMiB(peak));
  memory("filling");

  StepResult built = RunStep(
      "build",
      [&] {
        const auto start = Clock::now();
        ex::Project::Open(projectPath, "exam");
        return StepResult{Seconds(start)};
      },
      peak);
  if (!built.ok) return 1;
  line("building every response and score (recognition, score)", built.seconds * 1e6 / count, "s", 150,
       " for 1,000,000 (measured " + std::to_string(built.seconds) + " s)");
  memory("building");

  // Size a sheet.
  StepResult size = RunStep(
      "size",
      [&] {
        StepResult r;
        if (server) {
          auto db = ex::db::OpenPostgres(projectPath, true);
          auto q = db->Query("SELECT pg_database_size(current_database())", {});
          q->Next();
          r.extra = static_cast<double>(q->Int(0));
        } else {
          { ex::Project::Open(projectPath, "exam"); }
          struct stat st {};
          stat(projectPath.c_str(), &st);
          r.extra = static_cast<double>(st.st_size);
        }
        return r;
      },
      peak);
  if (size.ok) line("project size a sheet (with its grid)", size.extra / count, "B", 4096, "");

  StepResult scoring = RunStep(
      "scoring",
      [&] {
        auto p = ex::Project::Open(projectPath, "exam", ex::Access::kRead);
        StepResult r;
        auto start = Clock::now();
        const ex::CompactScorer scorer(p->exam(), p->shape());
        const ex::PackedSheets packed = p->PackedResponses(scorer);
        r.extra = Seconds(start);
        std::vector<float> totals;
        start = Clock::now();
        const int rounds = 3;
        for (int k = 0; k < rounds; ++k) scorer.Totals(packed, totals);
        r.seconds = Seconds(start) / rounds;
        double sum = 0;
        for (const float t : totals) sum += t;
        r.extra2 = sum;
        return r;
      },
      peak);
  if (scoring.ok)
    line("scoring in memory, a tight loop (compact responses)",
         scoring.seconds * 1e9 / static_cast<double>(items), "ns", 50,
         " an item (" + std::to_string(scoring.seconds) + " s; reading them " +
             std::to_string(scoring.extra) + " s)");
  memory("scoring in memory");

  StepResult full = RunStep(
      "full scores",
      [&] {
        auto p = ex::Project::Open(projectPath, "exam", ex::Access::kRead);
        const auto start = Clock::now();
        const std::vector<ex::SheetScore> scores = p->ScoreAll();
        return StepResult{Seconds(start), static_cast<double>(scores.size())};
      },
      peak);
  if (full.ok)
    std::printf("  %-54s %10.3f s     (every item of every sheet held)   peak %.0f MiB\n",
                "scoring every sheet from the store, full scores", full.seconds, PeakMiB(peak));

  StepResult rescore = RunStep(
      "rescore",
      [&] {
        auto p = ex::Project::Open(projectPath, "exam");
        const auto start = Clock::now();
        p->RescoreAll();
        return StepResult{Seconds(start)};
      },
      peak);
  if (rescore.ok)
    line("re-scoring after a re-key (read, score, store)", rescore.seconds * scale, "s", server ? 30 : 6,
         " (measured " + std::to_string(rescore.seconds) + " s)");
  memory("re-scoring");

  StepResult rescan = RunStep(
      "rescan",
      [&] {
        auto p = ex::Project::Open(projectPath, "exam");
        const auto start = Clock::now();
        p->Rescan(nullptr, "bench");
        return StepResult{Seconds(start)};
      },
      peak);
  if (rescan.ok)
    line("re-scan: recognition again on every grid, both cores", rescan.seconds * 1e6 / count, "s", 150,
         " for 1,000,000 (measured " + std::to_string(rescan.seconds) + " s)");
  memory("re-scan");

  StepResult report = RunStep(
      "report",
      [&] {
        auto p = ex::Project::Open(projectPath, "exam", ex::Access::kRead);
        const auto start = Clock::now();
        const ex::ProjectReport made = ex::AnalyzeProject(*p);
        const std::string html = ex::RenderHtmlReport(made.analysis, made.info);
        std::string error;
        if (!omr::common::WriteFileWhole(dir + "/report.html", html, omr::common::IfExists::kReplace, error))
          throw ex::Error(error);
        return StepResult{Seconds(start), static_cast<double>(html.size())};
      },
      peak);
  if (report.ok) {
    line("item statistics and the report", report.seconds * scale, "s", 10,
         " (measured " + std::to_string(report.seconds) + " s)");
    line("the report page", report.extra / (1024 * 1024), "MB", 3, "");
  }
  memory("the report");

  StepResult status = RunStep(
      "status",
      [&] {
        const auto start = Clock::now();
        auto p = ex::Project::Open(projectPath, "exam", ex::Access::kRead);
        const ex::ExamStatus s = p->Status();
        return StepResult{Seconds(start), static_cast<double>(s.waiting)};
      },
      peak);
  if (status.ok) line("exam status (opening included)", status.seconds, "s", 1, "");
  memory("exam status");

  StepResult listed = RunStep(
      "exams",
      [&] {
        auto p = ex::Project::Open(projectPath, "exam", ex::Access::kRead);
        const auto start = Clock::now();
        const ex::office::Stamp stamp = ex::office::StampOf(*p);
        const ex::office::Json j = ex::office::Summary(*p, projectPath, stamp, nullptr);
        return StepResult{Seconds(start), static_cast<double>(j.value("waiting", 0))};
      },
      peak);
  if (listed.ok) line("the office's exam list, this exam's row", listed.seconds * 1000, "ms", 100, "");
  memory("the exam list");

  StepResult queue = RunStep(
      "queue",
      [&] {
        auto p = ex::Project::Open(projectPath, "exam", ex::Access::kRead);
        ex::Store& store = p->store();
        StepResult r;
        std::vector<double> first;
        std::vector<double> filtered;
        for (int k = 0; k < 9; ++k) {
          auto start = Clock::now();
          store.ReviewQueue(p->examId(), "", 0, 200);
          const ex::ReviewCounts counts = store.CountReview(p->examId());
          first.push_back(Seconds(start));
          r.extra = counts.waiting;
          start = Clock::now();
          store.ReviewQueue(p->examId(), "multiple", 0, 200);
          store.CountReview(p->examId());
          filtered.push_back(Seconds(start));
        }
        std::sort(first.begin(), first.end());
        std::sort(filtered.begin(), filtered.end());
        r.seconds = first[first.size() / 2];
        r.extra2 = filtered[filtered.size() / 2];
        return r;
      },
      peak);
  if (queue.ok) {
    const std::string waiting =
        " (" + std::to_string(static_cast<long>(queue.extra)) + " waiting, median of 9)";
    line("review queue: first page and its counts", queue.seconds * 1000, "ms", 100, waiting);
    line("review queue: filtered by a reason", queue.extra2 * 1000, "ms", 100, waiting);
  }
  memory("the review queue");

  if (!keep && !server) std::filesystem::remove(projectPath);
  std::printf("  %d figure(s) not met\n", failed);
  return 0;
}
