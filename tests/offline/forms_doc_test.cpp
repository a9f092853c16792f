// docs/forms.md cannot drift from the code: every worked form in it is the
// file under examples/ it names and loads without a diagnostic, and every
// mistake in it gives the diagnostic the page quotes.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "omr.h"
#include "omr_offline.h"

namespace {

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct Block {
  std::string tag;   // the HTML comment before the block: "file: PATH", "mistake", "diagnostic"
  std::string text;  // its lines, each with its line feed
};

// The fenced blocks that follow a "<!-- TAG -->" line (blank lines and text
// between them allowed).
std::vector<Block> TaggedBlocks(const std::string& markdown) {
  std::vector<Block> blocks;
  std::istringstream in(markdown);
  std::string line, tag;
  bool inside = false;
  Block current;
  while (std::getline(in, line)) {
    if (inside) {
      if (line == "```") {
        blocks.push_back(current);
        inside = false;
      } else {
        current.text += line + "\n";
      }
    } else if (line.rfind("<!-- ", 0) == 0 && line.size() > 9 &&
               line.compare(line.size() - 4, 4, " -->") == 0) {
      tag = line.substr(5, line.size() - 9);
    } else if (line.rfind("```", 0) == 0) {
      inside = true;
      current = Block{tag, ""};
      tag.clear();
    }
  }
  return blocks;
}

using FormPtr = std::unique_ptr<omro_form, decltype(&omro_form_free)>;

std::vector<std::string> Diagnostics(const omro_form* form) {
  std::vector<std::string> out;
  for (int i = 0; i < omro_form_diagnostic_count(form); ++i) {
    omro_diagnostic d{};
    if (omro_form_diagnostic(form, i, &d) != OMRO_OK) continue;
    std::string where = "line " + std::to_string(d.line);
    if (d.column > 0) where += ", column " + std::to_string(d.column);
    out.push_back(where + ": " + d.message);
  }
  return out;
}

class FormsDocTest : public ::testing::Test {
 protected:
  const std::string root = OMR_SOURCE_DIR;
  const std::vector<Block> blocks = TaggedBlocks(Read(root + "/docs/forms.md"));
};

TEST_F(FormsDocTest, WorkedFormsAreTheExampleFilesAndLoadCleanly) {
  int forms = 0;
  for (const Block& b : blocks) {
    if (b.tag.rfind("file: ", 0) != 0) continue;
    ++forms;
    const std::string path = root + "/" + b.tag.substr(6);
    EXPECT_EQ(b.text, Read(path)) << path << " differs from its copy in docs/forms.md";
    omro_form* raw = nullptr;
    ASSERT_EQ(omro_form_load(path.c_str(), &raw), OMRO_OK) << path;
    const FormPtr form(raw, omro_form_free);
    EXPECT_EQ(omro_form_status(raw), 0) << path;
    EXPECT_EQ(Diagnostics(raw), std::vector<std::string>{}) << path;
    EXPECT_GE(omro_form_layout_count(raw), 1) << path;
  }
  EXPECT_EQ(forms, 3);  // the exam, the survey and the two-layout form
}

TEST_F(FormsDocTest, EveryMistakeSaysWhatThePageQuotes) {
  int mistakes = 0;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (blocks[i].tag != "mistake") continue;
    ++mistakes;
    ASSERT_LT(i + 1, blocks.size());
    ASSERT_EQ(blocks[i + 1].tag, "diagnostic") << "a mistake without its diagnostic:\n" << blocks[i].text;
    omro_form* raw = nullptr;
    ASSERT_EQ(omro_form_load_text(blocks[i].text.data(), blocks[i].text.size(), &raw), OMRO_OK);
    const FormPtr form(raw, omro_form_free);
    const std::vector<std::string> said = Diagnostics(raw);
    std::istringstream quoted(blocks[i + 1].text);
    for (std::string line; std::getline(quoted, line);) {
      bool found = false;
      for (const std::string& d : said) found = found || d == line;
      EXPECT_TRUE(found) << "docs/forms.md quotes\n  " << line << "\nfor\n"
                         << blocks[i].text << "but check says:\n  " << ::testing::PrintToString(said);
    }
  }
  EXPECT_GE(mistakes, 8);
}

// docs/errors.md has a row for exactly the codes that have a text, with
// the library's own English text.
TEST(ErrorsDocTest, EveryCodeWithATextHasItsRow) {
  const std::string page = Read(std::string(OMR_SOURCE_DIR) + "/docs/errors.md");
  int rows = 0;
  for (int code = -5; code <= 100; ++code) {
    char text[64] = {};
    const bool known = MR_GetErrMsgEn(code, text) >= 0;
    const std::string row = "| " + std::to_string(code) + " | " + text + " |";
    EXPECT_EQ(page.find(row) != std::string::npos, known) << row;
    rows += known ? 1 : 0;
  }
  EXPECT_EQ(rows, 27);
}

}  // namespace
