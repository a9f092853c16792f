// Output files of a batch that lose nothing and never destroy what was there:
// whole files appear under their name only when complete (written to a
// temporary name, then moved), rows are appended whole and on the disk before
// the next sheet is fed, and an existing file is kept unless the operator
// says otherwise.
#pragma once

#include <functional>
#include <string>

namespace omrctl {

// What to do with a file that is already there.
enum class Existing {
  Refuse,   // keep it; the write fails and names it
  Append,   // rows: add to it; whole files: as Refuse
  Replace,  // overwrite it (--force)
};

// Writes a whole file through omr::common::WriteFileWhole: `write` fills a
// temporary file next to `path` (its argument), which is flushed to the disk
// and then moved to `path`. On any failure the temporary file is removed and
// nothing appears under `path`; `error` names the file and the reason.
bool PublishFile(const std::string& path, Existing existing,
                 const std::function<bool(const std::string& temp, std::string& error)>& write,
                 std::string& error);

// A file of rows (CSV, JSON Lines) that is appended to one whole row at a
// time. Each row reaches the disk before Append returns; a row that cannot be
// written completely (disk full, file size limit) is cut off again, so the
// file only ever holds whole rows.
class RowFile {
 public:
  RowFile() = default;
  RowFile(const RowFile&) = delete;
  RowFile& operator=(const RowFile&) = delete;
  ~RowFile();

  // Refuse: the file must not exist yet; Append: it is added to (created when
  // missing); Replace: it is emptied. False with the path and the reason.
  bool Open(const std::string& path, Existing existing, std::string& error);
  bool IsOpen() const { return fd_ >= 0; }
  // Whether Open created the file (it was not there before).
  bool Created() const { return created_; }
  bool Append(const std::string& bytes, std::string& error);
  // Closes the file; a file this run created and never wrote a row into is
  // removed, so a failed start leaves no empty file behind.
  bool Close(std::string& error);
  const std::string& Path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
  bool created_ = false;
  bool wrote_ = false;
};

// True (with the reason) when `path` must not be written: something other
// than a regular file, or an SQLite file (an exam project, most likely) or
// one of its journal files, never replaced or added to, not even with
// --force, since one mistyped name would lose a whole exam.
bool RefusedOutput(const std::string& path, std::string& error);

// "PATH: REASON" for the current errno.
std::string FileError(const std::string& path);

}  // namespace omrctl
