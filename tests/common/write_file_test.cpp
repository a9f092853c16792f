// WriteFileWhole: replace or keep an existing file, a folder that cannot take
// the file, a writer that fails; never a temporary file left, never a part.
#include "write_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "temp_dir.h"

namespace omr::common {
namespace {

namespace fs = std::filesystem;

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

enum class Folder { kWritable, kMissing, kRegularFile };

struct Case {
  const char* what;
  IfExists ifExists;
  const char* before;  // the file already there; null: none
  Folder folder;
  bool writerFails;
  int errorNumber;    // 0: written; EEXIST: the "exists" error; else that errno's reason
  const char* after;  // what the name holds afterwards; null: nothing
};

constexpr Case kCases[] = {
    {"replace, no file", IfExists::kReplace, nullptr, Folder::kWritable, false, 0, "new"},
    {"replace, existing file", IfExists::kReplace, "old", Folder::kWritable, false, 0, "new"},
    {"keep, no file", IfExists::kKeep, nullptr, Folder::kWritable, false, 0, "new"},
    {"keep, existing file", IfExists::kKeep, "old", Folder::kWritable, false, EEXIST, "old"},
    {"replace, empty existing file", IfExists::kReplace, "", Folder::kWritable, false, 0, "new"},
    {"keep, empty existing file", IfExists::kKeep, "", Folder::kWritable, false, EEXIST, ""},
    {"missing folder", IfExists::kReplace, nullptr, Folder::kMissing, false, ENOENT, nullptr},
    {"folder is a file", IfExists::kKeep, nullptr, Folder::kRegularFile, false, ENOTDIR, nullptr},
    {"writer fails, existing file", IfExists::kReplace, "old", Folder::kWritable, true, -1, "old"},
    {"writer fails, no file", IfExists::kKeep, nullptr, Folder::kWritable, true, -1, nullptr},
};

TEST(WriteFileWhole, ReplaceKeepAndFailures) {
  for (const Case& c : kCases) {
    for (const bool byWriter : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (byWriter ? ", by a writer" : ", from memory"));
      if (c.writerFails && !byWriter) continue;
      const TemporaryDirectory dir("omr-common-test");
      ASSERT_FALSE(dir.path().empty());
      fs::path folder = dir.path();
      if (c.folder == Folder::kMissing) folder /= "missing";
      if (c.folder == Folder::kRegularFile) {
        std::ofstream(dir.path() / "plain") << "x";
        folder /= "plain";
      }
      const std::string path = (folder / "out.txt").string();
      if (c.before) std::ofstream(path, std::ios::binary) << c.before;

      std::string error;
      std::string seenTemporary;
      const bool ok = byWriter ? WriteFileWhole(
                                     path, c.ifExists,
                                     [&](const std::string& temporary, std::string& e) {
                                       seenTemporary = temporary;
                                       std::ofstream(temporary, std::ios::binary) << "new";
                                       if (c.writerFails) e = "cannot encode " + temporary + ": no luck";
                                       return !c.writerFails;
                                     },
                                     error)
                               : WriteFileWhole(path, "new", c.ifExists, error);

      EXPECT_EQ(ok, c.errorNumber == 0) << error;
      std::string expectedError;
      if (c.errorNumber == EEXIST) {
        expectedError = path + " exists";
      } else if (c.errorNumber > 0) {
        expectedError = "cannot write " + path + ": " + std::strerror(c.errorNumber);
      } else if (c.errorNumber < 0) {
        expectedError = "cannot encode " + path + ": no luck";  // the writer's words, naming the file
      }
      if (!ok) {
        EXPECT_EQ(error, expectedError);
      }
      if (c.after) {
        EXPECT_EQ(Contents(path), c.after);
      } else {
        EXPECT_FALSE(fs::exists(path));
      }
      // Nothing but the file itself (and the stand-in folder) is left.
      const std::size_t expected = (c.after ? 1u : 0u) + (c.folder == Folder::kRegularFile ? 1u : 0u);
      EXPECT_EQ(static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), {})), expected);
      if (byWriter && c.folder == Folder::kWritable) {
        EXPECT_EQ(fs::path(seenTemporary).parent_path(), folder) << "a rename never crosses file systems";
        EXPECT_NE(seenTemporary, path);
      }
    }
  }
}

TEST(WriteFileWhole, NewFileIsItsOwnersAndAReplacedOneKeepsItsMode) {
  const TemporaryDirectory dir("omr-common-test");
  for (const mode_t mask : {022, 077, 002}) {
    const mode_t previous = ::umask(mask);
    const std::string path = (dir.path() / ("mode-" + std::to_string(mask))).string();
    std::string error;
    const bool ok = WriteFileWhole(path, "x", IfExists::kKeep, error);
    ::umask(previous);
    ASSERT_TRUE(ok) << error;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, static_cast<mode_t>(0600 & ~mask)) << "umask " << mask;
  }
  // Shared with a group by its owner: the new content stays shared, by either writer.
  const std::string shared = (dir.path() / "shared").string();
  std::string error;
  ASSERT_TRUE(WriteFileWhole(shared, "x", IfExists::kKeep, error)) << error;
  ASSERT_EQ(::chmod(shared.c_str(), 0640), 0);
  ASSERT_TRUE(WriteFileWhole(shared, "y", IfExists::kReplace, error)) << error;
  ASSERT_TRUE(WriteFileWhole(
      shared, IfExists::kReplace,
      [](const std::string& temporary, std::string&) { return ::truncate(temporary.c_str(), 4) == 0; },
      error))
      << error;
  struct stat st {};
  ASSERT_EQ(::stat(shared.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(st.st_size, 4);
}

TEST(TemporaryDirectory, PrivateUnderTmpdirAndGoneWithItsFiles) {
  const TemporaryDirectory base("omr-common-base");
  ASSERT_FALSE(base.path().empty());
  const char* before = std::getenv("TMPDIR");
  const std::string saved = before ? before : "";
  ::setenv("TMPDIR", base.path().c_str(), 1);
  fs::path made;
  {
    const TemporaryDirectory dir("stem");
    if (before) {
      ::setenv("TMPDIR", saved.c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    made = dir.path();
    ASSERT_EQ(made.parent_path(), base.path());
    EXPECT_EQ(made.filename().string().rfind("stem-", 0), 0u) << made;
    EXPECT_EQ(fs::status(made).permissions() & fs::perms::all, fs::perms::owner_all);
    fs::create_directory(made / "sub");
    std::ofstream(made / "sub" / "file") << "x";
  }
  EXPECT_FALSE(fs::exists(made));
}

}  // namespace
}  // namespace omr::common
