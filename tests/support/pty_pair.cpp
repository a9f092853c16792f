#include "pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace omr::test {

PtyPair::PtyPair() {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
    close(fd);
    return;
  }
  master_ = fd;
  slave_ = name;
}

PtyPair::~PtyPair() {
  HangUp();
}

void PtyPair::HangUp() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

bool PtyPair::Send(const Bytes& bytes) {
  if (master_ < 0) return false;
  return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

Bytes PtyPair::Receive(std::size_t count, int timeoutMs) {
  Bytes got;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (master_ >= 0 && got.size() < count) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
            .count();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    if (!(p.revents & POLLIN)) break;
    std::uint8_t buffer[256];
    const std::size_t want = count - got.size() < sizeof buffer ? count - got.size() : sizeof buffer;
    const ssize_t n = read(master_, buffer, want);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

bool PtyPair::SlaveClosed() const {
  if (master_ < 0) return false;
  pollfd p{master_, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN);
}

void PtyReader::Start() {
  stop_ = false;
  thread_ = std::thread([this] { Run(); });
}

void PtyReader::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<Bytes> PtyReader::Commands() const {
  std::lock_guard<std::mutex> guard(lock_);
  return commands_;
}

void PtyReader::Run() {
  Bytes pending;
  while (!stop_) {
    pollfd p{pty_.Master(), POLLIN, 0};
    const int ready = poll(&p, 1, 5);
    if (ready <= 0) continue;
    if (!(p.revents & POLLIN)) {
      // No slave open at the moment: wait for the next one.
      usleep(2000);
      continue;
    }
    std::uint8_t buffer[64];
    const ssize_t n = read(pty_.Master(), buffer, sizeof buffer);
    if (n <= 0) continue;
    pending.insert(pending.end(), buffer, buffer + n);
    while (pending.size() >= 2) {
      if (pending[0] != 0xFA) {
        pending.erase(pending.begin());
        continue;
      }
      const Bytes command(pending.begin(), pending.begin() + 2);
      pending.erase(pending.begin(), pending.begin() + 2);
      {
        std::lock_guard<std::mutex> guard(lock_);
        commands_.push_back(command);
      }
      const auto answer = answers_.find(command[1]);
      if (answer != answers_.end()) pty_.Send(answer->second);
    }
  }
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
  if (const char* old = getenv(name)) {
    hadValue_ = true;
    saved_ = old;
  }
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (hadValue_)
    setenv(name_.c_str(), saved_.c_str(), 1);
  else
    unsetenv(name_.c_str());
}

}  // namespace omr::test
