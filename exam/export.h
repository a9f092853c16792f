// Exports of an exam project: per student, per sheet, per item and the
// review reasons, as CSV, XLSX (numbers as numbers) or JSON. One set of
// tables is built from the current scores; each format only renders it.
#pragma once

#include <string>
#include <vector>

#include "lms.h"
#include "project.h"
#include "results.h"
#include "slips.h"
#include "statistics.h"
#include "text.h"

namespace omr::exam {

struct Cell {
  enum class Kind { kEmpty, kText, kNumber } kind = Kind::kEmpty;
  std::string text;
  double number = 0;

  static Cell Text(std::string t) { return {Kind::kText, std::move(t), 0}; }
  static Cell Number(double v) { return {Kind::kNumber, {}, v}; }
};

struct Table {
  std::string name;
  std::vector<std::string> header;
  std::vector<std::vector<Cell>> rows;
};

struct ExportTables {
  Table students;            // one row per student: roster students without a sheet too
  Table sheets;              // one row per sheet
  Table items;               // one row per master item
  Table review;              // one row per review reason
  Table groups;              // all students, then per group: totals, grades, topics
  Table groupItems;          // per group and master item: the item analysis
  ExamAnalysis analysis;     // the item analysis of the same scores (the XLSX's analysis sheets)
  ExamResults results;       // grades, topics and groups of the same scores
  bool withResults = false;  // the exam grades, tags topics or groups students

  // Whether the Groups table is written (with the exam's results), and
  // Group items (with groups).
  bool HasResults() const { return withResults; }
  bool HasGroups() const { return !results.groupColumns.empty(); }
  // The table of this name: students, sheets, items, review, groups, group-items.
  const Table* Find(const std::string& name) const;
};

ExportTables BuildTables(Project& project);

// Written to a temporary name and renamed: an existing file is replaced whole
// or not at all. Throw Error. `excel`: a byte-order mark and CRLF line ends,
// so that a spreadsheet opened with a double click reads UTF-8.
void WriteCsv(const Table& table, const std::string& path, bool excel = false);
std::string CsvText(const Table& table, bool excel = false);
void WriteXlsx(const ExportTables& tables, const std::string& path);
// One JSON document: the exam, then each table as an array of objects.
std::string ExportJson(const Project& project, const ExportTables& tables);

// One file an exam's results can be downloaded as, by format name:
//   csv (`table` of ExportTables::Find, `excel`), xlsx, json: the exports above;
//   moodle, canvas, blackboard, brightspace: a platform's grade import (`lms`);
//   slips-pdf: every slip in one PDF; slips-zip: the pages `exam results
//   --html DIR` writes, in one ZIP.
// For the office page and the command line alike: the same bytes. Throws Error.
struct ExportRequest {
  std::string format;
  std::string table = "students";
  bool excel = false;
  LmsOptions lms;
  SlipOptions slips;
};

struct ExportFile {
  std::string bytes;
  std::string contentType;           // "text/csv; charset=utf-8", ...
  std::string fileName;              // a name to offer: "Final-exam-canvas.csv" (from the exam's title)
  int records = 0;                   // students written (platforms), slips made (slips-pdf, slips-zip)
  std::vector<std::string> skipped;  // platforms: students left out, and why
  std::vector<std::string> notes;
};

// The formats ExportBytes takes, for messages: "csv, xlsx, json, moodle, ...".
std::string ExportFormatNames();
ExportFile ExportBytes(Project& project, const ExportRequest& request);
// Why ExportBytes would refuse the request whatever the scores are ("" when
// it would not), found without making the file: a platform's file without
// a roster, say (LmsProblem's text).
std::string ExportProblem(Project& project, const ExportRequest& request);

// The status as one JSON object (omrctl exam status --json, the review page).
std::string StatusJson(const ExamStatus& status);

}  // namespace omr::exam
