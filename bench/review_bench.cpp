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
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "exam_sheets.h"
#include "project.h"
#include "review_server.h"
#include "sim/synth.h"
#include "temp_dir.h"

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
  omr::bench::ExamForm forms;
  if (!forms.Load(form)) return 1;
  const omr::SheetLayout& layout = forms.Layout();
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
    ex::SheetInput input;
    if (!omr::bench::DrawnSheet(*project, layout, answers, n + 1, input)) return 1;
    input.station = "bench";
    project->AddSheet(input);
  }
  return 0;
}

}  // namespace

constexpr std::size_t kReviewers = 20;

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
  // Without --dir, a folder of its own, gone at the end however the run ends.
  std::optional<omr::common::TemporaryDirectory> ownDir;
  if (dir.empty()) {
    ownDir.emplace("omr-bench-review");
    if (ownDir->path().empty()) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = ownDir->path().string();
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
    // Reviewers at work: each holds a sheet of the queue's first page, as the
    // page claims the sheet it opens; the queue then names the holders.
    std::vector<double> held;
    {
      std::vector<int> front;
      for (std::size_t at = first.find("{\"sheet\":"); at != std::string::npos && front.size() < kReviewers;
           at = first.find("{\"sheet\":", at + 1))
        front.push_back(std::atoi(first.c_str() + at + 9));
      for (std::size_t r = 0; r < front.size(); ++r) {
        const std::string body =
            "{\"sheet\": " + std::to_string(front[r]) + ", \"by\": \"reviewer " + std::to_string(r) + "\"}";
        const auto res = client.Post("/api/claims", auth, body, "application/json");
        if (!res || res->status != 200) throw ex::Error("/api/claims: no claim");
      }
      std::string answer;
      get("/api/queue?by=reviewer%200", &answer);
      std::size_t shown = 0;
      for (std::size_t at = answer.find("\"held_by\":\""); at != std::string::npos;
           at = answer.find("\"held_by\":\"", at + 1))
        ++shown;
      if (shown + 1 != front.size()) throw ex::Error("the queue does not name the other reviewers' sheets");
      for (int i = 0; i < samples; ++i) held.push_back(get("/api/queue?by=reviewer%200"));
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
    line("queue with 20 sheets held by reviewers", Summarize(held), 100);
    line("sheet (reading, cells, corrections, score)", Summarize(sheet), 0);
    line("its picture (PNG drawn from the grid)", Summarize(picture), 0);
    line("sheet and picture together", Summarize(both), 50);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "omr_bench_review: %s\n", e.what());
    result = 1;
  }
  return result;
}
