// omrctl office: the office page over a folder of exams (or a PostgreSQL
// project), served until a signal. Arguments and printing only; the server
// is omr_review's.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "commands.h"

namespace omrctl {

struct OfficeOptions {
  std::string place;  // "": the user's office folder
  std::string listen = "127.0.0.1:8090";
  std::vector<std::string> readers;
  bool open = false;  // open the page in the browser
};

CLI::App* AddOfficeCommand(CLI::App& app, OfficeOptions& options);
int RunOffice(const GlobalOptions& global, CLI::App* office, const OfficeOptions& options);

}  // namespace omrctl
