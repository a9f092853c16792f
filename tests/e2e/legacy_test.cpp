// An exam session driven only through the legacy text commands OmrS, OmrG and
// OmrVer: connect on demand, load the form file, read every sheet and fetch its
// result in pieces, stop the motor, clear, and load the form again line by line.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "e2e_fixture.h"

namespace omr::e2e {
namespace {

class Legacy : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!Omr().Load(startError_)) return;
    sim_ = new Simulator;
    started_ = sim_->Start({"--form", ExamplePath("exam60.form"), "--answers", ExamplePath("exam60.answers"),
                            "--empty-status", "16"},
                           startError_);
  }
  static void TearDownTestSuite() {
    if (!Omr().Unload()) std::fprintf(stderr, "the library stayed loaded\n");
    delete sim_;
    sim_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(started_) << startError_;
    // The legacy calls connect by themselves, through the same candidate list.
    setenv("OMR_SERIAL_PORTS", sim_->Link().c_str(), 1);
  }
  void TearDown() override {
    Omr().CloseCom();
    if (HasFailure()) std::fprintf(stderr, "omrsim log:\n%s\n", sim_->Log().c_str());
  }

  // OmrS on a writable copy of `command`, in a buffer of `size` bytes; the
  // command text as OmrS left it goes to `after`.
  static int S(const std::string& command, std::string* after = nullptr, std::size_t size = 300) {
    std::vector<char> text(std::max(size, command.size() + 1), 0);
    std::memcpy(text.data(), command.c_str(), command.size() + 1);
    const int result = Omr().OmrS(text.data());
    if (after) *after = text.data();
    return result;
  }
  // OmrG into a buffer of 'Z's: what it copied (it adds no zero byte).
  static std::string G() {
    char out[2100];
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(Omr().OmrG(out), 0);
    return std::string(out, static_cast<std::size_t>(std::find(out, out + sizeof out, 'Z') - out));
  }
  // Fetches `count` characters from position n (1 is the form letter).
  static std::string Fetch(int n, int count) {
    char number[8];
    std::snprintf(number, sizeof number, "%03d", n);
    const int length = S(std::string(number) + std::string(static_cast<std::size_t>(count - 1), ' '));
    const std::string piece = G();
    EXPECT_EQ(length, static_cast<int>(piece.size())) << "fetch " << n;
    return piece;
  }

  static Simulator* sim_;
  static bool started_;
  static std::string startError_;
};

Simulator* Legacy::sim_ = nullptr;
bool Legacy::started_ = false;
std::string Legacy::startError_;

// The FormLines of a form file without their quotes.
std::vector<std::string> UnquotedLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line))
    if (line.size() > 2 && line.front() == '"' && line.back() == '"')
      lines.push_back(line.substr(1, line.size() - 2));
  return lines;
}

