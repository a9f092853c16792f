// Result slips: one page (or half a page) per student with their total,
// percent, grade, topic subscores and the items in their own order (their
// answer, the key, the points), answers the recognition doubted that nobody
// reviewed marked; optionally the sheet's picture with the key drawn over it
// and the figures of the class. Self-contained HTML (inline CSS, pictures as
// data), readable on a phone and printed on A4.
#pragma once

#include <string>
#include <vector>

namespace omr::exam {

class Project;

struct SlipOptions {
  bool answers = true;                // the table of items
  bool key = true;                    // the key and the points beside each answer
  bool picture = false;               // the sheet's picture with the key drawn over it
  bool statistics = false;            // the figures of all students and of the student's groups
  bool half = false;                  // half an A4 page each, two to a page
  std::string byGroup;                // ordered by this roster column (roster order within a group)
  std::vector<std::string> students;  // only these IDs; empty: every student with a scored sheet
};

struct Slip {
  std::string id;
  std::string name;
  std::string body;  // the slip's <article>
};

// The slips of the students asked for, in roster order (by group when
// asked). Throws Error for a student the exam has no scored sheet of, or a
// group column the roster lacks.
std::vector<Slip> MakeSlips(Project& project, const SlipOptions& options);

// One page holding these slips (each a page, or half a page, in print).
std::string SlipsDocument(const std::string& title, const std::vector<Slip>& slips,
                          const SlipOptions& options);

// A file name for a student's slip ("20240017.html"): characters other than
// letters, digits, "-" and "_" become "_".
std::string SlipFileName(const std::string& id);

// The pages `WriteSlipsHtml` writes: each student's slip as a page of its
// own, under its file name (SlipFileName, numbered when two IDs give the same).
struct SlipPage {
  std::string name;
  std::string html;
};
std::vector<SlipPage> SlipPages(Project& project, const SlipOptions& options);

// Writes every slip into one PDF (headless Chromium), or one HTML file each
// into `dir` (made when missing; an existing slip is replaced). Answer the
// number written. Throw Error.
int WriteSlipsPdf(Project& project, const SlipOptions& options, const std::string& pdf);
int WriteSlipsHtml(Project& project, const SlipOptions& options, const std::string& dir);

}  // namespace omr::exam
