#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "api/driver_context.h"
#include "form/form_line.h"
#include "form/form_loader.h"
#include "scripted_port.h"

namespace omr::test {
namespace {

namespace fs = std::filesystem;

// A directory of its own under the system's temporary directory.
class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("omr_form_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  std::string Write(const std::string& name, const std::string& content) const {
    const fs::path file = path_ / name;
    std::ofstream out(file, std::ios::binary);
    out << content;
    return file.string();
  }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

const Bytes kAck21 = {0xFB, 0x21, 0x01, 0x00};

// A reader that answers the settings command, acknowledges the block and the clear command.
void GoodReader(ScriptedPort& port) {
  port.Respond([](ScriptedPort& p, const Bytes& w) {
    if (w.size() < 2) return;
    if (w[1] == 0x06) p.Queue({0xFB, 0x06});
    if (w[1] == 0x21) p.Queue(kAck21);
    if (w[1] == 0x23) p.Queue({0xFB, 0x23});
  });
}

Bytes SettingsCommand(std::uint8_t levelByte, std::uint8_t second, std::uint8_t third) {
  return {0xFA, 0x06, levelByte, second, third};
}

// ---- DownloadForm -------------------------------------------------------------------

class DownloadTest : public ::testing::Test {
 protected:
  ScriptedPort port;
  CPort* active = &port;
  std::int32_t lastError = 5;
  Link link{active, lastError};
  std::unique_ptr<FormDefinition> forms = std::make_unique<FormDefinition>();
  ReaderSettings settings;

  Bytes Block() const {
    return Bytes(forms->parameterBlock, forms->parameterBlock + kFormParameterBlockSize);
  }
};

struct LevelCase {
  std::uint8_t level;
  std::uint8_t levelByte;
};

class DownloadLevelTest : public DownloadTest, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(DownloadLevelTest, SendsSettingsThenTheBlock) {
  settings = {GetParam().level, 150, 200};
  ASSERT_TRUE(forms->AddLine('H', kFaceA, "\"H 4660/\""));
  port.On(SettingsCommand(GetParam().levelByte, 150, 200), {0xFB, 0x06}).On(Block(), kAck21);
  EXPECT_TRUE(DownloadForm(*forms, settings, link));
  EXPECT_EQ(lastError, 0);
  EXPECT_TRUE(port.ScriptUsedUp());
  EXPECT_TRUE(port.Mismatches().empty()) << port.Mismatches()[0];
  EXPECT_EQ(port.Purges(), 2);
  ASSERT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(port.Reads()[0].count, 2);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 333);
  EXPECT_EQ(port.Reads()[1].count, 4);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 333);
}

INSTANTIATE_TEST_SUITE_P(FormDownload, DownloadLevelTest,
                         ::testing::Values(LevelCase{16, 0}, LevelCase{8, 112}, LevelCase{1, 210},
                                           LevelCase{0, 225},
                                           LevelCase{40, 0}));  // out of range: treated as 16

TEST_F(DownloadTest, SilentSettingsAnswerIsNoError) {
  port.On(SettingsCommand(0, 255, 255)).On(Block(), kAck21);
  EXPECT_TRUE(DownloadForm(*forms, settings, link));
  EXPECT_EQ(lastError, 0);
}

struct BadAckCase {
  const char* name;
  int writeLimit;
  Bytes ack;
  int writes;  // how many writes reach the port
};

class DownloadFailureTest : public DownloadTest, public ::testing::WithParamInterface<BadAckCase> {};

TEST_P(DownloadFailureTest, FailsWithCode8) {
  const BadAckCase& c = GetParam();
  if (c.writeLimit >= 0) port.LimitWrites(c.writeLimit);
  port.On(SettingsCommand(0, 255, 255), {0xFB, 0x06}).On(Block(), c.ack);
  EXPECT_FALSE(DownloadForm(*forms, settings, link));
  EXPECT_EQ(lastError, 8);
  EXPECT_EQ(static_cast<int>(port.Writes().size()), c.writes);
}

