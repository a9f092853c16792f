// Library cost per sheet without any waiting: frame unpacking, recognition
// with the result text, and form parsing with a reader that answers at once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "form/form_loader.h"
#include "read/recognition.h"
#include "scripted_port.h"
#include "sim/sheet_frame.h"
#include "sim/synth.h"
#include "temp_files.h"

namespace {

using namespace omr;
using omr::sim::Bytes;
using omr::sim::SheetGrid;
using omr::test::ScriptedPort;

constexpr int kColumns = 48;  // cells across the head: 24 bytes a line

std::string FormLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormLine(const char* format, ...) {
  char text[kFormLineMax + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return std::string("\"") + text + "\"\n";
}

// An F line with every value at its column.
std::string FieldLine(int line, int column, char cell, char type, int label, int repeat, char group,
                      int gap) {
  return FormLine("F%4d%4d%c %c%3d%4d%c %d/", line, column, cell, type, label, repeat, group, gap);
}

// 200 single-choice questions in five blocks of 40, options A-E across.
std::string TwoHundredQuestionForm() {
  std::string form = FormLine("T A 002 47/") + FormLine("G 03 02 02 05/") + FormLine("L 070 30 24/") +
                     FormLine("M 001 01 40/") + FormLine("M 070 01 40/") + FormLine("D 01 ABCDE/");
  for (int block = 0; block < 5; ++block) form += FieldLine(14, 2 + 9 * block, 'U', 'S', 1, 40, 'R', 0);
  return form;
}

// The largest layout the tables take: 350 F records, each 255 questions of
// a 63-character label, every type and direction, on a 127-line sheet.
std::string WorstLayoutForm() {
  std::string letters;
  std::string weights;
  for (int i = 0; i < 63; ++i) {
    letters += static_cast<char>('A' + i % 26);
    weights += "8421"[i % 4];
  }
  std::string form = FormLine("T A 002 47/") + FormLine("G 03 02 02 05/") + FormLine("L 127 30 24/") +
                     FormLine("M 001 01 48/") + FormLine("M 127 01 40/") +
                     FormLine("D 01 %s/", letters.c_str()) + FormLine("D 02 %s/", weights.c_str()) +
                     FormLine("+ 1/");
  const char types[] = "SMBmsb";
  const char directions[] = "UDRL";
  for (int i = 0; i < kFieldRecords; ++i) {
    const char type = types[i % 6];
    const int label = (type == 'B' || type == 'b') ? 2 : 1;
    form += FieldLine(1 + (i * 7) % 127, 1 + (i * 5) % kColumns, directions[i % 4], type, label, 255,
                      directions[(i / 4) % 4], i % 3);
  }
  return form;
}

// 2000 command lines: 20 layouts of 100 lines (T, G, L, two M, ten D, 85 F).
std::string LargeForm() {
  static const char* const kLabels[] = {"ABCDE",  "8421",  "0123456789", "ABCD",     "YN",
                                        "ABCDEF", "12345", "A B C",      "ABCDEFGH", "TF"};
  std::string form;
  for (int layout = 0; layout < 20; ++layout) {
    form += FormLine("T %c %03d %02d/", 'A' + layout, 2 + layout, 47);
    form += FormLine("G 03 02 02 05/") + FormLine("L %03d 30 24/", 70 + layout);
    form += FormLine("M 001 01 40/") + FormLine("M %03d 01 40/", 70 + layout);
    for (int d = 0; d < 10; ++d) form += FormLine("D %02d %s/", d + 1, kLabels[d]);
    for (int f = 0; f < 85; ++f)
      form += FieldLine(4 + f % 60, 2 + (f * 3) % 40, "UR"[f % 2], "SMBsmb"[f % 6], 1 + f % 10, 1 + f % 20,
                        "RU"[f % 2], f % 2);
  }
  return form;
}

int CountLines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// A driver context holding a form and one sheet of it, identified and with
// its bars checked, ready for MR_GetResult.
struct PreparedSheet {
  std::unique_ptr<DriverContext> context = std::make_unique<DriverContext>();
  Bytes frame;
  int questions = 0;
  std::string error;
};

std::unique_ptr<PreparedSheet> PrepareSheet(const std::string& formPath, unsigned seed, int noise) {
  auto sheet = std::make_unique<PreparedSheet>();
  DriverContext& c = *sheet->context;
  std::int32_t error = 0;
  if (!ReadFormFile(c.forms, c.readerSettings, formPath.c_str(), error)) {
    sheet->error = "form " + formPath + " refused with code " + std::to_string(error);
    return sheet;
  }
  c.forms.SelectLayout(kFaceA);
  const SheetLayout& layout = c.forms.Layout(kFaceA, 0);
  std::mt19937 rng(seed);
  sim::DrawOptions options;
  options.seed = seed;
  options.noise = noise;
  options.columns = kColumns;
  sim::SheetGrid grid;
  if (!sim::DrawSheet(layout, sim::RandomAnswers(layout, rng, {0.0, 0.0}), options, grid, sheet->error) ||
      !sim::EncodeFrame(grid, nullptr, sheet->frame, sheet->error))
    return sheet;
  if (!c.frame.Unpack(sheet->frame.data(), static_cast<int>(sheet->frame.size()))) {
    sheet->error = "frame refused";
    return sheet;
  }
  c.identifiedLayout = IdentifyLayout(c.forms, c.frame, c.lastError);
  if (c.identifiedLayout == nullptr || !CheckBars(*c.identifiedLayout, c.frame)) {
    sheet->error = "sheet not recognised";
    return sheet;
  }
  c.lastError = 0;
  static char out[kResultBufferSize + 3];
  const int n = c.GetResult(out, 0);
  if (n <= 0) sheet->error = "no result";
  sheet->questions = n;
  return sheet;
}

// Frame unpacking of the largest sheet the areas hold: head A 127 lines of
// 48 cells and head B 29 lines of 2 cells, 6154 cells, every cell grey so
// that no zero run shortens the data.
Bytes FullSheetFrame() {
  SheetGrid a(127, kColumns);
  SheetGrid b(29, 2);
  unsigned state = 7;
  auto grey = [&state] {
    state = state * 1664525u + 1013904223u;
    return 1 + static_cast<int>((state >> 8) % 11);
  };
  for (int line = 1; line <= a.Lines(); ++line)
    for (int column = 1; column <= a.Columns(); ++column) a.Set(line, column, grey());
  for (int line = 1; line <= b.Lines(); ++line)
    for (int column = 1; column <= b.Columns(); ++column) b.Set(line, column, grey());
  Bytes frame;
  std::string error;
  sim::EncodeFrame(a, &b, frame, error);
  return frame;
}

void RunUnpack(benchmark::State& state, const Bytes& frameBytes, int cells) {
  auto frame = std::make_unique<DeviceFrame>();
  for (auto _ : state) {
    const bool ok = frame->Unpack(frameBytes.data(), static_cast<int>(frameBytes.size()));
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
  if (!frame->Unpack(frameBytes.data(), static_cast<int>(frameBytes.size())))
    state.SkipWithError("frame refused");
  state.counters["cells"] = cells;
  state.counters["frame_bytes"] = static_cast<double>(frameBytes.size());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(frameBytes.size()));
}

void UnpackFullSheet(benchmark::State& state) {
  static const Bytes frame = FullSheetFrame();
  RunUnpack(state, frame, 6154);
}

void UnpackExamSheet(benchmark::State& state) {
  static const auto sheet = PrepareSheet(OMR_BENCH_EXAM_FORM, 1, 0);
  if (!sheet->error.empty()) {
    state.SkipWithError(sheet->error.c_str());
    return;
  }
  RunUnpack(state, sheet->frame, 70 * kColumns);
}

void RunGetResult(benchmark::State& state, PreparedSheet& sheet) {
  if (!sheet.error.empty()) {
    state.SkipWithError(sheet.error.c_str());
    return;
  }
  static char out[kResultBufferSize + 3];
  int n = 0;
  for (auto _ : state) {
    n = sheet.context->GetResult(out, 3);
    benchmark::DoNotOptimize(n);
    benchmark::ClobberMemory();
  }
  state.counters["questions"] = sheet.questions;
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * sheet.questions);
}

void GetResultExam(benchmark::State& state) {
  static const auto sheet = PrepareSheet(OMR_BENCH_EXAM_FORM, 1, 0);
  RunGetResult(state, *sheet);
}

void GetResult200(benchmark::State& state) {
  static const auto sheet = PrepareSheet(bench::WriteTempFile("q200", TwoHundredQuestionForm()), 2, 0);
  RunGetResult(state, *sheet);
}

void GetResultWorst(benchmark::State& state) {
  static const auto sheet = PrepareSheet(bench::WriteTempFile("worst", WorstLayoutForm()), 3, 11);
  RunGetResult(state, *sheet);
}

// A reader that takes the settings and acknowledges the parameter block.
std::unique_ptr<ScriptedPort> AcknowledgingPort() {
  auto port = std::make_unique<ScriptedPort>();
  port->On({}, {0xFB, 0x06}).On({}, {0xFB, 0x21, 0x01, 0x00});
  return port;
}

void LoadLargeForm(benchmark::State& state) {
  static const std::string text = LargeForm();
  static const std::string path = bench::WriteTempFile("large", text);
  auto context = std::make_unique<DriverContext>();
  std::unique_ptr<ScriptedPort> port;
  int result = 0;
  for (auto _ : state) {
    state.PauseTiming();
    context->forms.ResetForms();
    port = AcknowledgingPort();
    context->activePort = port.get();
    state.ResumeTiming();
    result = context->LoadForm(path.c_str(), "");
    if (result != 0) break;
  }
  context->activePort = nullptr;
  if (result != 0) {
    const std::string message =
        "MR_LoadForm gave " + std::to_string(result) + ", last error " + std::to_string(context->lastError);
    state.SkipWithError(message.c_str());
    return;
  }
  state.counters["lines"] = CountLines(text);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * CountLines(text));
}

