// Where the office page finds its exams: a folder of SQLite projects (one
// file each, any number of exams in a file), or one PostgreSQL project that
// holds several exams. The page names an exam by its project's file name in
// the folder ("" on a server) and the exam's name in the project; nothing the
// page sends is ever taken as a path.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "project.h"

namespace omr::exam {

// The user's office folder: $XDG_DATA_HOME/omr/office, else
// ~/.local/share/omr/office. Throws Error when neither can be told.
std::string DefaultOfficeFolder();

// One exam of the place.
struct PlaceEntry {
  std::string project;   // the file name in the folder; "" on a server
  std::string exam;      // the exam's name in the project
  std::string location;  // what Project::Open takes
};

// A project file that could not be listed, and why.
struct PlaceProblem {
  std::string project;
  std::string message;
};

class Place {
 public:
  // A folder (made for its owner only when `create` and it is missing) or a
  // PostgreSQL location. Throws Error when the folder is not one.
  explicit Place(std::string location, bool create = false);

  bool server() const { return server_; }
  const std::string& location() const { return location_; }

  // Every exam, in file then exam name order (on a server, in exam order).
  std::vector<PlaceEntry> List(std::vector<PlaceProblem>* problems = nullptr) const;

  // The location of a project the page names: on a server, "" only; in a
  // folder, a plain file name there that is a project. Throws NotFoundError
  // (or Error for a name that cannot be one).
  std::string Locate(const std::string& project) const;

  // A free file name for a new project from the exam's name: letters and
  // digits kept, the rest a "-", ".omrexam" added, "-2", "-3"... when taken.
  // "" on a server (the exam goes into the one project).
  std::string NewProject(const std::string& examName) const;

  // Where backups go: BACKUPS/FILE-20250131T123456Z.omrexam (the folder
  // made for its owner only). Throws Error on a server (pg_dump does that).
  std::string BackupPath(const std::string& project) const;

 private:
  std::string location_;
  bool server_ = false;
};

// Whether `name` may be the name of an exam the page makes: 1 to 100 bytes of
// UTF-8, no control character, not only blanks.
bool ExamNameOk(const std::string& name, std::string& why);

}  // namespace omr::exam
