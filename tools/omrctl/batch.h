// The output of a batch of sheets (read and decode): one line per sheet on
// stdout (or one JSON object per line), the CSV rows, and the summary.
// Every sheet is saved as it comes: its CSV row is on the disk and its line
// printed before Add returns.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "commands.h"
#include "json.h"
#include "offline.h"
#include "output_files.h"

namespace omrctl {

struct SheetRow {
  int number = 0;
  int code = 0;                       // 0 read and recognised, else the error code
  bool feedAgain = false;             // the reader refused the sheet or its data failed: it must be fed again
  char letter = 0;                    // reported form letter, 0 when none
  std::string result;                 // the result text in the asked mode (any bytes)
  std::string grid;                   // the grid file read or written, if any
  std::string picture;                // the picture written, if any
  const omro_sheet* sheet = nullptr;  // the decoded grid: questions, cells and confidence
};

// How existing output files are treated, from --append and --force.
Existing ExistingFiles(const SheetOptions& options);

// Checks the output files before anything is read or written: an existing
// CSV, grid or picture is refused unless --append or --force says otherwise;
// with --append the CSV must have this run's columns and end in a whole row.
// `first` is the number of the first sheet: 1, or with --append one after the
// last sheet in the CSV, the grid folder and the picture folder.
bool PlanOutputs(const SheetOptions& options, const std::vector<std::string>& header, bool canAppend,
                 int& first, std::string& error);

// The CSV header: sheet, form, code, outcome, the result column named by the
// mode, doubtful (the numbers of the doubtful questions), then q1..qN.
std::vector<std::string> CsvHeader(int mode, int questions);

class Batch {
 public:
  // `columns`: the most questions a layout of the form has (CSV q1..qN).
  Batch(const GlobalOptions& global, const SheetOptions& options, int columns);

  // Opens the CSV file (writing its header unless appending to a file that
  // has one); false with the reason.
  bool Open(std::string& error);
  // Saves one sheet. False (with the reason) when its CSV row or its line
  // could not be written; a closed standard output (a pipe whose reader
  // left) is not a failure: OutputClosed() then tells.
  bool Add(const SheetRow& row, std::string& error);
  // A sheet that was fed but not saved (the reader stopped during it, or
  // the run stopped): counted in the summary as to be fed again.
  void AddUnsaved(int number, const std::string& why);
  // The summary: on stdout, or on stderr once stdout is closed. `extra`
  // members go into the JSON summary.
  void PrintSummary(const std::vector<std::pair<std::string, std::string>>& extra, int exitCode);
  bool Close(std::string& error);

  bool OutputClosed() const { return outputClosed_; }
  // Whether the last sheet given to Add reached the CSV (also when its line
  // could not be printed).
  bool LastInCsv() const { return lastInCsv_; }
  bool HasCsv() const { return csv_.IsOpen(); }
  int Sheets() const { return sheets_; }
  int Failed() const { return failed_; }

 private:
  std::string Outcome(const SheetRow& row) const;
  bool Print(const std::string& line, std::string& error);
  const GlobalOptions& global_;
  const SheetOptions& options_;
  int columns_;
  RowFile csv_;
  std::string lineEnd_ = "\n";
  bool outputClosed_ = false;
  bool lastInCsv_ = false;
  int sheets_ = 0;
  int failed_ = 0;
  std::vector<std::pair<int, std::string>> unsaved_;
  std::map<std::pair<int, std::string>, int> outcomes_;  // (code, outcome) -> sheets
};

// Reads the form as the library will; on a rejected line prints every one to
// stderr and answers the exit code (kExitForm, or kExitUsage for a file that
// cannot be read); also kExitForm for a form that defines no layout. Prints
// the warnings `check` gives on stderr. kExitOk when the form is usable.
int PrepareForm(const GlobalOptions& global, const std::string& path, Form& form);

// The most questions a layout of the form has.
int MostQuestions(const omro_form* form);

// Creates the directory (and its parents) when missing; false with the reason.
bool MakeDirectory(const std::string& path, std::string& error);

// "DIR/sheet-001.EXT"
std::string SheetFile(const std::string& directory, int number, const char* extension);

// The sheet number of a file named sheet-NNN.EXT (any directory), 0 when the
// name is not of that form.
int SheetNumberOf(const std::string& path, const char* extension);

}  // namespace omrctl
