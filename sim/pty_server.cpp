#include "sim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace omr::sim {

namespace {

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

constexpr int kIdlePollMs = 200;
constexpr int kSettleMs = 100;  // longest time bytes written to the master take to show

}  // namespace

PtyServer::PtyServer(Firmware& firmware, Options options)
    : firmware_(firmware), options_(std::move(options)) {
  startNs_ = std::chrono::duration_cast<std::chrono::nanoseconds>(
                 std::chrono::steady_clock::now().time_since_epoch())
                 .count();
}

PtyServer::~PtyServer() {
  RemoveLink();
  ClosePty();
  for (int& fd : wake_) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

std::int64_t PtyServer::NowMs() const {
  const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
  return (ns - startNs_) / 1'000'000;
}

void PtyServer::RequestStop() {
  stop_.store(true);
  if (wake_[1] >= 0) {
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = write(wake_[1], &byte, 1);
  }
}

bool PtyServer::Open(std::string& error) {
  if (wake_[0] < 0) {
    if (pipe(wake_) != 0) {
      error = Errno("pipe");
      return false;
    }
    SetNonBlocking(wake_[0]);
    SetNonBlocking(wake_[1]);
  }
  return CreatePty(error) && Relink(error);
}

bool PtyServer::CreatePty(std::string& error) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY);
  if (master_ < 0) {
    error = Errno("posix_openpt");
    return false;
  }
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
    error = Errno("grantpt/unlockpt");
    ClosePty();
    return false;
  }
  const char* name = ptsname(master_);
  if (!name) {
    error = Errno("ptsname");
    ClosePty();
    return false;
  }
  slavePath_ = name;
  heldSlave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (heldSlave_ < 0) {
    error = Errno("open pty slave");
    ClosePty();
    return false;
  }
  // Raw from the start, so nothing the host sends before configuring is echoed.
  termios tio{};
  if (tcgetattr(heldSlave_, &tio) == 0) {
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tcsetattr(heldSlave_, TCSANOW, &tio);
  }
  SetNonBlocking(master_);
  firmware_.ResetLink();
  if (!options_.staleBytes.empty()) {
    // The held slave keeps them queued until a host opens the line.
    const ssize_t n = write(master_, options_.staleBytes.data(), options_.staleBytes.size());
    if (n != static_cast<ssize_t>(options_.staleBytes.size())) {
      error = Errno("write stale bytes");
      ClosePty();
      return false;
    }
  }
  return true;
}

void PtyServer::ClosePty() {
  if (master_ >= 0) close(master_);
  if (heldSlave_ >= 0) close(heldSlave_);
  master_ = heldSlave_ = -1;
  chunks_.clear();
  outgoing_.clear();
}

bool PtyServer::Relink(std::string& error) {
  if (options_.linkPath.empty()) return true;
  struct stat st {};
  if (lstat(options_.linkPath.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
    error = options_.linkPath + " exists and is not a symbolic link";
    return false;
  }
  // Atomic replacement: a host opening the link sees the old or the new pty.
  const std::string temp = options_.linkPath + ".omrsim-" + std::to_string(getpid());
  unlink(temp.c_str());
  if (symlink(slavePath_.c_str(), temp.c_str()) != 0) {
    error = Errno(("symlink " + temp).c_str());
    return false;
  }
  if (rename(temp.c_str(), options_.linkPath.c_str()) != 0) {
    error = Errno(("rename to " + options_.linkPath).c_str());
    unlink(temp.c_str());
    return false;
  }
  return true;
}

void PtyServer::RemoveLink() {
  if (options_.linkPath.empty() || slavePath_.empty()) return;
  char target[4096];
  const ssize_t n = readlink(options_.linkPath.c_str(), target, sizeof target - 1);
  if (n <= 0) return;
  target[n] = '\0';
  if (slavePath_ == target) unlink(options_.linkPath.c_str());
}

bool PtyServer::HangUpAndRenew(std::string& error) {
  // Let the host take what was sent before the line drops. Bytes written to the
  // master reach the slave's queue a little later, so wait to see them arrive
  // (or a short while) and then leave.
  const std::int64_t start = NowMs();
  bool seen = false;
  while (!stop_.load() && NowMs() - start < options_.hangUpDrainMs) {
    int waiting = 0;
    if (ioctl(heldSlave_, FIONREAD, &waiting) != 0) break;
    if (waiting > 0) seen = true;
    if (waiting == 0 && (seen || NowMs() - start >= kSettleMs)) break;
    usleep(2000);
  }
  ClosePty();
  if (!CreatePty(error) || !Relink(error)) return false;
  hangUps_.fetch_add(1);
  if (options_.log) options_.log("line hung up; new pty " + slavePath_);
  return true;
}

bool PtyServer::Serve(std::string& error) {
  if (master_ < 0) {
    error = "pty not open";
    return false;
  }
  std::int64_t lastUnlockMs = NowMs();
  std::uint8_t buffer[4096];
  while (!stop_.load()) {
    // Move due chunks to the outgoing bytes; a hang-up waits until they are written.
    const std::int64_t now = NowMs();
    while (!chunks_.empty() && chunks_.front().readyAtMs <= now) {
      if (chunks_.front().hangUp) {
        if (!outgoing_.empty()) break;
        chunks_.pop_front();
        if (!HangUpAndRenew(error)) return false;
        continue;
      }
      outgoing_.insert(outgoing_.end(), chunks_.front().bytes.begin(), chunks_.front().bytes.end());
      chunks_.pop_front();
    }

    int timeoutMs = kIdlePollMs;
    if (!chunks_.empty())
      timeoutMs = static_cast<int>(std::clamp<std::int64_t>(chunks_.front().readyAtMs - now, 0, kIdlePollMs));
    if (!outgoing_.empty() || (!chunks_.empty() && chunks_.front().hangUp))
      timeoutMs = std::min(timeoutMs, 5);
    pollfd fds[2] = {{master_, static_cast<short>(POLLIN | (outgoing_.empty() ? 0 : POLLOUT)), 0},
                     {wake_[0], POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) {
      error = Errno("poll");
      return false;
    }
    if (fds[1].revents & POLLIN) {
      while (read(wake_[0], buffer, sizeof buffer) > 0) {
      }
    }
    if (fds[0].revents & POLLIN) {
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) {
        if (options_.received) options_.received(buffer, static_cast<std::size_t>(n));
        firmware_.Feed(buffer, static_cast<std::size_t>(n), NowMs());
        for (Chunk& c : firmware_.TakeOutput()) chunks_.push_back(std::move(c));
      }
    }
    if (!outgoing_.empty() && (fds[0].revents & POLLOUT)) {
      const ssize_t n = write(master_, outgoing_.data(), outgoing_.size());
      if (n > 0) outgoing_.erase(outgoing_.begin(), outgoing_.begin() + n);
    }
    if (fds[0].revents & (POLLHUP | POLLERR)) usleep(10000);  // no slave open (should not happen)
    // A host that set the exclusive-use flag and closed could not reopen the pty
    // while this server keeps it alive; its flock still guards a live session.
    if (NowMs() - lastUnlockMs >= kIdlePollMs) {
      ioctl(heldSlave_, TIOCNXCL);
      lastUnlockMs = NowMs();
    }
  }
  return true;
}

}  // namespace omr::sim
