// The exam report: one self-contained HTML page (inline CSS and SVG, nothing
// fetched) that reads without script and prints on A4.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "statistics.h"

namespace omr::exam {

// A sheet still waiting for a person.
struct ReviewEntry {
  std::int64_t sheet = 0;
  std::string student;  // the student ID as read, "" when there is none
  std::string name;     // from the roster, "" when unknown
  std::string reasons;  // why it waits, as the review queue words it
};

struct ReportInfo {
  std::string title;      // the exam's name
  std::string generated;  // when the report was made, shown as given
  std::vector<ReviewEntry> waiting;
  // Further sections (HTML made by their own renderer, the integrity
  // screening), placed before "How to read it".
  std::string sections;
  // What the analysis counts: "sheets", or "candidates" (an exam of several sheets a candidate).
  std::string counted = "sheets";
};

// The page: summary figures, histogram of totals, the item table (sortable
// by any column with a small inline script), a panel per flagged item, the
// items per version and the sheets waiting for review. Every text from the
// caller is escaped.
std::string RenderHtmlReport(const ExamAnalysis& exam, const ReportInfo& info);

// A page of the report's look around `body` (HTML): heading `title` (escaped
// here) and the line `subtitle` (HTML) below it.
std::string RenderHtmlPage(const std::string& title, const std::string& subtitle, const std::string& body);

}  // namespace omr::exam