INSTANTIATE_TEST_SUITE_P(FormDownload, DownloadFailureTest,
                         ::testing::Values(BadAckCase{"StatusZero", -1, {0xFB, 0x21, 0x00, 0x00}, 2},
                                           BadAckCase{"ThreeBytes", -1, {0xFB, 0x21, 0x01}, 2},
                                           BadAckCase{"WrongCode", -1, {0xFB, 0x22, 0x01, 0x00}, 2},
                                           BadAckCase{"NoAnswer", -1, {}, 2},
                                           BadAckCase{"StatusTwo", -1, {0xFB, 0x21, 0x02, 0x00}, 2},
                                           BadAckCase{"SettingsWriteShort", 4, kAck21, 1},
                                           BadAckCase{"BlockWriteShort", 5, kAck21, 2}),
                         [](const auto& info) { return info.param.name; });

TEST_F(DownloadTest, WithoutAPortFailsWith8AndTouchesNothing) {
  active = nullptr;
  EXPECT_FALSE(DownloadForm(*forms, settings, link));
  EXPECT_EQ(lastError, 8);
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(port.Purges(), 0);
  EXPECT_TRUE(port.Reads().empty());
}

// ---- Loading through the driver context ----------------------------------------------------

class FormLoadingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GoodReader(port);
    ctx->activePort = &port;
  }
  void TearDown() override { ctx->activePort = nullptr; }

  SheetLayout& L(int i) { return ctx->forms.Layout(kFaceA, i); }
  // The FormParameterBlocks the port received, in order.
  std::vector<Bytes> Blocks() const {
    std::vector<Bytes> blocks;
    for (const Bytes& w : port.Writes())
      if (w.size() == kFormParameterBlockSize && w[1] == 0x21) blocks.push_back(w);
    return blocks;
  }
  int Load(const std::string& content, const char* second = "") {
    return ctx->LoadForm(dir.Write("form" + std::to_string(files++) + ".txt", content).c_str(), second);
  }

  TempDir dir;
  int files = 0;
  ScriptedPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
};

const char* const kTwoLayouts =
    "\"T A 005 06/\"\n"
    "\"L 070 30 24/\"\n"
    "\"D 01 ABCD/\"\n"
    "\"M 001 02 03/\"\n"
    "\"T B 007 08/\"\n"
    "\"L 060 20 10/\"\n";

TEST_F(FormLoadingTest, LoadableFileAnswersZeroAndSendsTheForm) {
  ctx->lastError = 7;
  EXPECT_EQ(Load(kTwoLayouts), 0);
  EXPECT_EQ(ctx->lastError, 0);
  ASSERT_EQ(Blocks().size(), 1u);
  EXPECT_EQ(Blocks()[0][9], 70);
  EXPECT_EQ(Blocks()[0][10], 30);
  EXPECT_EQ(Blocks()[0][11], 17);
  EXPECT_EQ(port.Writes()[0], SettingsCommand(0, 255, 255));
  // Completion: layout 1 inherits the labels and bars of layout 0.
  EXPECT_STREQ(L(1).LabelText(1), "ABCD");
  EXPECT_EQ(L(1).bars.records[0].line, 1);
  EXPECT_EQ(ctx->forms.selected[kFaceA], &L(0));
}

TEST_F(FormLoadingTest, SecondTextGivesMinus100AfterLoading) {
  EXPECT_EQ(Load(kTwoLayouts, "other.txt"), -100);
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(L(1).ident.letter, 'B');
  EXPECT_EQ(Blocks().size(), 1u);
}

TEST_F(FormLoadingTest, SilentReaderGivesMinusOneAnd8) {
  port.Respond(nullptr);
  EXPECT_EQ(Load(kTwoLayouts, "x"), -1);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(L(1).ident.letter, 'B');  // the form stays stored
}

TEST_F(FormLoadingTest, NoReaderGivesMinusOneAnd8) {
  ctx->activePort = nullptr;
  EXPECT_EQ(Load(kTwoLayouts), -1);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_TRUE(port.Writes().empty());
}

TEST_F(FormLoadingTest, FileThatCannotBeOpenedStoresAndSendsNothing) {
  const std::string unreadable = dir.Write("secret.txt", kTwoLayouts);
  ::chmod(unreadable.c_str(), 0);
  const bool canStillRead = std::ifstream(unreadable).is_open();  // e.g. when run as root
  std::vector<std::string> names = {dir.Path("missing.txt"), dir.Path(""), ""};
  if (!canStillRead) names.push_back(unreadable);
  for (const std::string& name : names) {
    for (const char* second : {"", "x"}) {
      ctx->lastError = 0;
      EXPECT_EQ(ctx->LoadForm(name.c_str(), second), -1) << name;
      EXPECT_EQ(ctx->lastError, kErrFormFileOpen) << name;
    }
  }
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(port.Purges(), 0);
  EXPECT_EQ(ctx->forms.errorCode, 0);
  EXPECT_EQ(ctx->forms.CountDefinedLayouts(), 0);
}

