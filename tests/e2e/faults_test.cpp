// Reads that fail, and the library getting on with the next sheet: a double
// page reported by the reader, a missing bar, a sheet of an unknown length, a
// sheet whose layout is not identified, a damaged CRC, a line that hangs up
// in the middle of a frame or while a read waits for its status, a dripping
// data block and noise in a freshly opened line. Each case gets its own
// simulator with its own tray and faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace omr::e2e {
namespace {

// Exam sheets (the student number, class and 60 answers of exam60.form).
const char kExamSheet1[] = "A 2024020101ABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDEABCDE";
const char kExamSheet2[] = "A 2024020202EDCBAEDCBAEDCBAEDCBAEDCBAEDCBAEDCBAEDCBAEDCBAEDCBAEDCBAEDCBA";
const char kExamSheet3[] = "A 2024020303AABBCCDDEEAABBCCDDEEAABBCCDDEEAABBCCDDEEAABBCCDDEEAABBCCDDEE";

std::size_t Count(const std::string& text, const std::string& piece) {
  std::size_t n = 0;
  for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
  return n;
}

class SheetFaults : public LibraryTest {
 protected:
  // Starts omrsim on `form` with `sheets` as its answers file and `extra`
  // options, connects and loads the form.
  void Start(const std::string& form, const std::vector<std::string>& sheets,
             const std::vector<std::string>& extra = {}) {
    answers = TempPath("sheets.answers");
    std::string text;
    for (const std::string& s : sheets) text += s + "\n";
    ASSERT_TRUE(WriteTextFile(answers, text));
    std::vector<std::string> args{"--form", form, "--answers", answers, "--empty-status", "16"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string error;
    ASSERT_TRUE(sim.Start(args, error)) << error;
    ASSERT_EQ(sim.Expected().size(), sheets.size());
    ASSERT_NE(Connect(sim), 0);
    ASSERT_EQ(Omr().MR_LoadForm(form.c_str(), ""), 0) << "error " << Omr().MR_GetLastError();
  }
  void TearDown() override {
    Omr().MR_Close();
    if (HasFailure()) std::fprintf(stderr, "omrsim log:\n%s\n", sim.Log().c_str());
    EXPECT_TRUE(sim.Stop());
    if (!answers.empty()) std::remove(answers.c_str());
    LibraryTest::TearDown();
  }
  const ExpectedSheet& Sheet(std::size_t i) const { return sim.Expected().at(i); }

  Simulator sim;
  std::string answers;
};

TEST_F(SheetFaults, DoublePageIsReportedAndTheNextSheetReads) {
  Start(ExamplePath("exam60.form"), {kExamSheet1, std::string(kExamSheet2) + " status=3", kExamSheet3});
  ASSERT_EQ(Sheet(1).error, 3);
  ExpectRead(Sheet(0), ReadEntry::Read, "sheet 1");
  ExpectRead(Sheet(1), ReadEntry::Read, "double page");
  ExpectRead(Sheet(2), ReadEntry::Read, "sheet 3");
  // The double page sent no data: the reader was asked for the frames of
  // sheets 1 and 3 only.
  EXPECT_EQ(Count(sim.Log(), "host   FA 26"), 2u) << sim.Log();
}

TEST_F(SheetFaults, MissingBarGives5) {
  Start(ExamplePath("exam60.form"),
        {std::string(kExamSheet1) + " nobar", std::string(kExamSheet2) + " nobar=2", kExamSheet3});
  ASSERT_EQ(Sheet(0).error, 5);
  ASSERT_EQ(Sheet(1).error, 5);
  ExpectRead(Sheet(0), ReadEntry::Read, "bar 1 missing");
  ExpectRead(Sheet(1), ReadEntry::ReadWithLine, "bar 2 missing");
  ExpectRead(Sheet(2), ReadEntry::Read, "sheet with its bars");
}

TEST_F(SheetFaults, SheetOfAnUnknownLengthGives7) {
  Start(ExamplePath("exam60.form"), {std::string(kExamSheet1) + " lines=64", kExamSheet2});
  ASSERT_EQ(Sheet(0).error, 7);
  ExpectRead(Sheet(0), ReadEntry::Read, "64 lines");
  ExpectRead(Sheet(1), ReadEntry::Read, "70 lines");
}

TEST_F(SheetFaults, LayoutNotIdentifiedGives4) {
  // twolayout: a test sheet (B) without its identifying cell is not taken for
  // the selected layout A; a quiz sheet (A) without it is.
  Start(ExamplePath("twolayout.form"),
        {"B EBDCADAEEAEADCACBBBDDDADCAEBAEFFFF000000 noident", "A CDBCBADBABAAABCADDAA12345 noident",
         "B BACDADCEBBEAACABDEADACCBAEEBEDABCDEF1234"});
  ASSERT_EQ(Sheet(0).error, 4);
  ASSERT_EQ(Sheet(1).error, 0);
  ExpectRead(Sheet(0), ReadEntry::Read, "B without ident");
  ExpectRead(Sheet(1), ReadEntry::Read, "A without ident");
  ExpectRead(Sheet(2), ReadEntry::Read, "B");
}

TEST_F(SheetFaults, DamagedCrcGives20AndTheNextSheetReads) {
  Start(ExamplePath("exam60.form"), {kExamSheet1, kExamSheet2}, {"--fault", "26:crc"});
  EXPECT_EQ(Omr().MR_Read(), -1);
  EXPECT_EQ(Omr().MR_GetLastError(), 20);
  ExpectRead(Sheet(1), ReadEntry::Read, "sheet after the damaged one");
}

TEST_F(SheetFaults, HangUpMidFrameThenReconnect) {
  Start(ExamplePath("exam60.form"), {kExamSheet1, kExamSheet2, kExamSheet3}, {"--fault", "26:hangup"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Omr().MR_Read(), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Omr().MR_GetLastError(), 8);
  // A hung-up line ends the read at once instead of waiting out chunk time-outs.
  EXPECT_LT(took, std::chrono::milliseconds(1500));

  // The reader is back on a new pty behind the same link: connect again.
  ASSERT_TRUE(sim.WaitForLog("line hung up", 5000)) << sim.Log();
  ASSERT_NE(Omr().MR_Installed(0), 0);
  EXPECT_EQ(Omr().MR_GetLastError(), 0);
  ExpectRead(Sheet(1), ReadEntry::Read, "first sheet after reconnecting");
  // The form stayed on the host and on the reader.
  ExpectRead(Sheet(2), ReadEntry::ReadNoWait, "second sheet after reconnecting");
}

// Unplugged while the host waits for a read's status: to a reader of version
// 3.0 silence would mean an empty tray (16), but a line that hangs up is a
// reader gone (8), and at once.
TEST_F(SheetFaults, HangUpWhileWaitingForTheStatusGives8) {
  Start(ExamplePath("exam60.form"), {kExamSheet1, kExamSheet2}, {"--fault", "24:hangup=0"});
  char version[16] = {};
  ASSERT_EQ(Omr().MR_SysCmd(23, version), 1);
  ASSERT_STREQ(version, "3.0");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Omr().MR_Read(), -1);
  EXPECT_EQ(Omr().MR_GetLastError(), 8);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));  // not the 8 s sheet wait
}

// A reader that drips its data block a byte at a time is given up within a
// few seconds instead of holding the read for minutes.
TEST_F(SheetFaults, DrippingDataBlockGives8WithinSeconds) {
  Start(ExamplePath("exam60.form"), {kExamSheet1, kExamSheet2}, {"--fault", "26:drip=100"});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Omr().MR_Read(), -1);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(Omr().MR_GetLastError(), 8);
  EXPECT_LT(took, std::chrono::seconds(8));
}

// Power-on noise waiting in the line when it is opened: the reader is still
// found (Start connects) and reads.
TEST_F(SheetFaults, StaleBytesInTheLineDoNotHideTheReader) {
  Start(ExamplePath("exam60.form"), {kExamSheet1}, {"--stale", "00FB"});
  ExpectRead(Sheet(0), ReadEntry::Read, "first sheet");
}

}  // namespace
}  // namespace omr::e2e