TEST_F(Legacy, WholeExamSession) {
  const std::vector<ExpectedSheet>& sheets = sim_->Expected();
  ASSERT_GE(sheets.size(), 6u);

  // The first command connects on demand.
  EXPECT_EQ(S(""), 0);
  EXPECT_EQ(G(), "OK");
  EXPECT_EQ(G(), "") << "a second OmrG copies nothing";

  char version[40];
  std::memset(version, 0x5A, sizeof version);
  EXPECT_EQ(Omr().OmrVer(version), 0);
  EXPECT_STREQ(version, "SIM00001");

  std::string after;
  EXPECT_EQ(S("S " + ExamplePath("exam60.form") + "/", &after), 0);
  EXPECT_EQ(after, "OK");
  EXPECT_EQ(G(), "OK");

  // Half the tray with the form from the file, the rest with the form given
  // line by line after a clear.
  const std::size_t half = sheets.size() / 2;
  auto readSheets = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      const ExpectedSheet& want = sheets[i];
      const std::string where = "sheet " + std::to_string(i + 1);
      const int result = S(i % 2 ? "R/" : "/", &after);
      if (want.error != 0) {
        char code[8];
        std::snprintf(code, sizeof code, "%02d", want.error);
        EXPECT_EQ(result, -1) << where;
        EXPECT_EQ(after, code) << where;
        EXPECT_EQ(G(), code) << where;
        continue;
      }
      ASSERT_EQ(result, 0) << where;
      EXPECT_EQ(after, "OK") << where;
      EXPECT_EQ(G(), "OK") << where;
      const int questions = static_cast<int>(want.text.size());
      EXPECT_EQ(Fetch(1, 1), std::string(1, want.letter)) << where;
      EXPECT_EQ(Printable(Fetch(2, questions)), Printable(want.text)) << where;
      EXPECT_EQ(Printable(Fetch(11, 5)), Printable(want.text.substr(9, 5))) << where;
      // A piece reaching past the end stops at the end.
      EXPECT_EQ(Printable(Fetch(questions - 2, 10)),
                Printable(want.text.substr(static_cast<std::size_t>(questions - 4))))
          << where;
      EXPECT_EQ(Fetch(questions + 5, 3), "") << where;
    }
  };
  readSheets(0, half);

  // "-/" stops the motor and leaves the reply of the last command alone.
  EXPECT_EQ(S("/"), sheets[half].error ? -1 : 0);
  EXPECT_EQ(S("-/"), 0);
  char code[8];
  std::snprintf(code, sizeof code, "%02d", sheets[half].error);
  EXPECT_EQ(G(), sheets[half].error ? std::string(code) : std::string("OK"));

  // "B/" clears the reader and the form: a read then has no format (01) and
  // takes no sheet.
  EXPECT_EQ(S("B/"), 0);
  EXPECT_EQ(G(), "");
  EXPECT_EQ(S("/", &after), -1);
  EXPECT_EQ(after, "01");

  for (const std::string& line : UnquotedLines(ExamplePath("exam60.form"))) EXPECT_EQ(S(line), 0) << line;
  readSheets(half + 1, sheets.size());

  // The tray is empty now.
  EXPECT_EQ(S("/", &after), -1);
  EXPECT_EQ(after, "16");

  std::memset(version, 0x5A, sizeof version);
  EXPECT_EQ(Omr().OmrVer(version), 0);
  EXPECT_STREQ(version, "SIM00001");
}

TEST_F(Legacy, ReconnectsOnDemandAfterCloseCom) {
  EXPECT_EQ(S(""), 0);
  EXPECT_EQ(G(), "OK");
  EXPECT_EQ(Omr().CloseCom(), 1);
  // Closed: the next legacy call finds the reader again.
  char version[40] = {};
  EXPECT_EQ(Omr().OmrVer(version), 0);
  EXPECT_STREQ(version, "SIM00001");
  EXPECT_EQ(S(""), 0);
  EXPECT_EQ(G(), "OK");
}

TEST_F(Legacy, FormFileThatDoesNotLoadAnswers01) {
  // A form whose second line is rejected (an F line with a blank cell direction).
  const std::string form = TempPath("broken.form");
  ASSERT_TRUE(WriteTextFile(form, "\"T A 002 47/\"\n\"F   4   2  B  2   8R 0/\"\n"));
  std::string after;
  EXPECT_EQ(S("S " + form + "   ", &after), -1);
  EXPECT_EQ(after, "01");
  EXPECT_EQ(G(), "01");
  std::remove(form.c_str());
}

TEST_F(Legacy, NoReaderAnswers08) {
  setenv("OMR_SERIAL_PORTS", "/nonexistent/omr-e2e", 1);
  EXPECT_EQ(S(""), -1);
  char out[8] = {};
  EXPECT_EQ(Omr().OmrVer(out), -1);
  EXPECT_EQ(Omr().OmrG(out), -1);
}

}  // namespace
}  // namespace omr::e2e
