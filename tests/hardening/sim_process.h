// omrsim in a child process, serving a pty linked at a temporary path.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace omr::test {

class SimProcess {
 public:
  // Starts `omrsim --link DIR/reader ARGS...`; Ok() tells whether the link
  // appeared within a few seconds.
  SimProcess(const char* omrsimPath, const std::vector<std::string>& args);
  ~SimProcess();  // SIGTERM, then waits for the child
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool Ok() const { return ok_; }
  const std::string& Link() const { return link_; }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string link_;
  bool ok_ = false;
};

// Open file descriptors of this process.
int CountOpenFds();

}  // namespace omr::test
