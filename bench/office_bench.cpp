// The office page's routes on a large exam: an office folder holding a
// project of N simulated sheets of the exam form (60 items), the server in
// this process, asked over HTTP on loopback as the New exam, Keys and Results
// pages ask it. Each route is timed K times after a first request that opens
// the project and makes the item analysis the pages share (timed apart: the
// first page shown after sheets were read or keys changed pays it).
//
//   omr_bench_office [--sheets N] [--dir DIR] [--samples K]
//
// The project stays in DIR when one is given, and is used again by a run
// with the same N.
#include <httplib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exam_sheets.h"
#include "project.h"
#include "review_server.h"
#include "temp_dir.h"

namespace {

namespace ex = omr::exam;
using omr::bench::Clock;
using omr::bench::Figures;
using omr::bench::Ms;
using omr::bench::Summarize;

// CPU time of this process (server and client), ms: what a route costs with
// the machine to itself, whatever the other load.
double CpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\')
      out += std::string("\\") + c;
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out + "\"";
}

}  // namespace

int main(int argc, char** argv) {
  int count = 10000;
  int samples = 20;
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--sheets")
      count = std::max(1, std::atoi(argv[i + 1]));
    else if (arg == "--dir")
      dir = argv[i + 1];
    else if (arg == "--samples")
      samples = std::max(3, std::atoi(argv[i + 1]));
  }
  std::optional<omr::common::TemporaryDirectory> ownDir;
  if (dir.empty()) {
    ownDir.emplace("omr-bench-office");
    if (ownDir->path().empty()) {
      std::perror("mkdtemp");
      return 1;
    }
    dir = ownDir->path().string();
  }
  try {
    const std::string place = dir + "/office-" + std::to_string(count);
    std::filesystem::create_directories(place);
    const std::string projectPath = place + "/bench.omrexam";
    bool reuse = false;
    if (std::filesystem::exists(projectPath))
      reuse = ex::Project::Open(projectPath, "")->Status().sheets == count;
    if (!reuse) {
      std::filesystem::remove(projectPath);
      const auto start = Clock::now();
      if (omr::bench::FillProject(projectPath, dir + "/exam.json", count, 0.25) != 0) return 1;
      std::printf("filled %s with %d sheets in %.1f s\n", projectPath.c_str(), count, Ms(start) / 1000);
    }
    const std::filesystem::path examples = std::filesystem::path(OMR_BENCH_EXAM_FORM).parent_path();
    std::ifstream examIn(examples / "exam60.exam.json");
    std::stringstream examText;
    examText << examIn.rdbuf();

    ex::ReviewOptions options;
    options.place = place;
    options.forms = {examples.string()};
    options.port = 0;
    options.token = "bench-token-0123456789";
    ex::ReviewServer server(options);
    std::thread serving([&] { server.Run(); });
    httplib::Client client("127.0.0.1", server.port());
    client.set_keep_alive(true);
    client.set_tcp_nodelay(true);
    client.set_read_timeout(120, 0);
    const httplib::Headers auth = {{"Authorization", "Bearer " + options.token}};
    const std::string q = "?project=bench.omrexam&exam=exam";
    auto ask = [&](const std::string& method, const std::string& path, const std::string& body = "") {
      const auto start = Clock::now();
      const auto res = method == "GET" ? client.Get(path.c_str(), auth)
                                       : client.Post(path.c_str(), auth, body, "application/json");
      const double ms = Ms(start);
      if (!res || res->status != 200)
        throw ex::Error(path + ": " +
                        (res ? "HTTP " + std::to_string(res->status) + " " + res->body : "no answer"));
      return ms;
    };
    const double first = ask("GET", "/api/keys" + q);
    const double exams = ask("GET", "/api/exams");

    struct Row {
      const char* page;
      const char* what;
      std::string method;
      std::string path;
      std::string body;
      double target;
    };
    const std::string form = "{\"name\": \"exam60.form\"}";
    const std::vector<Row> rows = {
        {"Exams", "every exam with its state", "GET", "/api/exams", "", 100},
        {"New exam", "the example forms", "GET", "/api/forms", "", 100},
        {"New exam", "an exam file checked", "POST", "/api/check/exam",
         "{\"exam\": " + JsonText(examText.str()) + ", \"form\": " + form + "}", 100},
        {"New exam", "the exam's texts (edit)", "GET", "/api/exam" + q, "", 100},
        {"Keys", "every item, figures, history", "GET", "/api/keys" + q, "", 100},
        {"Keys", "proposed key fixes", "GET", "/api/keyfixes" + q, "", 100},
        {"Keys", "a re-key's preview (dry run)", "POST", "/api/rekey" + q,
         "{\"item\": 7, \"key\": \"B\", \"dry_run\": true}", 100},
        {"Results", "item statistics", "GET", "/api/stats" + q, "", 100},
        {"Results", "the downloads offered", "GET", "/api/downloads", "", 100},
        {"Results", "students (CSV), made now", "GET", "/api/download/students.csv" + q, "", 0},
        {"Results", "workbook (XLSX), made now", "GET", "/api/download/results.xlsx" + q, "", 0},
    };
    std::vector<std::vector<double>> times(rows.size());
    std::vector<std::vector<double>> cpu(rows.size());
    for (int i = 0; i < samples; ++i)
      for (std::size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].target == 0 && i >= 3) continue;  // files: three samples
        const double before = CpuMs();
        times[r].push_back(ask(rows[r].method, rows[r].path, rows[r].body));
        cpu[r].push_back(CpuMs() - before);
      }
    server.Stop();
    serving.join();

    std::printf(
        "office server: %d sheets of exam60 (60 items), %d samples a route (files 3), HTTP on loopback\n",
        count, samples);
    std::printf(
        "  first page after a change (opens the project, scores and analyses every sheet): %.0f ms; "
        "then every exam listed: %.1f ms\n",
        first, exams);
    for (std::size_t r = 0; r < rows.size(); ++r) {
      const Figures f = Summarize(times[r]);
      std::printf("  %-9s %-34s median %8.2f ms (CPU %7.2f ms)  p90 %8.2f ms  worst %8.2f ms", rows[r].page,
                  rows[r].what, f.median, Summarize(cpu[r]).median, f.p90, f.worst);
      if (rows[r].target > 0)
        std::printf("   target < %.0f ms: %s", rows[r].target, f.median < rows[r].target ? "met" : "NOT MET");
      std::printf("\n");
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "omr_bench_office: %s\n", e.what());
    return 1;
  }
  return 0;
}
