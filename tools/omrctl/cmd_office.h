// omrctl office: the office page over a folder of exams (or a PostgreSQL
// project), served until a signal (as exam serve is). Arguments and printing
// only; the server is omr_review's.
#pragma once

#include <signal.h>

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "review_server.h"

namespace omrctl {

struct OfficeOptions {
  std::string place;  // "": the user's office folder
  std::string listen = "127.0.0.1:8090";
  std::vector<std::string> readers;
  bool open = false;  // open the page in the browser
};

// SIGINT, SIGTERM and SIGHUP held off from every thread started while it
// lives (make it before the server), so that Serve takes them.
class ServerSignals {
 public:
  ServerSignals();
  // Serves on another thread until one of the signals; false when the server
  // stopped listening by itself.
  bool Serve(omr::exam::ReviewServer& server);

 private:
  sigset_t stops_;
};

CLI::App* AddOfficeCommand(CLI::App& app, OfficeOptions& options);
int RunOffice(const GlobalOptions& global, CLI::App* office, const OfficeOptions& options);

}  // namespace omrctl