TEST_F(FormLoadingTest, NullNameTouchesNothing) {
  ctx->lastError = 3;
  EXPECT_EQ(ctx->LoadForm(nullptr, ""), -1);
  EXPECT_EQ(ctx->lastError, 3);
  EXPECT_TRUE(port.Writes().empty());
}

TEST_F(FormLoadingTest, EmptyFileLoadsTheDefaultLayout) {
  EXPECT_EQ(Load(""), 0);
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(L(0).ident.letter, 'A');
  EXPECT_EQ(L(0).defined, 1);
  ASSERT_EQ(Blocks().size(), 1u);
  EXPECT_EQ(Blocks()[0][9], 0);
  EXPECT_EQ(Blocks()[0][10], 0);
  EXPECT_EQ(Blocks()[0][11], 0);
  // Selection ran before completion, when nothing was defined yet.
  EXPECT_EQ(ctx->forms.selected[kFaceA], nullptr);
}

TEST_F(FormLoadingTest, FileWithoutTLineGetsLetterA) {
  EXPECT_EQ(Load("\"L 070 30 24/\"\n\"D 01 AB/\""), 0);  // last line without a line feed
  EXPECT_EQ(L(0).ident.letter, 'A');
  EXPECT_STREQ(L(0).LabelText(1), "AB");
  ASSERT_EQ(Blocks().size(), 1u);
  EXPECT_EQ(Blocks()[0][9], 70);
}

TEST_F(FormLoadingTest, NonCommandLinesAreSkipped) {
  EXPECT_EQ(Load("; comment \"L 010 10 10/\"\n"
                 "\n"
                 " \"L 020 20 20/\"\n"
                 "\"B 030 30 30/\"\n"
                 "\"l 040 40 40/\"\n"
                 "\"L 050 50 50\"\n"
                 "\"L/\n"
                 "\"L 060 20 10/\"\n"),
            0);
  EXPECT_EQ(L(0).length.l1, 60);
  EXPECT_EQ(ctx->lastError, 0);
}

TEST_F(FormLoadingTest, CarriageReturnBeforeLineFeedIsNotPartOfTheLine) {
  // 23 characters without the carriage return: the gap at column 22 is not read.
  EXPECT_EQ(Load("\"L 070 30 24/\"\r\n\"F   5  12U/S  1   4R 7\r\n\"D 01 AB/\r\n"), 0);
  EXPECT_EQ(L(0).fields.records[0].gap, 0);
  EXPECT_EQ(L(0).fields.records[0].line, 5);
  EXPECT_STREQ(L(0).LabelText(1), "AB");
}

TEST_F(FormLoadingTest, VLineSetsTheReaderSettings) {
  EXPECT_EQ(Load("\"V 08 150 200/\"\n\"L 070 30 24/\"\n"), 0);
  EXPECT_EQ(ctx->readerSettings.level, 8);
  EXPECT_EQ(ctx->readerSettings.second, 150);
  EXPECT_EQ(ctx->readerSettings.third, 200);
  EXPECT_EQ(port.Writes()[0], SettingsCommand(112, 150, 200));
}

const std::string kLongLabel = "\"D 02 " + std::string(64, 'x') + "/\"";

struct StopCase {
  const char* name;
  const char* badLine;
  int code;
};

class LoadStopTest : public FormLoadingTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(LoadStopTest, StopsAtTheRejectedLineAndKeepsWhatCameBefore) {
  const StopCase& c = GetParam();
  EXPECT_EQ(Load(std::string("\"D 01 AB/\"\n\"L 070 30 24/\"\n") + c.badLine + "\n\"H 77/\"\n"), -1);
  EXPECT_EQ(ctx->lastError, c.code);
  EXPECT_EQ(ctx->forms.errorCode, c.code);
  EXPECT_STREQ(L(0).LabelText(1), "AB");
  EXPECT_EQ(L(0).length.l1, 70);
  EXPECT_EQ(L(0).hValue, 0xFFFF);     // the line after the stop was not read
  EXPECT_EQ(L(0).ident.letter, ' ');  // nothing completed
  EXPECT_TRUE(port.Writes().empty());
}

