// Exports of an exam project: per student, per sheet, per item and the
// review reasons, as CSV, XLSX (numbers as numbers) or JSON. One set of
// tables is built from the current scores; each format only renders it.
#pragma once

#include <string>
#include <vector>

#include "project.h"
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
  Table students;         // one row per student: roster students without a sheet too
  Table sheets;           // one row per sheet
  Table items;            // one row per master item
  Table review;           // one row per review reason
  ExamAnalysis analysis;  // the item analysis of the same scores (the XLSX's analysis sheets)
};

ExportTables BuildTables(Project& project);

// Written to a temporary name and renamed: an existing file is replaced whole
// or not at all. Throw Error. `excel`: a byte-order mark and CRLF line ends,
// so that a spreadsheet opened with a double click reads UTF-8.
void WriteCsv(const Table& table, const std::string& path, bool excel = false);
void WriteXlsx(const ExportTables& tables, const std::string& path);
// One JSON document: the exam, then each table as an array of objects.
std::string ExportJson(const Project& project, const ExportTables& tables);

// The status as one JSON object (omrctl exam status --json, the review page).
std::string StatusJson(const ExamStatus& status);

}  // namespace omr::exam
