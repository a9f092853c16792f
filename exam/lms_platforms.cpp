// The platforms' table, apart from the file builder: the exam file's checker
// needs it without the results layer.
#include "lms.h"

namespace omr::exam {

const std::vector<LmsPlatform>& LmsPlatforms() {
  static const std::vector<LmsPlatform> platforms = {
      {"moodle", "Moodle", {"ID number", "Email address", "Username"}, "ID number", true},
      {"canvas", "Canvas", {"Student", "ID", "SIS User ID", "SIS Login ID", "Section"}, "SIS User ID", false},
      {"blackboard",
       "Blackboard Learn",
       {"Last Name", "First Name", "Username", "Student ID"},
       "Username",
       false},
      {"brightspace", "Brightspace", {"OrgDefinedId", "Username"}, "OrgDefinedId", false},
  };
  return platforms;
}

const LmsPlatform* FindLmsPlatform(std::string_view name) {
  for (const LmsPlatform& p : LmsPlatforms())
    if (name == p.name) return &p;
  return nullptr;
}

std::string LmsPlatformNames() {
  std::string out;
  for (const LmsPlatform& p : LmsPlatforms()) out += (out.empty() ? "" : ", ") + std::string(p.name);
  return out;
}

}  // namespace omr::exam
