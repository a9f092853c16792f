#include "backup.h"

#include <sys/stat.h>

#include <memory>

#include "error.h"
#include "output_guard.h"
#include "project.h"
#include "store.h"
#include "write_file.h"

namespace omr::exam {

BackupReport BackupProject(const std::string& project, const std::string& target, bool replace) {
  if (IsServerLocation(project))
    throw Error(project +
                " is a PostgreSQL project: back it up with the database's own tools, for example "
                "pg_dump --format=custom --file=FILE 'postgresql://USER@HOST/DATABASE'");
  if (target.empty()) throw Error("give the file to write the copy to");
  // Replacing the project or its journal under the programs that have it open
  // would lose what they write next; an older copy may go (with --force).
  omr::common::OutputRules rules;
  rules.databaseMayGo = true;
  rules.keep = project;
  if (std::string problem = omr::common::OutputProblem(target, rules); !problem.empty()) throw Error(problem);
  BackupReport report;
  // Checks that it is a project and brings its schema up to date, so the
  // copy opens as it is; an exam whose derived rows a migration left out is
  // built first (opening it builds them), so that the copy reads as it is.
  const std::unique_ptr<Store> store = OpenStore(project);
  for (const ExamRecord& exam : store->Exams())
    if (!store->Built(exam.id)) Project(OpenStore(project), exam.id, exam.name);
  report.schema = store->SchemaVersion();
  for (const ExamRecord& exam : store->Exams()) report.sheets += store->SheetCount(exam.id);

  std::string error;
  const auto fill = [&](const std::string& temporary, std::string& why) {
    try {
      store->CopyTo(temporary);
    } catch (const StoreError& e) {
      why = e.what();
      return false;
    }
    struct stat st {};
    if (::stat(temporary.c_str(), &st) == 0) report.bytes = st.st_size;
    return true;
  };
  if (!common::WriteFileWhole(target, replace ? common::IfExists::kReplace : common::IfExists::kKeep, fill,
                              error, rules))
    throw Error(error == common::ExistsError(target) ? error + ": give another name, or --force to replace it"
                                                     : error);
  return report;
}

}  // namespace omr::exam
