#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api/driver_context.h"
#include "scripted_port.h"
#include "sheet_builder.h"

namespace omr::test {
namespace {

// A layout with three S questions on lines 1 to 3, read from a sheet whose
// answers are B, D and none.
class ResultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    layout = &DefineLayout(ctx->forms.layouts[kFaceA][0], 'B', 1, 1, 3);
    AddLabel(*layout, 1, "ABCD");
    AddField(*layout, 1, 1, 'U', 'S', 1, 3, 'R');
    LoadGrid(ctx->frame, SheetGrid(3, 4).Row(1, 1, "0A00").Row(2, 1, "000A"));
    ctx->identifiedLayout = layout;
  }
  std::string Result(int mode, int* count = nullptr) {
    std::vector<char> out(kResultBufferSize + 3, '#');
    const int n = ctx->GetResult(out.data(), mode);
    if (count) *count = n;
    if (n < 0) return "";
    EXPECT_EQ(out[static_cast<std::size_t>(n)], '\0');
    return std::string(out.data(), static_cast<std::size_t>(n));
  }

  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
  SheetLayout* layout = nullptr;
};

struct ModeCase {
  int mode;
  std::string expected;
};

class ResultModeTest : public ResultTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(ResultModeTest, PrefixForTheMode) {
  ctx->lastError = 0;
  int count = 0;
  EXPECT_EQ(Result(GetParam().mode, &count), GetParam().expected);
  EXPECT_EQ(count, static_cast<int>(GetParam().expected.size()));
  EXPECT_EQ(ctx->lastError, 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, ResultModeTest,
                         ::testing::Values(ModeCase{0, "BD."}, ModeCase{1, "BBD."},
                                           ModeCase{2, std::string("\0BD.", 4)},
                                           ModeCase{3, std::string("B\0BD.", 5)}, ModeCase{7, "BD."},
                                           ModeCase{-1, "BD."}));

TEST_F(ResultTest, StatusByteIsTheRawLowByteOfTheLastError) {
  ctx->lastError = 0x0103;
  EXPECT_EQ(Result(2),
            "\x03"
            "BD.");
  EXPECT_EQ(ctx->lastError, 0x0103);
  ctx->lastError = -1;
  EXPECT_EQ(Result(3),
            "B\xFF"
            "BD.");
}

struct LetterCase {
  const char* name;
  char letter;
  char xFrom;
  char xTo;
  char expected;
};

class ResultLetterTest : public ResultTest, public ::testing::WithParamInterface<LetterCase> {};

TEST_P(ResultLetterTest, FormLetter) {
  const LetterCase& c = GetParam();
  layout->ident.letter = c.letter;
  ctx->forms.xFrom[kFaceA] = c.xFrom;
  ctx->forms.xTo[kFaceA] = c.xTo;
  EXPECT_EQ(Result(1), std::string(1, c.expected) + "BD.");
}

INSTANTIATE_TEST_SUITE_P(Letters, ResultLetterTest,
                         ::testing::Values(LetterCase{"Plain", 'C', 0, 0, 'C'},
                                           LetterCase{"Blank", ' ', 0, 0, 'A'},
                                           LetterCase{"BelowA", '@', 0, 0, 'A'},
                                           LetterCase{"HighByte", '\xC1', 0, 0, 'A'},
                                           LetterCase{"LowerCaseKept", 'q', 0, 0, 'q'},
                                           LetterCase{"Substituted", 'A', 'A', 'Z', 'Z'},
                                           LetterCase{"OtherLetterNotSubstituted", 'B', 'A', 'Z', 'B'},
                                           LetterCase{"SubstitutedAfterDefault", ' ', 'A', 'Z', 'Z'}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ResultTest, FaceBPairIsNotUsed) {
  layout->ident.letter = 'A';
  ctx->forms.xFrom[kFaceB] = 'A';
  ctx->forms.xTo[kFaceB] = 'Z';
  EXPECT_EQ(Result(1), "ABD.");
}

TEST_F(ResultTest, RepeatedCallsGiveTheSameText) {
  AddLabel(*layout, 2, "84");
  AddField(*layout, 1, 1, 'U', 'B', 2, 0);  // a chain after the questions
  AddField(*layout, 2, 1, 'U', 'B', 2, 1);
  const std::string first = Result(3);
  EXPECT_EQ(first.size(), 6u);
  EXPECT_EQ(Result(3), first);
  EXPECT_EQ(Result(3), first);
}

TEST_F(ResultTest, ZeroByteCharactersAreCounted) {
  AddLabel(*layout, 2, "8888");
  AddField(*layout, 1, 1, 'U', 'b', 2);  // weight 16: the byte 0
  LoadGrid(ctx->frame, SheetGrid(3, 4).Row(1, 1, "AA00").Row(2, 1, "000A"));
  EXPECT_EQ(Result(1), std::string("B>D.\0", 5));
}

TEST_F(ResultTest, NoRecognisedLayoutAnswersWithTheFormError) {
  ctx->identifiedLayout = nullptr;
  ctx->forms.errorCode = 4;
  ctx->lastError = 0;
  char out[8] = "xxxxxxx";
  EXPECT_EQ(ctx->GetResult(out, 1), -1);
  EXPECT_EQ(ctx->lastError, 4);
  EXPECT_EQ(out[0], 'x');
}

TEST_F(ResultTest, LayoutWithoutFieldsAnswersWithItsCode) {
  layout->fields.Clear();
  layout->code = 25;
  ctx->lastError = 0;
  char out[8] = "xxxxxxx";
  EXPECT_EQ(ctx->GetResult(out, 0), -1);
  EXPECT_EQ(ctx->lastError, 25);
  EXPECT_EQ(ctx->forms.errorCode, 25);
}

TEST_F(ResultTest, NullBufferAnswersMinusOne) {
  EXPECT_EQ(ctx->GetResult(nullptr, 1), -1);
  EXPECT_EQ(ctx->lastError, 6);
}

TEST_F(ResultTest, ResultIsLimitedToTheWorkBuffer) {
  // 350 records of 255 questions would give 89250 characters.
  layout->fields.Clear();
  for (int i = 0; i < kFieldRecords; ++i) AddField(*layout, 1, 1, 'U', 'S', 9, 255);
  int count = 0;
  const std::string text = Result(3, &count);
  EXPECT_EQ(count, kResultBufferSize + 2);
  EXPECT_EQ(text.substr(2), std::string(kResultBufferSize, '.'));
  EXPECT_EQ(ctx->resultBuffer[kResultBufferSize - 1], '.');
}

TEST_F(ResultTest, ResultAfterAScriptedRead) {
  ScriptedPort port;
  ctx->activePort = &port;
  ctx->identifiedLayout = nullptr;
  ctx->sheetWaitMs = 2000;
  SheetGrid grid(3, 4);
  grid.Set(1, 1, 9).Row(3, 1, "00A0");
  port.On({0xFA, 0x24}, {0xFB, 0x24, 0, 0});
  port.On({0xFA, 0x26}, EncodeSheet(grid));
  ASSERT_EQ(ctx->Read(), 0) << ctx->lastError;
  // Line 1 holds the identifying cell (a 9, marked as A), line 3 answers C.
  EXPECT_EQ(Result(3), std::string("B\0A.C", 5));
  ctx->activePort = nullptr;
}

}  // namespace
}  // namespace omr::test
