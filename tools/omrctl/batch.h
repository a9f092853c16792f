// The output of a batch of sheets (read and decode): one line per sheet, the
// CSV rows, the JSON document, pictures and the summary.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "csv.h"
#include "json.h"
#include "offline.h"

namespace omrctl {

struct SheetRow {
  int number = 0;
  int code = 0;                       // 0 read and recognised, else the error code
  char letter = 0;                    // reported form letter, 0 when none
  std::string result;                 // the result text in the asked mode (any bytes)
  std::string grid;                   // the grid file read or written, if any
  std::string picture;                // the picture written, if any
  const omro_sheet* sheet = nullptr;  // the decoded grid: questions, cells and confidence
};

class Batch {
 public:
  // `columns`: the most questions a layout of the form has (CSV q1..qN).
  Batch(const GlobalOptions& global, const SheetOptions& options, int columns);

  // Opens the CSV file; false with the reason.
  bool Open(std::string& error);
  void Add(const SheetRow& row);
  // The summary (or the JSON document) on stdout; false when the CSV could
  // not be written completely.
  bool Finish(const std::vector<std::pair<std::string, std::string>>& header);

  int Sheets() const { return sheets_; }
  int Failed() const { return failed_; }

 private:
  std::string Outcome(int code) const;
  const GlobalOptions& global_;
  const SheetOptions& options_;
  int columns_;
  CsvFile csv_;
  Json json_;
  int sheets_ = 0;
  int failed_ = 0;
  std::map<int, int> outcomes_;  // code -> sheets
};

}  // namespace omrctl

namespace omrctl {

// Reads the form as the library will; on a rejected line prints every one to
// stderr and answers the exit code (kExitForm, or kExitUsage for a file that
// cannot be read); kExitOk when the form is usable.
int PrepareForm(const GlobalOptions& global, const std::string& path, Form& form);

// The most questions a layout of the form has.
int MostQuestions(const omro_form* form);

// Creates the directory (and its parents) when missing; false with the reason.
bool MakeDirectory(const std::string& path, std::string& error);

// "DIR/sheet-001.EXT"
std::string SheetFile(const std::string& directory, int number, const char* extension);

}  // namespace omrctl
