#include "sim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace omr::test {

SimProcess::SimProcess(const char* omrsimPath, const std::vector<std::string>& args) {
  char dir[] = "/tmp/omr-hardening-XXXXXX";
  if (mkdtemp(dir) == nullptr) return;
  dir_ = dir;
  link_ = dir_ + "/reader";

  std::vector<std::string> all = {omrsimPath, "--link", link_};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = fork();
  if (pid_ == 0) {
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid_ < 0) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  struct stat st;
  while (std::chrono::steady_clock::now() < deadline) {
    if (lstat(link_.c_str(), &st) == 0) {
      ok_ = true;
      return;
    }
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

SimProcess::~SimProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (!link_.empty()) unlink(link_.c_str());
  if (!dir_.empty()) rmdir(dir_.c_str());
}

int CountOpenFds() {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int count = 0;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++count;
  closedir(d);
  return count - 1;  // the directory stream's own descriptor
}

}  // namespace omr::test
