// The subcommands of omrctl and what they share.
#pragma once

#include <string>
#include <vector>

namespace omrctl {

// Exit codes; the help text and the README list them.
enum Exit : int {
  kExitOk = 0,
  kExitWarnings = 1,     // check: warnings only
  kExitUsage = 2,        // bad arguments, unreadable or unwritable files, existing outputs, malformed grids
  kExitForm = 3,         // the library rejects a line of the form, or it has no layout to read
  kExitReader = 4,       // no reader, or the reader stopped answering or refused a command
  kExitRecognition = 5,  // a sheet was not read or not recognised, or too many failed in a row
  kExitProject = 6,      // exam: the project cannot be opened or written
  // A read stopped by a signal: 128 + the signal.
  kExitInterrupted = 130,   // SIGINT
  kExitOutputClosed = 141,  // SIGPIPE: the reader of standard output went away
  kExitTerminated = 143,    // SIGTERM
};

inline constexpr const char* kExitCodesHelp =
    "Exit codes:\n"
    "  0  success\n"
    "  1  check found warnings only\n"
    "  2  usage error: bad arguments, a file that cannot be read or written (read stops before feeding\n"
    "     another sheet), an output that exists already, a malformed grid file\n"
    "  3  form error: the library rejects a line of the form, or the form has no layout to read\n"
    "  4  reader error: no reader found, or the reader stopped answering or refused a command (read:\n"
    "     the sheet in flight is named on stderr, feed it again)\n"
    "  5  recognition error: at least one sheet was not read or not recognised (its row says why), fewer\n"
    "     sheets than --count, or --max-errors sheets in a row failed\n"
    "  6  exam: the project cannot be opened or written (exam read: the sheet in flight is named)\n"
    "  130, 143  read stopped by SIGINT or SIGTERM after saving the sheet in flight\n"
    "  141  read stopped because standard output was closed (SIGPIPE)\n";

struct GlobalOptions {
  std::string port;      // OMR_SERIAL_PORTS for this run
  bool chinese = false;  // the library's Chinese messages instead of the English ones
};

struct CheckOptions {
  std::string form;
  int headColumns = 48;
  bool json = false;
};

struct SheetOptions {  // read and decode
  std::string form;
  std::vector<std::string> grids;  // decode only
  int count = 0;                   // read only; 0: until the reader has no sheet
  int mode = 0;
  std::string csv;
  bool json = false;
  std::string pictures;
  std::string saveGrids;  // read only
  bool append = false;    // read only: add to existing outputs, numbering after their last sheet
  bool force = false;     // replace existing outputs
  bool excel = false;     // CSV in UTF-8 with a byte-order mark and CRLF line ends
  int maxErrors = 5;      // read only: sheets failing in a row that stop the batch (0: no limit)
};

int RunScan(const GlobalOptions& global, bool json);
int RunCheck(const GlobalOptions& global, const CheckOptions& options);
int RunRead(const GlobalOptions& global, const SheetOptions& options);
int RunDecode(const GlobalOptions& global, const SheetOptions& options);
int RunInfo(const GlobalOptions& global, bool json);
int RunMotor(const GlobalOptions& global, const std::string& action);
int RunErrors(const GlobalOptions& global, bool json);

}  // namespace omrctl
