// A pseudo-terminal pair opened by a test: the library opens the slave side
// as a serial port, the test plays the reader on the master side.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace omr::test {

using Bytes = std::vector<std::uint8_t>;

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Ok() const { return master_ >= 0; }
  const std::string& SlaveName() const { return slave_; }
  int Master() const { return master_; }

  // Writes to the slave's input.
  bool Send(const Bytes& bytes);
  // What the slave wrote: up to `count` bytes, waiting at most `timeoutMs`.
  Bytes Receive(std::size_t count, int timeoutMs);
  // True once the slave side has been opened and closed again.
  bool SlaveClosed() const;
  // Closes the master: the slave side sees a hang-up.
  void HangUp();

 private:
  int master_ = -1;
  std::string slave_;
};

// A reader on the master side of a PtyPair, in a thread: answers two-byte
// commands FA code with the reply given for the code and records every
// command it saw.
class PtyReader {
 public:
  explicit PtyReader(PtyPair& pty) : pty_(pty) {}
  ~PtyReader() { Stop(); }

  // Before Start.
  PtyReader& Answer(std::uint8_t code, Bytes reply) {
    answers_[code] = std::move(reply);
    return *this;
  }
  void Start();
  void Stop();
  std::vector<Bytes> Commands() const;

 private:
  void Run();

  PtyPair& pty_;
  std::map<std::uint8_t, Bytes> answers_;
  mutable std::mutex lock_;
  std::vector<Bytes> commands_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string saved_;
  bool hadValue_ = false;
};

}  // namespace omr::test
