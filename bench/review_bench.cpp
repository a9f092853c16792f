// The review page's answers on a large project: a project of N simulated
// sheets of the exam form (60 items, about a quarter of the sheets with a
// planted doubt: a light mark, two marks or a blank), then the review server
// in this process, asked over HTTP on loopback as the page asks it:
// the queue (the first 200 of the least confident, with counts and progress),
// the queue filtered by a reason, and a sheet with its picture.
//
//   omr_bench_review [--sheets N] [--doubts SHARE] [--dir DIR] [--samples K]
//
// SHARE (default 0.25) of the sheets get a planted doubt; 1 puts every sheet
// in the queue.
//
// The project stays in DIR when one is given, and is used again by a run
// with the same N and SHARE.
#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "form/form_loader.h"
#include "project.h"
#include "review_server.h"
#include "sim/synth.h"

namespace {

namespace ex = omr::exam;
using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point since) {
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

struct Figures {
  double median = 0;
  double p90 = 0;
  double worst = 0;
};

Figures Summarize(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v[v.size() / 2], v[v.size() * 9 / 10], v.back()};
}

int Fill(const std::string& projectPath, const std::string& examPath, int count, double doubts) {
  const std::string form = OMR_BENCH_EXAM_FORM;
  std::string key;
  std::mt19937 rng(5);
  for (int i = 0; i < 60; ++i) key += "ABCDE"[rng() % 5];
  std::ofstream(examPath)
      << "{\"form\": \"" << form
      << "\", \"student\": {\"questions\": \"1-8\"}, \"items\": \"11-70\", \"keys\": {\"A\": \"" << key
      << "\"}}\n";
  omr::FormDefinition forms;
  omr::ReaderSettings settings;
  std::int32_t error = 0;
  if (!omr::ReadFormFile(forms, settings, form.c_str(), error)) {
    std::fprintf(stderr, "cannot read %s (error %d)\n", form.c_str(), error);
    return 1;
  }
  forms.SelectLayout(omr::kFaceA);
  const omr::SheetLayout& layout = forms.Layout(omr::kFaceA, 0);
  auto project = ex::Project::Create(projectPath, examPath, "exam", "bench");
  for (int n = 0; n < count; ++n) {
    omr::sim::RandomRates clean;
    clean.blank = 0;
    clean.doubleMark = 0;
    std::vector<omr::sim::Answer> answers = omr::sim::RandomAnswers(layout, rng, clean);
    if (std::uniform_real_distribution<double>(0, 1)(rng) < doubts) {
      const std::size_t q = 10 + rng() % 60;
      const int option = static_cast<int>(rng() % 5);
      switch (rng() % 3) {
        case 0:
          answers[q] = omr::sim::Answer::Marks({{option, omr::sim::MarkStyle::Light}});
          break;
        case 1:
          answers[q] = omr::sim::Answer::Marks({{option}, {(option + 2) % 5}});
          break;
        default:
          answers[q] = omr::sim::Answer::Blank();
      }
    }
    omr::sim::DrawOptions draw;
    draw.seed = static_cast<std::uint32_t>(n + 1);
    draw.noise = 1;
    omr::sim::SheetGrid grid;
    std::string why;
    if (!omr::sim::DrawSheet(layout, answers, draw, grid, why)) {
      std::fprintf(stderr, "cannot draw a sheet: %s\n", why.c_str());
      return 1;
    }
    ex::SheetInput input;
    input.station = "bench";
    input.hasGrid = true;
    input.decoded = project->form().Decode(
        {grid.Lines(), grid.Columns(), std::vector<std::uint8_t>(grid.Cells().begin(), grid.Cells().end())});
    project->AddSheet(input);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int count = 10000;
  int samples = 40;
  double doubts = 0.25;
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--sheets")
      count = std::max(1, std::atoi(argv[i + 1]));
    else if (arg == "--dir")
      dir = argv[i + 1];
    else if (arg == "--samples")
      samples = std::max(3, std::atoi(argv[i + 1]));
    else if (arg == "--doubts")
      doubts = std::clamp(std::atof(argv[i + 1]), 0.0, 1.0);
  }
  bool ownDir = false;
  if (dir.empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/omr-bench-review-XXXXXX";
    if (!mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = pattern;
    ownDir = true;
  }
  int result = 0;
  try {
    char share[16];
    std::snprintf(share, sizeof share, "%.2f", doubts);
    const std::string projectPath = dir + "/review-" + std::to_string(count) + "-" + share + ".omrexam";
    bool reuse = false;
    if (std::filesystem::exists(projectPath))
      reuse = ex::Project::Open(projectPath, "")->Status().sheets == count;
    if (!reuse) {
      std::filesystem::remove(projectPath);
      const auto start = Clock::now();
      if (Fill(projectPath, dir + "/exam.json", count, doubts) != 0) return 1;
      std::printf("filled %s with %d sheets in %.1f s\n", projectPath.c_str(), count, Ms(start) / 1000);
    }

    ex::ReviewOptions options;
    options.project = projectPath;
    options.port = 0;
    options.token = "bench-token-0123456789";
    ex::ReviewServer server(options);
    std::thread serving([&] { server.Run(); });
    httplib::Client client("127.0.0.1", server.port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    const httplib::Headers auth = {{"Authorization", "Bearer " + options.token}};
    auto get = [&](const std::string& path, std::string* body = nullptr) {
      const auto start = Clock::now();
      const auto res = client.Get(path.c_str(), auth);
      const double ms = Ms(start);
      if (!res || res->status != 200)
        throw ex::Error(path + ": " + (res ? "HTTP " + std::to_string(res->status) : "no answer"));
      if (body) *body = res->body;
      return ms;
    };

    std::string first;
    get("/api/queue", &first);  // the first answer opens the project: not counted
    std::vector<double> queue;
    std::vector<double> filtered;
    for (int i = 0; i < samples; ++i) {
      queue.push_back(get("/api/queue"));
      filtered.push_back(get("/api/queue?reason=doubtful"));
    }
    std::mt19937 rng(9);
    std::vector<double> sheet;
    std::vector<double> picture;
    std::vector<double> both;
    for (int i = 0; i < samples; ++i) {
      const std::string n = std::to_string(1 + rng() % static_cast<unsigned>(count));
      const double a = get("/api/sheets/" + n);
      const double b = get("/api/sheets/" + n + "/picture");
      sheet.push_back(a);
      picture.push_back(b);
      both.push_back(a + b);
    }
    server.Stop();
    serving.join();

    const std::size_t waiting = first.find("\"waiting\":");
    std::printf(
        "review server: %d sheets of exam60 (60 items, a planted doubt on %.0f %% of them), %d samples each, "
        "HTTP on loopback\n",
        count, doubts * 100, samples);
    if (waiting != std::string::npos)
      std::printf("  waiting for review: %s\n",
                  first.substr(waiting + 10, first.find_first_of(",}", waiting) - waiting - 10).c_str());
    auto line = [](const char* what, const Figures& f, double target) {
      std::printf("  %-44s median %7.2f ms  p90 %7.2f ms  worst %7.2f ms", what, f.median, f.p90, f.worst);
      if (target > 0) std::printf("   target < %.0f ms: %s", target, f.median < target ? "met" : "NOT MET");
      std::printf("\n");
    };
    line("queue (first 200, counts, progress)", Summarize(queue), 100);
    line("queue filtered by a reason", Summarize(filtered), 100);
    line("sheet (reading, cells, corrections, score)", Summarize(sheet), 0);
    line("its picture (PNG drawn from the grid)", Summarize(picture), 0);
    line("sheet and picture together", Summarize(both), 50);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "omr_bench_review: %s\n", e.what());
    result = 1;
  }
  if (ownDir) std::filesystem::remove_all(dir);
  return result;
}