// MR_Read and MR_GetResult of the exam sheet over a port that answers at
// once: the library's whole share of a sheet, without the byte pauses.
void ReadAndResultExam(benchmark::State& state) {
  static const auto sheet = PrepareSheet(OMR_BENCH_EXAM_FORM, 1, 0);
  if (!sheet->error.empty()) {
    state.SkipWithError(sheet->error.c_str());
    return;
  }
  DriverContext& c = *sheet->context;
  Bytes status = {0xFB, 0x24, 0x00, 0x00};
  ScriptedPort port;
  port.Respond([&](ScriptedPort& p, const Bytes& written) {
    if (written.size() == 2 && written[1] == 0x24) p.Queue(status);
    if (written.size() == 2 && written[1] == 0x26) p.Queue(sheet->frame);
  });
  c.activePort = &port;
  c.sheetWaitMs = 1000;
  static char out[kResultBufferSize + 3];
  int read = 0;
  int n = 0;
  for (auto _ : state) {
    read = c.Read();
    n = c.GetResult(out, 3);
    benchmark::DoNotOptimize(n);
    if (read != 0) break;
  }
  c.activePort = nullptr;
  if (read != 0) state.SkipWithError("MR_Read failed");
  state.counters["questions"] = n;
}

// Prints the console table, then every figure with its target.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const double scale = 1e6 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Iteration) {
        cpu_[name].push_back(run.GetAdjustedCPUTime() * scale);
        wall_[name].push_back(run.GetAdjustedRealTime() * scale);
      } else if (run.aggregate_name == "median") {
        // With repetitions shown as aggregates only, the median is all there is.
        cpu_[name] = {run.GetAdjustedCPUTime() * scale};
        wall_[name] = {run.GetAdjustedRealTime() * scale};
      }
    }
  }

  void PrintSummary() const {
    struct Figure {
      const char* name;
      const char* text;
      double targetUs;  // 0: reported only
    };
    static const Figure kFigures[] = {
        {"unpack/full_sheet_6154_cells", "frame unpacking, full 6154-cell sheet", 10},
        {"unpack/exam_sheet", "frame unpacking, exam sheet (70 x 48 cells)", 0},
        {"get_result/exam60", "MR_GetResult, exam (60 questions + digits)", 20},
        {"get_result/200_questions", "MR_GetResult, 200-question sheet", 0},
        {"get_result/worst_layout", "MR_GetResult, worst legal layout", 0},
        {"load_form/2000_lines", "MR_LoadForm, 2000-line form, reader acks", 0},
        {"read_and_result/exam60_no_pauses", "MR_Read + MR_GetResult, exam, no pauses", 0},
    };
    std::printf("\n%-46s %14s %14s  %-12s %s\n", "figure (median of runs)", "CPU time", "wall time", "target",
                "");
    for (const Figure& f : kFigures) {
      const auto found = cpu_.find(f.name);
      if (found == cpu_.end()) continue;
      const double median = Median(found->second);
      const double wall = Median(wall_.at(f.name));
      char target[32] = "-";
      const char* verdict = "";
      if (f.targetUs > 0) {
        std::snprintf(target, sizeof target, "< %g us", f.targetUs);
        verdict = median < f.targetUs ? "met" : "MISSED";
      }
      std::printf("%-46s %11.2f us %11.2f us  %-12s %s\n", f.text, median, wall, target, verdict);
    }
  }

 private:
  static double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
  }

  std::map<std::string, std::vector<double>> cpu_;
  std::map<std::string, std::vector<double>> wall_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("unpack/full_sheet_6154_cells", UnpackFullSheet)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("unpack/exam_sheet", UnpackExamSheet)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("get_result/exam60", GetResultExam)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("get_result/200_questions", GetResult200)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("get_result/worst_layout", GetResultWorst)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("load_form/2000_lines", LoadLargeForm)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("read_and_result/exam60_no_pauses", ReadAndResultExam)
      ->Unit(benchmark::kMicrosecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintSummary();
  benchmark::Shutdown();
  bench::RemoveTempFiles();
  return 0;
}
