// The output guard: what may stand under a name that is about to be written,
// judged without blocking (a named pipe with no one at the other end).
#include "output_guard.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "temp_dir.h"
#include "write_file.h"

namespace omr::common {
namespace {

namespace fs = std::filesystem;

TEST(OutputGuard, RefusesAtOnceWhatMustNotBeWritten) {
  const TemporaryDirectory dir("omr-guard");
  const fs::path base = dir.path();
  const std::string project = (base / "final.omrexam").string();
  std::ofstream(project, std::ios::binary) << std::string("SQLite format 3\0 and the rest", 29);
  std::ofstream(base / "old.csv") << "a,b\n";
  ASSERT_EQ(::mkfifo((base / "pipe").c_str(), 0600), 0);
  fs::create_directory(base / "folder");

  struct Case {
    std::string path;
    OutputRules rules;
    const char* refusal;  // a word of the reason; null: may be written
  };
  const Case cases[] = {
      {(base / "new.csv").string(), {}, nullptr},
      {(base / "old.csv").string(), {}, nullptr},
      {(base / "pipe").string(), {}, "a named pipe"},
      {(base / "folder").string(), {}, "a folder"},
      {"/dev/null", {}, "a device"},
      {project, {}, "is a database"},
      {project + "-wal", {}, "belongs to the database"},  // not there yet: writing it would still corrupt
      {project + "-journal", {true, ""}, "belongs to the database"},
      {project, {true, ""}, nullptr},  // an older backup copy, with --force
      {project, {true, project}, "itself"},
      {(base / "." / "final.omrexam").string(), {true, project}, "itself"},
  };
  for (const Case& c : cases) {
    const std::string problem = OutputProblem(c.path, c.rules);
    if (c.refusal) {
      EXPECT_NE(problem.find(c.refusal), std::string::npos) << c.path << ": " << problem;
      EXPECT_NE(problem.find(c.path), std::string::npos) << problem;
    } else {
      EXPECT_EQ(problem, "") << c.path;
    }
  }
  // Every whole-file write asks it first: the pipe is still a pipe.
  std::string error;
  EXPECT_FALSE(WriteFileWhole((base / "pipe").string(), "x", IfExists::kReplace, error));
  EXPECT_TRUE(fs::is_fifo(base / "pipe"));
  EXPECT_FALSE(IsSqliteFile((base / "pipe").string()));
  EXPECT_TRUE(IsSqliteFile(project));
}

}  // namespace
}  // namespace omr::common
