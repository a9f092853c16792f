// The C interface of libomr-offline on bad arguments, small buffers and
// malformed input: a clear code and message, and nothing written half.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "omr_offline.h"

namespace {

using FormPtr = std::unique_ptr<omro_form, decltype(&omro_form_free)>;
using SheetPtr = std::unique_ptr<omro_sheet, decltype(&omro_sheet_free)>;

std::string Message() {
  char text[1024];
  omro_last_message(text, sizeof text);
  return text;
}

std::string Examples(const char* name) {
  return std::string(OMR_SOURCE_DIR) + "/examples/" + name;
}

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/omro-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() {
    for (const std::string& f : files_) unlink(f.c_str());
    rmdir(path_.c_str());
  }
  std::string File(const std::string& name, const std::string& content) {
    const std::string p = Track(name);
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  // A file something else writes, removed with the directory.
  std::string Track(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

FormPtr LoadText(const std::string& text) {
  omro_form* form = nullptr;
  EXPECT_EQ(omro_form_load_text(text.data(), text.size(), &form), OMRO_OK);
  return FormPtr(form, omro_form_free);
}

FormPtr LoadExample(const char* name) {
  omro_form* form = nullptr;
  EXPECT_EQ(omro_form_load(Examples(name).c_str(), &form), OMRO_OK) << Message();
  return FormPtr(form, omro_form_free);
}

// A 70-line exam60 sheet with its bars and identifying cell.
std::vector<unsigned char> ExamGrid() {
  std::vector<unsigned char> cells(70 * 48, 0);
  auto set = [&cells](int line, int column, int value) {
    cells[static_cast<std::size_t>((70 - line) * 48 + column - 1)] = static_cast<unsigned char>(value);
  };
  for (int column = 1; column <= 40; ++column) set(1, column, 11), set(70, column, 11);
  set(2, 47, 11);
  set(14, 3, 11);  // question 11 (the first answer): B
  return cells;
}

TEST(OfflineApiTest, VersionAndTexts) {
  EXPECT_EQ(omro_version(), (OMRO_VERSION_MAJOR << 16u) | (OMRO_VERSION_MINOR << 8u) | OMRO_VERSION_PATCH);
  for (int code = OMRO_OK; code <= OMRO_ERR_MEMORY + 1; ++code) EXPECT_NE(omro_error_text(code), nullptr);
  EXPECT_STREQ(omro_error_text(OMRO_ERR_BUFFER), "buffer too small");
  EXPECT_STREQ(omro_error_text(-3), "unknown result code");
}

TEST(OfflineApiTest, NullArgumentsAreRefused) {
  omro_form* form = reinterpret_cast<omro_form*>(1);
  EXPECT_EQ(omro_form_load(nullptr, &form), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(form, nullptr);
  EXPECT_EQ(omro_form_load("x", nullptr), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_form_load_text(nullptr, 3, &form), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_form_status(nullptr), -1);
  EXPECT_EQ(omro_form_command_lines(nullptr), -1);
  EXPECT_EQ(omro_form_diagnostic_count(nullptr), -1);
  EXPECT_EQ(omro_form_layout_count(nullptr), -1);
  EXPECT_EQ(omro_form_set_head_columns(nullptr, 48), OMRO_ERR_ARGUMENT);
  omro_diagnostic d{};
  omro_layout_info l{};
  omro_question_info qi{};
  EXPECT_EQ(omro_form_diagnostic(nullptr, 0, &d), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_form_layout(nullptr, 0, &l), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_form_question(nullptr, 0, 1, &qi), OMRO_ERR_ARGUMENT);
  omro_sheet* sheet = reinterpret_cast<omro_sheet*>(1);
  const unsigned char cells[4] = {};
  EXPECT_EQ(omro_decode_grid(nullptr, 1, 4, cells, 4, 0, &sheet), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(sheet, nullptr);
  EXPECT_EQ(omro_decode_grid_file(nullptr, "x", 0, &sheet), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_decode_reader(nullptr, 0, &sheet), OMRO_ERR_ARGUMENT);
  omro_sheet_info info{};
  omro_question q{};
  omro_cell c{};
  size_t length = 0;
  unsigned char buffer[8];
  EXPECT_EQ(omro_sheet_get_info(nullptr, &info), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_question(nullptr, 0, &q), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_cell(nullptr, 0, 0, &c), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_result(nullptr, nullptr, 0, &length), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_grid(nullptr, buffer, sizeof buffer), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_write_grid(nullptr, "x", nullptr), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_write_png(nullptr, "x"), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_png(nullptr, buffer, sizeof buffer, &length), OMRO_ERR_ARGUMENT);
  int lines = 0, columns = 0;
  EXPECT_EQ(omro_grid_file_read(nullptr, &lines, &columns, buffer, sizeof buffer), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_grid_file_write(nullptr, 1, 2, buffer, 2, nullptr), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_gbk_to_utf8(nullptr, 2, reinterpret_cast<char*>(buffer), sizeof buffer, nullptr),
            OMRO_ERR_ARGUMENT);
  omro_form_free(nullptr);
  omro_sheet_free(nullptr);
  EXPECT_EQ(omro_last_message(nullptr, 10), 0);
}

TEST(OfflineApiTest, IndexesOutOfRange) {
  const FormPtr form = LoadExample("exam60.form");
  omro_diagnostic d{};
  omro_layout_info l{};
  omro_question_info qi{};
  EXPECT_EQ(omro_form_diagnostic(form.get(), 0, &d), OMRO_ERR_ARGUMENT);  // a clean form has none
  EXPECT_EQ(omro_form_layout(form.get(), 1, &l), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_form_question(form.get(), 0, 0, &qi), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_form_question(form.get(), 0, 71, &qi), OMRO_ERR_ARGUMENT);
  EXPECT_NE(Message().find("no question 71"), std::string::npos);
  EXPECT_EQ(omro_form_set_head_columns(form.get(), 1), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_form_set_head_columns(form.get(), 255), OMRO_ERR_ARGUMENT);
  const std::vector<unsigned char> cells = ExamGrid();
  omro_sheet* raw = nullptr;
  EXPECT_EQ(omro_decode_grid(form.get(), 70, 48, cells.data(), cells.size(), 4, &raw), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_decode_grid(form.get(), 70, 48, cells.data(), cells.size(), -1, &raw), OMRO_ERR_ARGUMENT);
  ASSERT_EQ(omro_decode_grid(form.get(), 70, 48, cells.data(), cells.size(), 0, &raw), OMRO_OK);
  const SheetPtr sheet(raw, omro_sheet_free);
  omro_question q{};
  omro_cell c{};
  EXPECT_EQ(omro_sheet_question(raw, 70, &q), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_question(raw, -1, &q), OMRO_ERR_ARGUMENT);
  EXPECT_EQ(omro_sheet_cell(raw, 0, 4, &c), OMRO_ERR_ARGUMENT);  // a digit has 4 cells (8421)
  EXPECT_EQ(omro_sheet_cell(raw, 0, 3, &c), OMRO_OK);
}

TEST(OfflineApiTest, ExamFormLayoutsAndQuestions) {
  const FormPtr form = LoadExample("exam60.form");
  EXPECT_EQ(omro_form_status(form.get()), 0);
  EXPECT_EQ(omro_form_command_lines(form.get()), 13);
  ASSERT_EQ(omro_form_layout_count(form.get()), 1);
  omro_layout_info l{};
  ASSERT_EQ(omro_form_layout(form.get(), 0, &l), OMRO_OK);
  EXPECT_EQ(l.letter, 'A');
  EXPECT_EQ(l.lines, 70);
  EXPECT_EQ(l.ident_line, 2);
  EXPECT_EQ(l.ident_column, 47);
  EXPECT_EQ(l.questions, 8 + 2 + 60);
  EXPECT_EQ(l.fields, 5);
  EXPECT_EQ(l.bar_count, 2);
  EXPECT_EQ(l.bars[1].line, 70);
  EXPECT_EQ((l.g1 * 1000) + (l.g2 * 100) + (l.g3 * 10) + l.g4, 3225);
  EXPECT_EQ(l.coding_mode, 1);
  EXPECT_EQ(l.empty_char, '.');
  EXPECT_STREQ(l.inherited, "");
  omro_question_info q{};
  ASSERT_EQ(omro_form_question(form.get(), 0, 9, &q), OMRO_OK);  // class, first digit
  EXPECT_EQ(q.type, 's');
  EXPECT_STREQ(q.options, "0123456789");
  EXPECT_EQ(q.option_count, 10);
  EXPECT_EQ(q.first_line, 40);
  EXPECT_EQ(q.first_column, 30);
  ASSERT_EQ(omro_form_question(form.get(), 0, 70, &q), OMRO_OK);  // question 60: line 33, column 18
  EXPECT_EQ(q.first_line, 33);
  EXPECT_EQ(q.first_column, 18);
}

TEST(OfflineApiTest, MissingAndSpecialFilesAreRefused) {
  TempDir dir;
  omro_form* form = nullptr;
  EXPECT_EQ(omro_form_load((dir.Path() + "/missing.form").c_str(), &form), OMRO_ERR_FILE);
  EXPECT_NE(Message().find("cannot read form file"), std::string::npos) << Message();
  EXPECT_NE(Message().find("missing.form"), std::string::npos);
  EXPECT_EQ(omro_form_load(dir.Path().c_str(), &form), OMRO_ERR_FILE);
  EXPECT_NE(Message().find("not a regular file"), std::string::npos);
  EXPECT_EQ(omro_form_load("/dev/null", &form), OMRO_ERR_FILE);
  EXPECT_EQ(form, nullptr);
  const FormPtr exam = LoadExample("exam60.form");
  omro_sheet* sheet = nullptr;
  EXPECT_EQ(omro_decode_grid_file(exam.get(), dir.Path().c_str(), 0, &sheet), OMRO_ERR_FILE);
  unsigned char cells[16];
  int lines = 0, columns = 0;
  EXPECT_EQ(omro_grid_file_read("/dev/zero", &lines, &columns, cells, sizeof cells), OMRO_ERR_FILE);
}

// A grid file far larger than any grid is refused from its size, unread,
// with the same code as any other file that cannot be read.
TEST(OfflineApiTest, OversizedGridFileIsRefusedUnread) {
  TempDir dir;
  const std::string huge = dir.Track("huge.grid");
  {
    std::ofstream out(huge, std::ios::binary);
    out << "omr-grid 1\n";
  }
  ASSERT_EQ(truncate(huge.c_str(), 100L << 20), 0);  // sparse: one endless line of zero bytes
  const FormPtr exam = LoadExample("exam60.form");
  omro_sheet* sheet = nullptr;
  EXPECT_EQ(omro_decode_grid_file(exam.get(), huge.c_str(), 0, &sheet), OMRO_ERR_FILE);
  EXPECT_NE(Message().find("too large for a grid file"), std::string::npos) << Message();
  EXPECT_NE(Message().find("huge.grid"), std::string::npos) << Message();
  EXPECT_EQ(sheet, nullptr);
}

// Lines the driver skips as comments that look like commands are warnings
// of kind "comment", from a file as from a text, with the column at fault.
TEST(OfflineApiTest, CommentLikeLinesAreWarnings) {
  const std::string nulLine("\"D 02 AB\0CD/\"", 14);
  const std::string text =
      "\xEF\xBB\xBF\"T A 002 47/\"\n"
      "\"L 020 30 24/\"\n"
      " \"M 001 01 40/\"\n"
      "\"d 01 ABCD/\"\n"
      "\"D 01 ABCD/\"\n" +
      nulLine +
      "\n"
      "\"F   4   2U S  1   5R 0/\"\n"
      "\"F  10   2U S  1   5R 0\"\n";
  TempDir dir;
  const std::string path = dir.File("comments.form", text);
  omro_form* fromFile = nullptr;
  ASSERT_EQ(omro_form_load(path.c_str(), &fromFile), OMRO_OK) << Message();
  const FormPtr file(fromFile, omro_form_free);
  const FormPtr memory = LoadText(text);
  for (const omro_form* form : {file.get(), memory.get()}) {
    std::vector<omro_diagnostic> comments;
    for (int i = 0; i < omro_form_diagnostic_count(form); ++i) {
      omro_diagnostic d{};
      ASSERT_EQ(omro_form_diagnostic(form, i, &d), OMRO_OK);
      if (std::string(d.kind) == "comment") comments.push_back(d);
    }
    ASSERT_EQ(comments.size(), 5u);
    EXPECT_EQ(comments[0].line, 1);  // the byte-order mark
    EXPECT_NE(std::strstr(comments[0].message, "byte-order mark"), nullptr) << comments[0].message;
    EXPECT_EQ(comments[1].line, 3);  // the leading blank
    EXPECT_EQ(comments[1].column, 1);
    EXPECT_EQ(comments[2].line, 4);  // the lower-case letter, in the second column
    EXPECT_EQ(comments[2].column, 2);
    EXPECT_EQ(comments[3].line, 6);  // the NUL byte, counted from the opening quote as 1
    EXPECT_EQ(comments[3].column, static_cast<int>(nulLine.find('\0')) + 1);
    EXPECT_EQ(comments[4].line, 8);  // the missing "/"
    EXPECT_NE(std::strstr(comments[4].message, "closing \"/\""), nullptr) << comments[4].message;
    for (const omro_diagnostic& d : comments) {
      EXPECT_EQ(d.severity, OMRO_SEVERITY_WARNING);
      EXPECT_EQ(d.code, 0);
    }
  }
}

struct Rejection {
  const char* line;
  int code;
  int column;
  int severity;
  const char* says;
};

class RejectionTest : public ::testing::TestWithParam<Rejection> {};

TEST_P(RejectionTest, NamesLineColumnAndRemedy) {
  const Rejection& r = GetParam();
  const FormPtr form =
      LoadText("\"T A 002 47/\"\n\"D 01 ABCD/\"\n# the line:\n" + std::string(r.line) + "\n");
  ASSERT_GE(omro_form_diagnostic_count(form.get()), 1);
  omro_diagnostic d{};
  ASSERT_EQ(omro_form_diagnostic(form.get(), 0, &d), OMRO_OK);
  EXPECT_EQ(d.line, 4);
  EXPECT_EQ(d.code, r.code);
  EXPECT_EQ(d.column, r.column);
  EXPECT_EQ(d.severity, r.severity);
  EXPECT_STREQ(d.kind, "rejected");
  EXPECT_EQ(std::string(d.text), std::string(r.line).substr(0, 255));
  EXPECT_NE(std::string(d.message).find(r.says), std::string::npos) << d.message;
  EXPECT_EQ(omro_form_status(form.get()), r.severity == OMRO_SEVERITY_ERROR ? r.code : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RejectionTest,
    ::testing::Values(
        Rejection{"\"F  12   2  S  1   2R 0/\"", 25, 11, OMRO_SEVERITY_ERROR, "cell direction (column 11)"},
        Rejection{"\"F  12   2U X  1   2R 0/\"", 25, 13, OMRO_SEVERITY_ERROR, "field type"},
        Rejection{"\"F  12   2U S  1   2Q 0/\"", 25, 21, OMRO_SEVERITY_ERROR, "group direction"},
        Rejection{"\"F 256   2U S  1   2R 0/\"", 25, 3, OMRO_SEVERITY_ERROR, "after its cut to 8 bits"},
        Rejection{"\"G 03 00 02 05/\"", 6, 6, OMRO_SEVERITY_ERROR, "second threshold (G2)"},
        Rejection{"\"L 000 30 24/\"", 6, 3, OMRO_SEVERITY_ERROR, "line count (L1)"},
        Rejection{"\"M 001 1 40/\"", 26, 10, OMRO_SEVERITY_ERROR, "column 10 must hold a blank"},
        Rejection{"\"M 001 00 40/\"", 26, 7, OMRO_SEVERITY_ERROR, "first column"},
        Rejection{"\"D 01 ABC/\"", 23, 4, OMRO_SEVERITY_ERROR, "label id 1 is already defined"},
        Rejection{"\"D 2 ABC/\"", 6, 6, OMRO_SEVERITY_ERROR, "column 6 must hold a blank"},
        Rejection{"\"* 01 0.5 02/\"", 6, 11, OMRO_SEVERITY_ERROR, "column 11 must hold a blank"},
        Rejection{"\"T   003 47/\"", 6, 4, OMRO_SEVERITY_SKIPPED, "keeps no letter"},
        Rejection{"\"F  12   2U S  1   2R 0/                                                          "
                  "                                                                                    "
                  "                                                                                    "
                  "                                                                                    \"",
                  6, 256, OMRO_SEVERITY_ERROR, "longer than 255"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(OfflineApiTest, EveryRejectedLineIsReportedAndTheFormIsRefused) {
  const FormPtr form = LoadText(
      "\"T A 002 47/\"\n\"F  12   2  S  1   2R 0/\"\n\"G 03 00 02 05/\"\n\"D 01 AB/\"\n\"F   5   2U S  9   "
      "2R 0/\"\n");
  EXPECT_EQ(omro_form_status(form.get()), 25);
  std::vector<std::pair<int, std::string>> seen;
  for (int i = 0; i < omro_form_diagnostic_count(form.get()); ++i) {
    omro_diagnostic d{};
    ASSERT_EQ(omro_form_diagnostic(form.get(), i, &d), OMRO_OK);
    seen.emplace_back(d.line, d.kind);
  }
  // Both rejected lines, then the warning for label id 9.
  const std::vector<std::pair<int, std::string>> want = {{2, "rejected"}, {3, "rejected"}, {5, "label"}};
  EXPECT_EQ(seen, want);
  omro_sheet* sheet = nullptr;
  const std::vector<unsigned char> cells(20 * 48, 0);
  EXPECT_EQ(omro_decode_grid(form.get(), 20, 48, cells.data(), cells.size(), 0, &sheet), OMRO_ERR_FORM);
  EXPECT_NE(Message().find("error 25"), std::string::npos) << Message();
}

TEST(OfflineApiTest, HeadColumnsChangeOnlyTheHeadWarnings) {
  const FormPtr form = LoadExample("exam60.form");
  EXPECT_EQ(omro_form_diagnostic_count(form.get()), 0);
  ASSERT_EQ(omro_form_set_head_columns(form.get(), 40), OMRO_OK);
  ASSERT_EQ(omro_form_diagnostic_count(form.get()), 1);  // the identifying cell at column 47
  omro_diagnostic d{};
  ASSERT_EQ(omro_form_diagnostic(form.get(), 0, &d), OMRO_OK);
  EXPECT_STREQ(d.kind, "head");
  EXPECT_EQ(d.severity, OMRO_SEVERITY_WARNING);
  ASSERT_EQ(omro_form_set_head_columns(form.get(), 48), OMRO_OK);
  EXPECT_EQ(omro_form_diagnostic_count(form.get()), 0);
}

struct BadGrid {
  int lines;
  int columns;
  std::size_t count;
  unsigned char value;
  const char* says;
};

class BadGridTest : public ::testing::TestWithParam<BadGrid> {};

TEST_P(BadGridTest, IsRefused) {
  const BadGrid& b = GetParam();
  const FormPtr form = LoadExample("exam60.form");
  std::vector<unsigned char> cells(b.count, 0);
  if (!cells.empty()) cells.back() = b.value;
  omro_sheet* sheet = reinterpret_cast<omro_sheet*>(1);
  EXPECT_EQ(omro_decode_grid(form.get(), b.lines, b.columns, cells.data(), cells.size(), 0, &sheet),
            OMRO_ERR_GRID);
  EXPECT_EQ(sheet, nullptr);
  EXPECT_NE(Message().find(b.says), std::string::npos) << Message();
}

INSTANTIATE_TEST_SUITE_P(Grids, BadGridTest,
                         ::testing::Values(BadGrid{0, 48, 0, 0, "cannot come from a reader"},
                                           BadGrid{128, 48, 128 * 48, 0, "cannot come from a reader"},
                                           BadGrid{70, 47, 70 * 47, 0, "cannot come from a reader"},
                                           BadGrid{70, 256, 70 * 256, 0, "cannot come from a reader"},
                                           BadGrid{127, 50, 127 * 50, 0, "cannot come from a reader"},
                                           BadGrid{70, 48, 70 * 48 - 1, 0, "not 3359"},
                                           BadGrid{70, 48, 70 * 48, 16, "holds 16"}),
                         [](const auto& info) { return "Case" + std::to_string(info.index); });

struct BadFile {
  const char* text;
  const char* says;
};

class BadGridFileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(BadGridFileTest, NamesTheLine) {
  TempDir dir;
  const std::string path = dir.File("bad.grid", GetParam().text);
  const FormPtr form = LoadExample("exam60.form");
  omro_sheet* sheet = nullptr;
  EXPECT_EQ(omro_decode_grid_file(form.get(), path.c_str(), 0, &sheet), OMRO_ERR_GRID);
  EXPECT_NE(Message().find(path + ":" + GetParam().says), std::string::npos) << Message();
  unsigned char cells[64];
  int lines = 0, columns = 0;
  EXPECT_EQ(omro_grid_file_read(path.c_str(), &lines, &columns, cells, sizeof cells), OMRO_ERR_GRID);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadGridFileTest,
    ::testing::Values(BadFile{"", "0: missing the \"omr-grid 1\" line"},
                      BadFile{"omr-grid 2\n", "1: not an omr grid file"},
                      BadFile{"omr-grid 1\n2\n", "2: expected LINES COLUMNS"},
                      BadFile{"omr-grid 1\n2 4 x\n", "2: expected LINES COLUMNS"},
                      BadFile{"omr-grid 1\n2 4\n0000\n", "3: expected 2 rows"},
                      BadFile{"# c\nomr-grid 1\n2 4\n000\n0000\n", "4: a row needs 4 hexadecimal digits"},
                      BadFile{"omr-grid 1\n2 4\n0000\n00G0\n", "4: not a hexadecimal digit: G"},
                      BadFile{"omr-grid 1\n1 4\n0000\n0000\n", "4: more rows than LINES"}),
    [](const auto& info) { return "Case" + std::to_string(info.index); });

TEST(OfflineApiTest, SmallBuffersGetNothingHalf) {
  const FormPtr form = LoadExample("exam60.form");
  const std::vector<unsigned char> cells = ExamGrid();
  omro_sheet* raw = nullptr;
  ASSERT_EQ(omro_decode_grid(form.get(), 70, 48, cells.data(), cells.size(), 1, &raw), OMRO_OK);
  const SheetPtr sheet(raw, omro_sheet_free);
  // Mode 1: the letter and 70 characters.
  char text[80];
  std::memset(text, '#', sizeof text);
  size_t length = 0;
  EXPECT_EQ(omro_sheet_result(raw, text, 71, &length), OMRO_ERR_BUFFER);
  EXPECT_EQ(length, 72u);
  EXPECT_EQ(text[0], '#');
  EXPECT_EQ(omro_sheet_result(raw, text, 72, &length), OMRO_OK);
  EXPECT_EQ(length, 71u);
  EXPECT_EQ(std::string(text, 12), "A00000000..B");
  EXPECT_EQ(omro_sheet_result(raw, nullptr, 0, &length), OMRO_ERR_BUFFER);
  EXPECT_EQ(length, 72u);

  std::vector<unsigned char> grid(70 * 48 - 1, 0xEE);
  EXPECT_EQ(omro_sheet_grid(raw, grid.data(), grid.size()), OMRO_ERR_BUFFER);
  EXPECT_EQ(grid[0], 0xEE);
  grid.resize(70 * 48);
  EXPECT_EQ(omro_sheet_grid(raw, grid.data(), grid.size()), OMRO_OK);
  EXPECT_EQ(grid, cells);

  size_t size = 0;
  EXPECT_EQ(omro_sheet_png(raw, nullptr, 0, &size), OMRO_ERR_BUFFER);
  ASSERT_GT(size, 8u);
  std::vector<unsigned char> png(size - 1, 0);
  EXPECT_EQ(omro_sheet_png(raw, png.data(), png.size(), &size), OMRO_ERR_BUFFER);
  EXPECT_EQ(png[0], 0);
  png.resize(size);
  EXPECT_EQ(omro_sheet_png(raw, png.data(), png.size(), &size), OMRO_OK);
  EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0);
  // Width and height in the IHDR chunk: 26 + 12 x 48 by 12 x 70.
  auto be32 = [&png](std::size_t at) {
    return (png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
  };
  EXPECT_EQ(be32(16), 26 + 12 * 48);
  EXPECT_EQ(be32(20), 12 * 70);

  char small[4];
  EXPECT_EQ(omro_gbk_to_utf8("\xb2\xe2\xca\xd4", 4, small, sizeof small, &length), OMRO_ERR_BUFFER);
  EXPECT_EQ(length, 7u);  // two characters of three bytes each, and the zero
  char big[16];
  EXPECT_EQ(omro_gbk_to_utf8("\xb2\xe2\xca\xd4\x80", 5, big, sizeof big, &length), OMRO_OK);
  EXPECT_STREQ(big, "\xe6\xb5\x8b\xe8\xaf\x95\\x80");
}

TEST(OfflineApiTest, LastMessageIsCutAtACharacter) {
  // A message that names a file with a two-byte UTF-8 character in it.
  omro_form* form = nullptr;
  EXPECT_EQ(omro_form_load("/nonexistent/\xc3\xa9.form", &form), OMRO_ERR_FILE);
  char full[256];
  const int n = omro_last_message(full, sizeof full);
  const char* e = std::strstr(full, "\xc3\xa9");
  ASSERT_NE(e, nullptr);
  const std::size_t cut = static_cast<std::size_t>(e - full) + 2;  // room for the first byte only
  char part[256];
  EXPECT_EQ(omro_last_message(part, cut), static_cast<int>(cut) - 2);
  EXPECT_EQ(std::string(part), std::string(full, cut - 2));
  EXPECT_GT(n, static_cast<int>(cut));
}

TEST(OfflineApiTest, GridFilesRoundTripAndSheetsOutliveTheirForm) {
  TempDir dir;
  const std::vector<unsigned char> cells = ExamGrid();
  const std::string path = dir.Track("sheet.grid");
  ASSERT_EQ(omro_grid_file_write(path.c_str(), 70, 48, cells.data(), cells.size(), "line one\nnot two"),
            OMRO_OK);
  std::vector<unsigned char> back(OMRO_MAX_CELLS);
  int lines = 0, columns = 0;
  ASSERT_EQ(omro_grid_file_read(path.c_str(), &lines, &columns, back.data(), back.size()), OMRO_OK);
  EXPECT_EQ(lines, 70);
  EXPECT_EQ(columns, 48);
  back.resize(70 * 48);
  EXPECT_EQ(back, cells);
  EXPECT_EQ(omro_grid_file_read(path.c_str(), &lines, &columns, back.data(), 100), OMRO_ERR_BUFFER);
  EXPECT_EQ(omro_grid_file_write(path.c_str(), 70, 48, cells.data(), 10, nullptr), OMRO_ERR_GRID);

  omro_form* form = nullptr;
  ASSERT_EQ(omro_form_load(Examples("exam60.form").c_str(), &form), OMRO_OK);
  omro_sheet* raw = nullptr;
  ASSERT_EQ(omro_decode_grid_file(form, path.c_str(), 0, &raw), OMRO_OK);
  omro_form_free(form);
  const SheetPtr sheet(raw, omro_sheet_free);
  omro_sheet_info info{};
  ASSERT_EQ(omro_sheet_get_info(raw, &info), OMRO_OK);
  EXPECT_EQ(info.code, 0);
  EXPECT_EQ(info.layout, 0);
  EXPECT_EQ(info.questions, 70);
  const std::string png = dir.Track("sheet.png");
  EXPECT_EQ(omro_sheet_write_png(raw, png.c_str()), OMRO_OK);
  struct stat st {};
  EXPECT_EQ(stat(png.c_str(), &st), 0);
  EXPECT_EQ(
      st.st_mode & 0777, 0600 & ~[] {
        const mode_t mask = umask(0);
        umask(mask);
        return mask;
      }())
      << "a sheet's picture shows a student's answers: its owner's alone";
  EXPECT_EQ(omro_sheet_write_png(raw, (dir.Path() + "/no/such/dir.png").c_str()), OMRO_ERR_FILE);
}

TEST(OfflineApiTest, FailedReadsStillGiveTheSheet) {
  const FormPtr form = LoadExample("exam60.form");
  std::vector<unsigned char> cells = ExamGrid();
  cells[static_cast<std::size_t>(69 * 48)] = 0;  // line 1, column 1: the bar
  omro_sheet* raw = nullptr;
  ASSERT_EQ(omro_decode_grid(form.get(), 70, 48, cells.data(), cells.size(), 0, &raw), OMRO_OK);
  SheetPtr sheet(raw, omro_sheet_free);
  omro_sheet_info info{};
  omro_sheet_get_info(raw, &info);
  EXPECT_EQ(info.code, 5);
  EXPECT_EQ(info.letter, 0);
  EXPECT_EQ(info.questions, 70);  // the layout is known, its questions too
  size_t length = 99;
  char text[4];
  EXPECT_EQ(omro_sheet_result(raw, text, sizeof text, &length), OMRO_OK);
  EXPECT_EQ(length, 0u);
  std::vector<unsigned char> short60(60 * 48, 0);
  ASSERT_EQ(omro_decode_grid(form.get(), 60, 48, short60.data(), short60.size(), 0, &raw), OMRO_OK);
  sheet.reset(raw);
  omro_sheet_get_info(raw, &info);
  EXPECT_EQ(info.code, 7);
  EXPECT_EQ(info.layout, -1);
  EXPECT_EQ(info.questions, 0);
  EXPECT_EQ(info.confidence, 1.0);
}

TEST(OfflineApiTest, ThreadsShareAFormForDecoding) {
  const FormPtr form = LoadExample("exam60.form");
  const std::vector<unsigned char> cells = ExamGrid();
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < results.size(); ++t)
    threads.emplace_back([&, t] {
      for (int n = 0; n < 50; ++n) {
        omro_sheet* raw = nullptr;
        if (omro_decode_grid(form.get(), 70, 48, cells.data(), cells.size(), 1, &raw) != OMRO_OK) return;
        char text[80];
        size_t length = 0;
        omro_sheet_result(raw, text, sizeof text, &length);
        results[t] = std::string(text, length);
        omro_sheet_free(raw);
      }
    });
  for (std::thread& t : threads) t.join();
  for (const std::string& r : results) EXPECT_EQ(r, results[0]);
  EXPECT_EQ(results[0].substr(0, 12), "A00000000..B");
}

TEST(OfflineApiTest, NoSheetInTheDriver) {
  const FormPtr form = LoadExample("exam60.form");
  omro_sheet* raw = reinterpret_cast<omro_sheet*>(1);
  EXPECT_EQ(omro_decode_reader(form.get(), 0, &raw), OMRO_ERR_READER);
  EXPECT_EQ(raw, nullptr);
}

}  // namespace
