#include "report_pdf.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "report_common.h"

extern char** environ;

namespace omr::exam {

namespace {

bool Executable(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec) && access(p.c_str(), X_OK) == 0;
}

// A temporary directory removed with everything in it when it goes.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/omr-report-XXXXXX";
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string Tail(const std::filesystem::path& log) {
  std::ifstream in(log, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() > 600) text = "..." + text.substr(text.size() - 600);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return CleanUtf8(text);
}

}  // namespace

std::optional<std::filesystem::path> FindChromium() {
  if (const char* set = std::getenv("OMR_CHROMIUM"); set && *set) {
    if (Executable(set)) return std::filesystem::path(set);
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  const std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (const char* name : {"chromium", "chromium-browser", "google-chrome-stable", "google-chrome"}) {
    std::size_t start = 0;
    while (start <= dirs.size()) {
      const std::size_t end = std::min(dirs.find(':', start), dirs.size());
      const std::filesystem::path candidate =
          std::filesystem::path(end > start ? dirs.substr(start, end - start) : ".") / name;
      if (Executable(candidate)) return candidate;
      start = end + 1;
    }
  }
  return std::nullopt;
}

bool PrintPdf(std::string_view html, const std::filesystem::path& pdf, std::string& error,
              int timeoutSeconds) {
  const std::optional<std::filesystem::path> chromium = FindChromium();
  if (!chromium) {
    error = kNoChromium;
    return false;
  }
  TempDir dir;
  if (dir.path().empty()) {
    error = std::string("cannot create a temporary directory: ") + std::strerror(errno);
    return false;
  }
  const std::filesystem::path page = dir.path() / "report.html";
  const std::filesystem::path out = dir.path() / "report.pdf";
  const std::filesystem::path log = dir.path() / "chromium.log";
  if (!WriteFileReplacing(page, html, error)) return false;

  // The temporary path is made of safe characters only: no URL escaping needed.
  std::vector<std::string> args = {chromium->string(),
                                   "--headless",
                                   "--no-sandbox",
                                   "--disable-gpu",
                                   "--disable-background-networking",
                                   "--disable-component-update",
                                   "--disable-sync",
                                   "--no-first-run",
                                   "--no-default-browser-check",
                                   "--no-pdf-header-footer",
                                   "--user-data-dir=" + (dir.path() / "profile").string(),
                                   "--print-to-pdf=" + out.string(),
                                   "file://" + page.string()};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own process group, so that a time-out ends Chromium's helpers too.
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, chromium->c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) {
    error = "cannot start " + chromium->string() + ": " + std::strerror(spawned);
    return false;
  }

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  int status = 0;
  bool timedOut = false;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      error = std::string("lost track of Chromium: ") + std::strerror(errno);
      kill(-pid, SIGKILL);
      return false;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Helpers left behind by the browser.
  kill(-pid, SIGKILL);

  if (timedOut) {
    error = "Chromium did not finish printing within " + std::to_string(timeoutSeconds) + " s";
    return false;
  }
  char magic[5] = {};
  std::ifstream made(out, std::ios::binary);
  made.read(magic, 5);
  const bool isPdf = made.gcount() == 5 && std::memcmp(magic, "%PDF-", 5) == 0;
  made.close();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !isPdf) {
    std::string how = WIFEXITED(status)
                          ? "exit status " + std::to_string(WEXITSTATUS(status))
                          : "signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    error = "Chromium (" + chromium->string() + ") did not print the report (" + how +
            (isPdf ? "" : ", no PDF made") + ")";
    const std::string tail = Tail(log);
    if (!tail.empty()) error += ": " + tail;
    return false;
  }
  std::ifstream in(out, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return WriteFileReplacing(pdf, bytes, error);
}

}  // namespace omr::exam