INSTANTIATE_TEST_SUITE_P(FormLoading, LoadStopTest,
                         ::testing::Values(StopCase{"BlankCellDirection", "\"F   5  12  S  1   4R 0/\"", 25},
                                           StopCase{"RedefinedD", "\"D 01 CD/\"", 23},
                                           StopCase{"InvalidM", "\"M 01 02 03/\"", 26},
                                           StopCase{"InvalidG", "\"G 00 02 02 05/\"", 6},
                                           StopCase{"LongLabelText", kLongLabel.c_str(), 6}),
                         [](const auto& info) { return info.param.name; });

TEST_F(FormLoadingTest, BlankTAndELinesNeverStopALoad) {
  EXPECT_EQ(Load("\"T A 001 01/\"\n\"T   002 02/\"\n\"E B/\"\n\"T B 003 03/\"\n\"L 070 30 24/\"\n"), 0);
  EXPECT_EQ(L(1).ident.letter, 'B');
  EXPECT_EQ(L(1).length.l1, 70);
  EXPECT_EQ(ctx->forms.selected[kFaceA], &L(1));
}

TEST_F(FormLoadingTest, RejectedCodeStaysPendingForTheNextLoad) {
  EXPECT_EQ(Load("\"F   5  12  S  1   4R 0/\"\n"), -1);
  EXPECT_EQ(Load("\"L 070 30 24/\"\n\"D 01 AB/\"\n"), -1);
  EXPECT_EQ(ctx->lastError, 25);
  EXPECT_EQ(L(0).length.l1, 70);        // the first command line was stored
  EXPECT_STREQ(L(0).LabelText(1), "");  // the second was not read
  EXPECT_TRUE(Blocks().empty());

  // A rejected MR_AddFormLine leaves its code pending as well.
  ctx->Clear();
  EXPECT_EQ(ctx->forms.errorCode, 0);
  EXPECT_FALSE(ctx->AddFormLine("\"M 01 02 03/\""));
  EXPECT_EQ(Load("\"L 070 30 24/\"\n\"D 01 AB/\"\n"), -1);
  EXPECT_EQ(ctx->lastError, 26);

  // A successful MR_AddFormLine clears it.
  EXPECT_TRUE(ctx->AddFormLine("\"T A 001 01/\""));
  EXPECT_EQ(Load("\"D 02 CD/\"\n\"L 060 20 10/\"\n"), 0);
  EXPECT_STREQ(L(0).LabelText(2), "CD");
}

TEST_F(FormLoadingTest, SecondLoadContinuesTheLayoutIndex) {
  ASSERT_EQ(Load(kTwoLayouts), 0);
  ASSERT_EQ(ctx->forms.currentIndex, 1);
  EXPECT_EQ(Load("\"D 05 X/\"\n\"T C 001 01/\"\n\"L 050 20 10/\"\n"), 0);
  EXPECT_STREQ(L(1).LabelText(5), "X");  // before the file's first T line: the last layout
  EXPECT_EQ(L(2).ident.letter, 'C');
  EXPECT_EQ(ctx->forms.currentIndex, 2);
  // Layout 2 inherited label 1: before any T line the same id stops a third load.
  EXPECT_STREQ(L(2).LabelText(1), "ABCD");
  EXPECT_EQ(Load("\"D 01 again/\"\n\"T D 001 01/\"\n"), -1);
  EXPECT_EQ(ctx->lastError, 23);
}

TEST_F(FormLoadingTest, TwentySeventhLayoutAcrossLoadsGivesCode2) {
  std::string first;
  for (int i = 0; i < 20; ++i) first += std::string("\"T ") + static_cast<char>('A' + i) + " 001 01/\"\n";
  ASSERT_EQ(Load(first), 0);
  std::string second;
  for (int i = 20; i < 27; ++i) second += std::string("\"T ") + static_cast<char>('A' + i) + " 001 01/\"\n";
  EXPECT_EQ(Load(second), -1);
  EXPECT_EQ(ctx->lastError, 2);
  EXPECT_EQ(ctx->forms.currentIndex, 25);
  EXPECT_EQ(L(25).ident.letter, 'Z');
}

