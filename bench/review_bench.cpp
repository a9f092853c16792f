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
// Then the same under attack: the reviewer's queue and sheet while 200
// hostile connections are held open (half idle, half sending a header line
// now and then, from eight other loopback addresses so that each stays
// within its client's share and all 200 hang on), and the server's memory
// after 100 MiB of header lines sent at it (a connection that floods is cut
// once its memory is spent; the flood opens the next one).
//
// The project stays in DIR when one is given, and is used again by a run
// with the same N and SHARE.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
using omr::bench::Clock;
using omr::bench::Figures;
using omr::bench::Ms;
using omr::bench::Summarize;

// A connection to the server from `source` (a loopback address), -1 when refused.
int Connect(int port, const char* source) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Whether the server still holds the connection (it has not closed it).
bool Held(int fd) {
  char c;
  const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
  return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

long RssKib(const char* field = "VmRSS:") {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field));
  return -1;
}

// Sends header lines without end, on a new connection each time the server
// cuts one, until `total` bytes are sent; the connections it took.
int Flood(int port, std::size_t total) {
  const std::string start = "GET /api/queue HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  const std::string line = "X-Flood: " + std::string(1014, 'a') + "\r\n";
  std::size_t sent = 0;
  int connections = 0;
  while (sent < total) {
    const int fd = Connect(port, "127.0.0.9");
    if (fd < 0) break;
    ++connections;
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ssize_t n = ::send(fd, start.data(), start.size(), MSG_NOSIGNAL);
    while (n > 0 && sent < total) {
      n = ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    ::close(fd);
  }
  return connections;
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
      if (omr::bench::FillProject(projectPath, dir + "/exam.json", count, doubts) != 0) return 1;
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

    // Under attack: 200 connections held open by others.
    std::vector<int> hostile;
    for (int i = 0; i < 200; ++i) {
      const std::string source = "127.0.1." + std::to_string(1 + i % 8);
      const int fd = Connect(server.port(), source.c_str());
      if (fd >= 0) hostile.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::thread drip([&] {
      const std::string start = "GET /api/queue HTTP/1.1\r\nHost: 127.0.0.1\r\n";
      for (std::size_t i = 0; i < hostile.size(); i += 2)
        ::send(hostile[i], start.data(), start.size(), MSG_NOSIGNAL);
      for (int round = 0; round < 40 && !stop; ++round) {
        for (std::size_t i = 0; i < hostile.size(); i += 2) ::send(hostile[i], "X: 1\r\n", 6, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::size_t heldBefore = 0;
    for (const int fd : hostile) heldBefore += Held(fd);
    std::vector<double> attacked;
    const auto attackStart = Clock::now();
    for (int i = 0; i < samples && Ms(attackStart) < 5000; ++i) {
      const std::string n = std::to_string(1 + rng() % static_cast<unsigned>(count));
      attacked.push_back(get("/api/queue") + get("/api/sheets/" + n));
    }
    std::size_t heldAfter = 0;
    for (const int fd : hostile) heldAfter += Held(fd);
    stop = true;
    drip.join();
    for (const int fd : hostile) ::close(fd);

    const long rssBefore = RssKib();
    const auto floodStart = Clock::now();
    const int floods = Flood(server.port(), std::size_t{100} << 20);
    const double floodMs = Ms(floodStart);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long rssAfter = RssKib();
    const double afterFlood = get("/api/queue");

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
    std::printf(
        "  200 hostile connections (100 idle, 100 sending a header line every 0.2 s): %zu held at the start, "
        "%zu after %zu samples\n",
        heldBefore, heldAfter, attacked.size());
    line("queue and a sheet, meanwhile", Summarize(attacked), 1000);
    std::printf(
        "  100 MiB of header lines in %.1f s over %d connections (each cut when its memory was spent)\n",
        floodMs / 1000, floods);
    std::printf(
        "  server process memory (RSS): %.1f MiB before the flood, %.1f MiB after; queue then %.2f ms\n",
        rssBefore / 1024.0, rssAfter / 1024.0, afterFlood);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "omr_bench_review: %s\n", e.what());
    result = 1;
  }
  return result;
}
