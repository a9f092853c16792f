#include "office_place.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "error.h"
#include "store.h"
#include "text.h"

namespace omr::exam {

namespace {

constexpr const char* kExtension = ".omrexam";
constexpr const char* kBackups = "backups";
constexpr std::size_t kMaxFileName = 255;

// Makes `path` and the folders above it that are missing, the new ones for
// the owner only.
void MakeFolders(const std::string& path) {
  std::string sofar;
  std::size_t at = 0;
  while (at != std::string::npos) {
    at = path.find('/', at + 1);
    sofar = path.substr(0, at);
    if (sofar.empty()) continue;
    if (::mkdir(sofar.c_str(), 0700) != 0 && errno != EEXIST)
      throw Error("cannot make the folder " + sofar + ": " + std::strerror(errno));
  }
}

// A project the page names is checked by its name and kind only: reading its
// header here would open and close it, and a close drops every lock this
// process holds on the file (POSIX), the SQLite connections' too; another
// process closing it then takes itself for the last one and deletes the WAL
// that this server goes on writing into (every later write lost). SQLite
// itself says, when it opens one, whether it is a database.
bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::string DefaultOfficeFolder() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data && data[0] == '/') return std::string(data) + "/omr/office";
  const char* home = std::getenv("HOME");
  if (!home || home[0] != '/')
    throw Error(
        "cannot tell the user's data folder (neither XDG_DATA_HOME nor HOME is set): name the folder");
  return std::string(home) + "/.local/share/omr/office";
}

bool ExamNameOk(const std::string& name, std::string& why) {
  if (name.empty() || name.size() > 100) {
    why = "an exam's name is 1 to 100 bytes";
    return false;
  }
  if (CleanUtf8(name) != name) {
    why = "an exam's name is text (UTF-8) without control characters";
    return false;
  }
  if (name.find_first_not_of(" \t") == std::string::npos) {
    why = "an exam's name is not only blanks";
    return false;
  }
  return true;
}

Place::Place(std::string location, bool create) : location_(std::move(location)) {
  server_ = IsServerLocation(location_);
  if (server_) return;
  while (location_.size() > 1 && location_.back() == '/') location_.pop_back();
  if (location_.empty()) throw Error("name the folder of the exams");
  if (!IsFolder(location_)) {
    if (!create) throw Error(location_ + " is not a folder: name a folder of exam projects (.omrexam files)");
    MakeFolders(location_);
  }
}

std::vector<PlaceEntry> Place::List(std::vector<PlaceProblem>* problems) const {
  std::vector<PlaceEntry> out;
  auto add = [&](const std::string& project, const std::string& location) {
    try {
      std::unique_ptr<Store> store = OpenStore(location, Access::kRead);
      for (const ExamRecord& e : store->Exams()) out.push_back({project, e.name, location});
    } catch (const Error& e) {
      if (problems) problems->push_back({project, e.what()});
    }
  };
  if (server_) {
    add("", location_);
    return out;
  }
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(location_.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.') continue;
      if (name.size() < std::strlen(kExtension) ||
          name.compare(name.size() - std::strlen(kExtension), std::string::npos, kExtension) != 0)
        continue;
      names.push_back(name);
    }
    ::closedir(dir);
  } else {
    throw Error("cannot list the folder " + location_ + ": " + std::strerror(errno));
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = location_ + "/" + name;
    if (!IsRegularFile(path)) {
      if (problems) problems->push_back({name, "not an exam project (not a file)"});
      continue;
    }
    add(name, path);
  }
  return out;
}

std::string Place::Locate(const std::string& project) const {
  if (server_) {
    if (!project.empty()) throw NotFoundError("the exams are in one database here: no project " + project);
    return location_;
  }
  const bool plain = !project.empty() && project.size() <= kMaxFileName && project[0] != '.' &&
                     project.find('/') == std::string::npos && project.find('\0') == std::string::npos &&
                     CleanUtf8(project) == project;
  if (!plain) throw Error("project: a file name in the office folder (got \"" + CleanUtf8(project) + "\")");
  const std::string path = location_ + "/" + project;
  const std::size_t ext = std::strlen(kExtension);
  if (project.size() <= ext || project.compare(project.size() - ext, std::string::npos, kExtension) != 0 ||
      !IsRegularFile(path))
    throw NotFoundError("there is no project " + project + " in " + location_);
  return path;
}

std::string Place::NewProject(const std::string& examName) const {
  if (server_) return "";
  std::string stem;
  for (const char c : examName) {
    const unsigned char u = static_cast<unsigned char>(c);
    const bool keep = (u >= '0' && u <= '9') || (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || u >= 0x80;
    if (keep)
      stem += c;
    else if (!stem.empty() && stem.back() != '-')
      stem += '-';
  }
  while (!stem.empty() && stem.back() == '-') stem.pop_back();
  if (stem.size() > 80) stem = CleanUtf8(stem.substr(0, 80));
  if (stem.empty()) stem = "exam";
  for (int n = 1; n < 10000; ++n) {
    const std::string name = stem + (n == 1 ? "" : "-" + std::to_string(n)) + kExtension;
    struct stat st {};
    if (::lstat((location_ + "/" + name).c_str(), &st) != 0 && errno == ENOENT) return name;
  }
  throw Error("no free file name for a new exam in " + location_);
}

std::string Place::BackupPath(const std::string& project) const {
  if (server_)
    throw Error("a PostgreSQL project is backed up with pg_dump (see the PostgreSQL documentation)");
  Locate(project);
  const std::string folder = location_ + "/" + kBackups;
  MakeFolders(folder);
  std::string stamp = NowUtc();
  stamp.erase(std::remove_if(stamp.begin(), stamp.end(), [](char c) { return c == '-' || c == ':'; }),
              stamp.end());
  const std::string stem = project.substr(0, project.size() - std::strlen(kExtension));
  std::string path = folder + "/" + stem + "-" + stamp + kExtension;
  for (int n = 2; ::access(path.c_str(), F_OK) == 0 && n < 100; ++n)
    path = folder + "/" + stem + "-" + stamp + "-" + std::to_string(n) + kExtension;
  return path;
}

}  // namespace omr::exam