TEST_F(FormLoadingTest, OverlongLinesAreBoundedAndRejected) {
  // A long comment is skipped, however long.
  EXPECT_EQ(Load(std::string(1 << 20, 'x') + "/\n\"L 070 30 24/\"\n"), 0);
  // Exactly 255 characters is still a line; 256 is rejected with 6.
  EXPECT_EQ(Load("\"H 1/" + std::string(250, ' ') + "\n"), 0);
  EXPECT_EQ(Load("\"H 1/" + std::string(251, ' ') + "\n"), -1);
  EXPECT_EQ(ctx->lastError, 6);
  ctx->Clear();
  // Its "/" far beyond the kept part still makes a long D line a command.
  EXPECT_EQ(Load("\"D 01 " + std::string(400, 'Q') + "/\"\n"), -1);
  EXPECT_EQ(ctx->lastError, 6);
  ctx->Clear();
  // A long V line too; the settings stay as they were.
  EXPECT_EQ(Load("\"V 08 150 200/" + std::string(300, ' ') + "\n"), -1);
  EXPECT_EQ(ctx->lastError, 6);
  EXPECT_EQ(ctx->readerSettings.level, 16);
  // A carriage return does not count toward the length.
  ctx->Clear();
  EXPECT_EQ(Load("\"H 1/" + std::string(250, ' ') + "\r\n"), 0);
}

TEST_F(FormLoadingTest, DirectoryIsNotAFormFile) {
  fs::create_directories(dir.Path("sub"));
  EXPECT_EQ(ctx->LoadForm(dir.Path("sub").c_str(), ""), -1);
  EXPECT_EQ(ctx->lastError, kErrFormFileOpen);
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_EQ(ctx->LoadForm("/dev/null", ""), -1);  // a device, not a regular file
  EXPECT_EQ(ctx->lastError, kErrFormFileOpen);
}

// ---- MR_AddFormLine ---------------------------------------------------------------------------

TEST_F(FormLoadingTest, UnquotedLineIsStoredAsTheQuotedOne) {
  EXPECT_TRUE(ctx->AddFormLine("M 001 02 03/"));
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(L(0).bars.records[0].line, 1);
  EXPECT_EQ(L(0).bars.records[0].first, 2);
  EXPECT_EQ(L(0).bars.records[0].last, 3);
  EXPECT_EQ(Blocks().size(), 1u);
}

TEST_F(FormLoadingTest, VLineIsRefusedByAddFormLine) {
  ctx->lastError = 4;
  EXPECT_FALSE(ctx->AddFormLine("\"V 08 150 200/\""));
  EXPECT_FALSE(ctx->AddFormLine("V 08 150 200/"));
  EXPECT_EQ(ctx->readerSettings.level, 16);
  EXPECT_EQ(ctx->lastError, 4);
  EXPECT_EQ(ctx->forms.errorCode, 0);
  EXPECT_TRUE(port.Writes().empty());
}

TEST_F(FormLoadingTest, FieldLineOnAnEmptyStoreSendsZeroLengths) {
  EXPECT_TRUE(ctx->AddFormLine("\"F   5  12U S  1   4R 0/\""));
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(L(0).ident.letter, ' ');
  EXPECT_EQ(L(0).fields.records[0].used, 1);
  ASSERT_EQ(Blocks().size(), 1u);
  EXPECT_EQ(Blocks()[0][9], 0);
  EXPECT_EQ(Blocks()[0][10], 0);
  EXPECT_EQ(Blocks()[0][11], 0);
}

TEST_F(FormLoadingTest, EveryStoredLineSendsTheWholeForm) {
  EXPECT_TRUE(ctx->AddFormLine("\"L 070 30 24/\""));
  EXPECT_TRUE(ctx->AddFormLine("\"C 7/\""));
  ASSERT_EQ(Blocks().size(), 2u);
  EXPECT_EQ(Blocks()[1][9], 70);
  EXPECT_EQ(Blocks()[1][27], 7);
}

struct AddCase {
  const char* name;
  std::string line;
  bool reader;
  bool result;
  int lastError;  // -1: unchanged
  int formCode;
  int blocks;
};

class AddFormLineTest : public FormLoadingTest, public ::testing::WithParamInterface<AddCase> {};

