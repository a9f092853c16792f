// The one CSV escaper: quoting, and formulas neutralised in text but not in
// the program's own numbers.
#include "escape.h"

#include <gtest/gtest.h>

namespace omr::common {
namespace {

TEST(Csv, TextThatASpreadsheetWouldRunIsNeutralised) {
  struct Case {
    std::string text;
    std::string written;
  };
  const std::vector<Case> cases = {
      {"=1+1", "'=1+1"},
      {"+31 6 1234", "'+31 6 1234"},
      {"-2+3", "'-2+3"},
      {"@SUM(A1:A9)", "'@SUM(A1:A9)"},
      {"\t=cmd", "'\t=cmd"},
      {"\r=cmd", "\"'\r=cmd\""},
      {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
      {"=a,b", "\"'=a,b\""},
      {"-", "-"},  // one character is no formula (a reader's code for a blank)
      {"=", "="},
      {"a=1", "a=1"},
      {" =1", "\" =1\""},
      {"'=1", "'=1"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CsvField(c.text), c.written) << c.text;
}

TEST(Csv, TheProgramsNumbersStayNumbers) {
  EXPECT_EQ(CsvLine({"-1.5", CsvNumber("-1.5"), CsvNumber("12"), "+4", "plain"}), "'-1.5,-1.5,12,'+4,plain");
}

}  // namespace
}  // namespace omr::common
