// Re-keying: one master item changed in the exam file's own text (the rest of
// the file, comments and all, stays as it was written), and what a new exam
// does to the scores, sheet by sheet. Pure functions: the project stores, the
// command line and the review page print.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "exam_file.h"
#include "roster.h"
#include "scoring.h"

namespace omr::exam {

// A change of one master item: a new key, void, bonus, or further correct
// options (with or without a new key).
struct ItemChange {
  int item = 0;  // master item, from 1
  std::optional<std::string> key = std::nullopt;
  bool voided = false;
  bool bonus = false;
  std::optional<std::string> accept = std::nullopt;

  // "item 30: key C", "item 12: void": the history's note.
  std::string Describe() const;
};

// The exam file's text with the change written into it: the key character of
// the item in the master key and in every version's own answers, its rule in
// "scoring"/"items" (a range the item shares is split). Throws Error when the
// change does not fit the exam (no such item, no such option, an "all" item).
std::string ApplyItemChange(const std::string& text, const Exam& exam, const FormShape& shape,
                            const ItemChange& change);

// A sheet whose score a new exam changes.
struct ScoreChange {
  int sheet = 0;
  std::string studentId;  // "" when the sheet has no valid ID
  std::string name;       // the roster's name for it, "" when none
  std::string version;
  bool scoredBefore = false;
  bool scoredAfter = false;
  double totalBefore = 0;
  double totalAfter = 0;
  double maximumBefore = 0;
  double maximumAfter = 0;
  std::optional<double> percentBefore;
  std::optional<double> percentAfter;
};

// What a rekey changed (or, in a dry run, would change).
struct RekeyReport {
  int revision = 0;                  // the new revision; 0 in a dry run
  std::string note;                  // the history's note of an item change ("" for a whole file)
  std::vector<ScoreChange> changed;  // the largest change of the total first
  int unchanged = 0;                 // scored sheets (before or after) whose total and percent stay
};

// Sheet by sheet (or candidate by candidate; paired by number, both in
// number order; one on a side only is not scored on the other): those whose
// total, maximum, percent or being scored changes, sorted by the size of the
// change of the total (then of the percent, then by sheet number); a sheet
// that is scored on one side only comes first. Void sheets are left out.
RekeyReport CompareScores(const std::vector<SheetScore>& before, const std::vector<SheetScore>& after,
                          const Roster& roster);

// The report as one JSON object (omrctl exam rekey --json, the office page).
std::string RekeyJson(const RekeyReport& report, bool dryRun);

}  // namespace omr::exam