TEST_P(AddFormLineTest, Outcome) {
  const AddCase& c = GetParam();
  if (!c.reader) port.Respond(nullptr);
  ctx->lastError = 99;
  EXPECT_EQ(ctx->AddFormLine(c.line.c_str()), c.result);
  EXPECT_EQ(ctx->lastError, c.lastError < 0 ? 99 : c.lastError);
  EXPECT_EQ(ctx->forms.errorCode, c.formCode);
  EXPECT_EQ(static_cast<int>(Blocks().size()), c.blocks);
}

INSTANTIATE_TEST_SUITE_P(
    FormLoading, AddFormLineTest,
    ::testing::Values(AddCase{"Stored", "\"L 070 30 24/\"", true, true, 0, 0, 1},
                      AddCase{"NotAFormLine", "hello", true, false, -1, 0, 0},
                      AddCase{"NoSlash", "\"L 070 30 24\"", true, false, -1, 0, 0},
                      AddCase{"Rejected", "\"G 00 02 02 05/\"", true, false, -1, 6, 0},
                      AddCase{"NoLayout", "\"E B/\"", true, false, 1, 1, 0},
                      AddCase{"SilentReader", "\"L 070 30 24/\"", false, false, 8, 0, 1},
                      AddCase{"TooLong", "\"H 1/" + std::string(251, ' '), true, false, -1, 6, 0},
                      AddCase{"TooLongUnquoted", "H 1/" + std::string(250, ' '), true, false, -1, 6, 0},
                      AddCase{"LongestUnquoted", "H 1/" + std::string(249, ' '), true, true, 0, 0, 1}),
    [](const auto& info) { return info.param.name; });

TEST_F(FormLoadingTest, NullLineTouchesNothing) {
  ctx->lastError = 3;
  EXPECT_FALSE(ctx->AddFormLine(nullptr));
  EXPECT_EQ(ctx->lastError, 3);
  EXPECT_EQ(ctx->forms.errorCode, 0);
  EXPECT_TRUE(port.Writes().empty());
}

TEST_F(FormLoadingTest, StoreFormLineSendsNothing) {
  ctx->lastError = 3;
  EXPECT_TRUE(ctx->StoreFormLine("L 070 30 24/"));
  EXPECT_FALSE(ctx->StoreFormLine("\"M 01 02 03/\""));
  EXPECT_EQ(ctx->lastError, 3);
  EXPECT_EQ(ctx->forms.errorCode, 26);
  EXPECT_TRUE(port.Writes().empty());
  EXPECT_TRUE(ctx->FinishForm());
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(ctx->forms.errorCode, 0);
}

}  // namespace
}  // namespace omr::test

namespace omr::test {
namespace {

TEST(ReadFormFile, ObserverSeesEveryCommandLineAndCanGoOnPastRejections) {
  TempDir dir;
  const std::string file = dir.Write("observed.txt",
                                     "comment\n"
                                     "\"T A 005 06/\"\n"
                                     "\"M 1 2 3/\"\n"  // invalid bar line: 26
                                     "\"D 01 AB/\"\n"
                                     "\"D 01 CD/\"\n");  // redefined id: 23
  FormDefinition forms;
  ReaderSettings settings;
  std::vector<std::pair<int, int>> seen;
  std::int32_t error = -1;
  EXPECT_TRUE(ReadFormFile(forms, settings, file.c_str(), error, [&](const FormLineReport& r) {
    seen.emplace_back(r.number, r.code);
    return true;
  }));
  EXPECT_EQ(error, 0);
  const std::vector<std::pair<int, int>> expected = {{2, 0}, {3, 26}, {4, 0}, {5, 23}};
  EXPECT_EQ(seen, expected);
  EXPECT_STREQ(forms.Layout(kFaceA, 0).LabelText(1), "AB");
}

TEST(ReadFormFile, WithoutObserverStopsAtTheFirstRejection) {
  TempDir dir;
  const std::string file = dir.Write("stop.txt", "\"T A 005 06/\"\n\"M 1 2 3/\"\n\"D 01 AB/\"\n");
  FormDefinition forms;
  ReaderSettings settings;
  std::int32_t error = 0;
  EXPECT_FALSE(ReadFormFile(forms, settings, file.c_str(), error));
  EXPECT_EQ(error, 26);
  EXPECT_EQ(forms.Layout(kFaceA, 0).FindLabel(1), nullptr);
  EXPECT_FALSE(ReadFormFile(forms, settings, dir.Path("missing.txt").c_str(), error));
  EXPECT_EQ(error, 21);
}

}  // namespace
}  // namespace omr::test
