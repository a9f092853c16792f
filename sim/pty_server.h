// Serves the firmware model on a pseudo-terminal, so a host opens the reader
// like a serial port. POSIX only.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "sim/firmware.h"

namespace omr::sim {

class PtyServer {
 public:
  struct Options {
    std::string linkPath;      // symlink to the current pty slave; empty: none
    int hangUpDrainMs = 2000;  // how long a hang-up waits for the host to read what was sent
    std::function<void(const std::string&)> log;  // pty events, for --verbose
    Bytes staleBytes;  // waiting in every new pty before the host opens it (power-on noise)
    // Every byte read from the host, as it arrives, for --capture.
    std::function<void(const std::uint8_t*, std::size_t)> received = nullptr;
  };

  PtyServer(Firmware& firmware, Options options);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Creates the pty (raw mode) and the symlink.
  bool Open(std::string& error);
  // Serves until RequestStop; returns false on a fatal error (in `error`).
  bool Serve(std::string& error);
  // Async-signal-safe.
  void RequestStop();

  const std::string& SlavePath() const { return slavePath_; }
  // Hang-ups done; counted once the new pty is linked.
  std::size_t HangUps() const { return hangUps_.load(); }

 private:
  bool CreatePty(std::string& error);
  void ClosePty();
  bool Relink(std::string& error);
  void RemoveLink();
  bool HangUpAndRenew(std::string& error);
  std::int64_t NowMs() const;

  Firmware& firmware_;
  Options options_;
  int master_ = -1;
  int heldSlave_ = -1;  // keeps the pty alive while the host has it closed
  int wake_[2] = {-1, -1};
  std::string slavePath_;
  std::deque<Chunk> chunks_;
  Bytes outgoing_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> hangUps_{0};
  std::int64_t startNs_ = 0;
};

}  // namespace omr::sim
