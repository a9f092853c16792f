// What the office page's routes do, page by page: pure work on a project or
// on texts the page sent, answering JSON. The routes themselves (what each
// needs, its parameters, its body) are in the one table of review_server.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "api_support.h"
#include "export.h"
#include "project.h"
#include "project_analysis.h"

namespace omr::exam::office {

using api::Json;

// Limits on what the office page uploads.
inline constexpr std::size_t kMaxUpload = 4 * 1024 * 1024;  // a body with a form, an exam file and a roster
inline constexpr std::size_t kMaxExamText = 1024 * 1024;
inline constexpr std::size_t kMaxFormText = 1024 * 1024;
inline constexpr std::size_t kMaxRosterText = 2 * 1024 * 1024;
inline constexpr std::size_t kMaxFileName = 200;

// ------------------------------------------------------------------ analysis

// What tells whether an exam's scores may have changed: its revision, its
// sheets and its corrections.
struct Stamp {
  int revision = 0;
  int sheets = 0;
  int corrections = 0;
  Id lastCorrection = 0;
  bool operator==(const Stamp&) const = default;
};
Stamp StampOf(Project& project);

// The scores and the item analysis of an exam at one stamp (kept by the
// server while the stamp holds: the Exams and Results pages read it).
struct Analyzed {
  Stamp stamp;
  std::vector<SheetRecord> sheets;  // without grids
  std::vector<SheetScore> scores;
  ExamAnalysis analysis;
  std::string error;  // why there is no analysis ("" when there is)
};
// `inputs` (may be null) gets what the scores were made from: a re-key's
// preview scores them again in memory.
std::shared_ptr<const Analyzed> Analyze(Project& project, const Stamp& stamp,
                                        std::shared_ptr<const Project::ScoringInputs>* inputs = nullptr);

// --------------------------------------------------------------- Exams page

// An exam's state: title, sheets read, students read and missing, waiting for
// review, last read, flagged items (null without an analysis); `editable`
// while no sheet is read.
Json Summary(Project& project, const std::string& file, const Stamp& stamp, const Analyzed* analyzed);

// ------------------------------------------------------------ New exam page

// The example forms installed with omrctl (and those of the source tree when
// it runs from a build): name, text, layouts.
Json Forms(const std::vector<std::string>& folders);

// A form text checked by the offline library: its problems at their lines
// (rejected lines and warnings) and, when the driver loads it, its layouts
// with their questions.
Json CheckForm(const std::string& text);

// A roster (bytes in `encoding`, "" for UTF-8) as a table: its columns, the
// first rows, the count, the problems by line; with `idColumn` the roster as
// the exam stores it (UTF-8, that column named "id").
Json CheckRoster(const std::string& bytes, const std::string& encoding, const std::string& idColumn);

// An exam file checked against the form by the exam layer's own checker:
// every problem with its JSON pointer, line and column; a summary when none.
Json CheckExam(const std::string& examText, const std::string& formText, const std::string& rosterText);

// ---------------------------------------------------------------- Keys page

// Every master item as the key grid shows it: its questions on each version,
// options, key, accepted answers, kind, points and the item analysis's
// figures and flags; the versions; the revisions with the key each gave.
Json Keys(Project& project, const Analyzed& analyzed);

// One item change as the page sends it: {"item", "key", "accept", "void",
// "bonus"}. Throws http::HttpError 400 naming the field.
ItemChange ItemChangeOf(const Json& body);

// The items flagged "key?" with the option that behaves like their key
// (integrity's proposal from the same item analysis), without previews: the
// page asks the re-key's dry run of each.
Json KeyFixes(const Analyzed& analyzed);

// ------------------------------------------------------------- Results page

// What the Results page offers to download: one row each (adding a download
// is one row here and its words in the catalogs). Each is made by
// ExportBytes, as the command line makes it.
struct Download {
  std::string id;         // "students.csv": the route's name and the catalogs' key
  ExportRequest request;  // what ExportBytes is asked for
};
const std::vector<Download>& Downloads();
// The row of this id; null for any other text.
const Download* FindDownload(const std::string& id);

// Every download as the page lists it: its id and, when it cannot be made
// for this exam, why ("problem", the library's words).
Json DownloadsJson(Project& project);

// Content-Disposition for that name: an ASCII name, and the UTF-8 one (RFC 6266).
std::string ContentDisposition(const std::string& name);

}  // namespace omr::exam::office
