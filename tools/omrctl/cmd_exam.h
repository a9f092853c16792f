// omrctl exam: exam projects (new, read, import, type, correct, rekey, rescan,
// status, export, stats, results, report, integrity). Arguments and printing only; the work is in omr_exam.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "commands.h"
#include "vocabulary.h"

namespace omrctl {

struct ExamOptions {
  std::string project;
  std::string name;                // the exam in the project; "" for the only one
  std::string examFile;            // new, rekey
  std::string rosterEncoding;      // new, rekey: the roster's character set when it is not UTF-8
  bool add = false;                // new: add an exam to an existing project
  std::string spool;               // read: where a sheet the project could not take is kept
  std::string by;                  // author
  std::string station;             // read, import
  int count = 0;                   // read
  int maxErrors = 5;               // read: failed sheets in a row before the run stops
  bool wait = false;               // read: an empty tray does not end the run
  std::vector<std::string> grids;  // import: grid files or projects
  bool asThisExam = false;         // import: another exam's project is of this exam all the same
  int sheet = 0;                   // correct
  std::string target;              // correct: a question number, id, version or sheet
  std::string typedId;             // type: the student ID typed
  std::string answer;
  bool withdraw = false;
  std::string reason;
  int item = 0;           // rekey: the master item changed
  std::string key;        // rekey --key
  std::string accept;     // rekey --accept
  bool voidItem = false;  // rekey --void
  bool bonus = false;     // rekey --bonus
  bool dryRun = false;    // rekey: say what would change, store nothing
  std::string form;       // rescan
  std::string csv;        // export
  bool sheets = false;
  bool excel = false;  // export --csv: a byte-order mark and CRLF
  std::string xlsx;
  bool json = false;
  std::string version;                // stats
  std::string part;                   // type: the sheet's part
  std::string group;                  // integrity, stats: the group column
  std::string table;                  // export --csv: the table
  std::vector<std::string> lms;       // export --lms PLATFORM FILE
  std::string itemName;               // export --lms: the grade item
  std::string lmsId;                  // export --lms: the roster column of the platform's identifier
  std::string columnId;               // export --lms blackboard: the Grade Center column ID
  std::vector<std::string> students;  // results: only these
  bool noAnswers = false;             // results: no table of items
  bool noKey = false;                 // results: no key and points beside the answers
  bool picture = false;               // results --sheet
  bool classStats = false;
  bool half = false;
  std::string byGroup;
  std::string html;  // report
  std::string pdf;
  std::string copy;  // backup
  bool force = false;
  std::string listen = "127.0.0.1:8080";  // serve
  int hold = omr::exam::kDefaultHold;     // serve: seconds a claim on a sheet lasts
};

// Adds "exam" and its subcommands to the application.
CLI::App* AddExamCommands(CLI::App& app, ExamOptions& options);
int RunExam(const GlobalOptions& global, CLI::App* exam, const ExamOptions& options);

}  // namespace omrctl
