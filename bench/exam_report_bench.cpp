// The exam report of a large exam: item analysis, the HTML page and the other
// forms, for a simulated exam of 10,000 sheets x 100 items (four versions,
// one sheet in twenty waiting for review). The report must be written in
// under 3 s and stay under 2 MB.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <xlsxwriter.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "exam_sim.h"
#include "report_common.h"
#include "report_html.h"
#include "report_text.h"
#include "report_xlsx.h"
#include "statistics.h"

namespace {

using namespace omr::exam;

int gSheets = 10000;
int gItems = 100;
int gWaitingEvery = 20;  // one sheet in this many waits for review
constexpr double kTargetSeconds = 3.0;
constexpr double kTargetBytes = 2.0 * 1024 * 1024;

struct Data {
  AnalysisInput input;
  ReportInfo info;
  ExamAnalysis exam;
  std::filesystem::path dir;
};

Data& Exam() {
  static Data* data = [] {
    auto* d = new Data;
    testing::SimulationPlan plan;
    plan.seed = 42;
    plan.sheets = gSheets;
    plan.items = gItems;
    plan.versions = {"A", "B", "C", "D"};
    plan.voidItem = 20;
    plan.bonusItem = 25;
    d->input = testing::SimulateExam(plan).input;
    d->info.title =
        "Simulated exam, " + std::to_string(gSheets) + " sheets x " + std::to_string(gItems) + " items";
    d->info.generated = "benchmark";
    for (const AnalysisSheet& s : d->input.sheets) {
      if (s.number % gWaitingEvery == 0) {
        d->info.waiting.push_back({s.number, "2024" + std::to_string(s.number),
                                   "Student " + std::to_string(s.number),
                                   "multiple marks on item 12; blank item 40"});
      }
    }
    std::string error;
    if (!AnalyzeExam(d->input, d->exam, error)) std::fprintf(stderr, "analysis failed: %s\n", error.c_str());
    std::string dir = (std::filesystem::temp_directory_path() / "omr-bench-exam-XXXXXX").string();
    if (mkdtemp(dir.data())) d->dir = dir;
    return d;
  }();
  return *data;
}

std::size_t gHtmlBytes = 0;

void Analyze(benchmark::State& state) {
  Data& d = Exam();
  for (auto _ : state) {
    ExamAnalysis exam;
    std::string error;
    benchmark::DoNotOptimize(AnalyzeExam(d.input, exam, error));
  }
}

void RenderHtml(benchmark::State& state) {
  Data& d = Exam();
  for (auto _ : state) {
    const std::string html = RenderHtmlReport(d.exam, d.info);
    gHtmlBytes = html.size();
    benchmark::DoNotOptimize(html.data());
  }
  state.counters["html_bytes"] = static_cast<double>(gHtmlBytes);
}

// Everything `exam report --html` does after loading the sheets: analysis,
// page, file written and synced.
void ReportWritten(benchmark::State& state) {
  Data& d = Exam();
  const std::filesystem::path file = d.dir / "report.html";
  for (auto _ : state) {
    ExamAnalysis exam;
    std::string error;
    if (!AnalyzeExam(d.input, exam, error)) state.SkipWithError(error.c_str());
    const std::string html = RenderHtmlReport(exam, d.info);
    if (!WriteFileReplacing(file, html, error)) state.SkipWithError(error.c_str());
    gHtmlBytes = html.size();
  }
  state.counters["html_bytes"] = static_cast<double>(gHtmlBytes);
}

void TextAndJson(benchmark::State& state) {
  Data& d = Exam();
  for (auto _ : state) {
    benchmark::DoNotOptimize(StatsText(d.exam, d.exam.overall).size());
    benchmark::DoNotOptimize(StatsJson(d.exam).size());
  }
}

void XlsxWorksheets(benchmark::State& state) {
  Data& d = Exam();
  const std::string file = (d.dir / "stats.xlsx").string();
  for (auto _ : state) {
    lxw_workbook* wb = workbook_new(file.c_str());
    std::string error;
    if (!AddAnalysisWorksheets(wb, d.exam, error)) state.SkipWithError(error.c_str());
    if (workbook_close(wb) != LXW_NO_ERROR) state.SkipWithError("workbook_close failed");
  }
}

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const double toSeconds = 1.0 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const std::string name = run.run_name.function_name;
      if (run.run_type == Run::RT_Iteration) {
        cpu_[name].push_back(run.GetAdjustedCPUTime() * toSeconds);
        wall_[name].push_back(run.GetAdjustedRealTime() * toSeconds);
      } else if (run.aggregate_name == "median") {
        cpu_[name] = {run.GetAdjustedCPUTime() * toSeconds};
        wall_[name] = {run.GetAdjustedRealTime() * toSeconds};
      }
    }
  }

  void PrintSummary() const {
    const std::string size = std::to_string(gSheets) + " x " + std::to_string(gItems);
    struct Figure {
      std::string name, text;
      double target;  // seconds on the wall; 0: reported only
    };
    const Figure figures[] = {
        {"exam_report/analyze", "item analysis, " + size, 0},
        {"exam_report/html", "HTML page, " + size, 0},
        {"exam_report/written", "report written (analysis + page + file), " + size, kTargetSeconds},
        {"exam_report/text_and_json", "terminal table + JSON, " + size, 0},
        {"exam_report/xlsx_worksheets", "XLSX item and option sheets, " + size, 0},
    };
    std::printf("\n%-58s %11s %11s  %-10s %s\n", "figure (median of runs)", "CPU time", "wall time", "target",
                "");
    for (const Figure& f : figures) {
      const auto found = cpu_.find(f.name);
      if (found == cpu_.end()) continue;
      const double cpu = Median(found->second), wall = Median(wall_.at(f.name));
      char target[32] = "-";
      const char* verdict = "";
      if (f.target > 0) {
        std::snprintf(target, sizeof target, "< %g s", f.target);
        verdict = wall < f.target ? "met" : "MISSED";
      }
      std::printf("%-58s %9.3f s %9.3f s  %-10s %s\n", f.text.c_str(), cpu, wall, target, verdict);
    }
    if (gHtmlBytes > 0) {
      std::printf("%-58s %11s %9.2f MB  %-10s %s\n", ("HTML size, " + size).c_str(), "",
                  static_cast<double>(gHtmlBytes) / (1024 * 1024), "< 2 MB",
                  gHtmlBytes < kTargetBytes ? "met" : "MISSED");
    }
  }

 private:
  static double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }
  std::map<std::string, std::vector<double>> cpu_, wall_;
};

}  // namespace

int main(int argc, char** argv) {
  // --exam-sheets=N and --exam-items=N size the exam (the smoke test runs a
  // small one); --exam-waiting-every=N puts one sheet in N on the review list.
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--exam-sheets=", 14) == 0) {
      gSheets = std::clamp(std::atoi(argv[i] + 14), 1, 1000000);
    } else if (std::strncmp(argv[i], "--exam-items=", 13) == 0) {
      gItems = std::clamp(std::atoi(argv[i] + 13), 11, 1000);
    } else if (std::strncmp(argv[i], "--exam-waiting-every=", 21) == 0) {
      gWaitingEvery = std::clamp(std::atoi(argv[i] + 21), 1, 1000000);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::RegisterBenchmark("exam_report/analyze", Analyze)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("exam_report/html", RenderHtml)->Unit(benchmark::kMillisecond)->UseRealTime();
  benchmark::RegisterBenchmark("exam_report/written", ReportWritten)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("exam_report/text_and_json", TextAndJson)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("exam_report/xlsx_worksheets", XlsxWorksheets)
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  std::error_code ec;
  if (!Exam().dir.empty()) std::filesystem::remove_all(Exam().dir, ec);
  return 0;
}
