// The legacy text-command interface over a scripted reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "api/driver_module.h"
#include "config/scramble.h"
#include "scripted_port.h"
#include "sheet_builder.h"

namespace omr::test {
namespace {

namespace fs = std::filesystem;

// A reader with one sheet of layout A whose four questions answer A, B, C, D.
class LegacyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SheetLayout& layout = DefineLayout(module->context.forms.layouts[kFaceA][0], 'A', 1, 1, 4);
    AddLabel(layout, 1, "ABCD");
    AddField(layout, 1, 1, 'U', 'S', 1, 4, 'R');
    grid.Row(1, 1, "A000").Row(2, 1, "0A00").Row(3, 1, "00A0").Row(4, 1, "000A");
    port.Respond([this](ScriptedPort& p, const Bytes& w) {
      if (w.size() < 2 || w[0] != 0xFA) return;
      switch (w[1]) {
        case 0x06:
          p.Queue({0xFB, 0x06});
          break;
        case 0x21:
          p.Queue({0xFB, 0x21, 0x01, 0x00});
          break;
        case 0x23:
          p.Queue({0xFB, 0x23});
          break;
        case 0x02:
          p.Queue({0xFB, 0x02});
          break;
        case 0x24:
          p.Queue(
              {0xFB, 0x24, static_cast<std::uint8_t>(status & 0xFF), static_cast<std::uint8_t>(status >> 8)});
          break;
        case 0x26:
          p.Queue(EncodeSheet(grid));
          break;
        case 0x48:
          p.Queue(serialReply);
          break;
        default:
          break;
      }
    });
    module->context.activePort = &port;
    module->context.portHandle = port.GetHandle();
    module->context.sheetWaitMs = 2000;
    module->installedValue = static_cast<std::int32_t>(port.GetHandle());
  }
  void TearDown() override { module->context.activePort = nullptr; }

  std::string Reply() {
    char out[kReplyBufferSize + 1] = {};
    EXPECT_EQ(module->OmrG(out), 0);
    return out;
  }
  int Send(std::string& text) { return module->OmrS(text.data()); }
  int Send(const char* text) {
    std::string copy = text;
    return Send(copy);
  }
  int Commands(std::uint8_t code) const {
    int n = 0;
    for (const Bytes& w : port.Writes()) n += (w.size() >= 2 && w[1] == code) ? 1 : 0;
    return n;
  }

  std::unique_ptr<DriverModule> module = std::make_unique<DriverModule>();
  ScriptedPort port;
  SheetGrid grid{4, 4};
  int status = 0;
  Bytes serialReply = {0xFB, 0x48, '1', '2', '3', '4', '5', '6', '7', '8', 0};
};

TEST_F(LegacyTest, EmptyTextAnswersOk) {
  EXPECT_EQ(Send(""), 0);
  char out[8] = "XYZW";
  EXPECT_EQ(module->OmrG(out), 0);
  EXPECT_STREQ(out, "OKZW");  // no terminating zero is added
  EXPECT_EQ(module->OmrG(out), 0);
  EXPECT_STREQ(out, "OKZW");  // the second fetch copies nothing
}

TEST_F(LegacyTest, ReadThenFetchPieces) {
  std::string read = "/";
  read.reserve(8);
  EXPECT_EQ(Send(read), 0);
  EXPECT_STREQ(read.c_str(), "OK");
  EXPECT_EQ(Commands(0x21), 1);  // the form went out before the first read
  EXPECT_EQ(Reply(), "OK");

  struct Fetch {
    const char* command;
    int length;
    const char* piece;
  } const fetches[] =
      {
          {"001", 1, "A"},           {"002   ", 4, "ABCD"}, {"003      ", 3, "BCD"},
          {"005", 1, "D"},           {"006", 0, ""},        {"2049", 0, ""},
          {"99999999999999", 0, ""}, {"  2 ", 2, "AB"},  // leading blanks are skipped; the spaces are counted
                                                         // from the fourth character
      };
  for (const Fetch& f : fetches) {
    EXPECT_EQ(Send(f.command), f.length) << f.command;
    EXPECT_EQ(Reply(), f.piece) << f.command;
  }
  EXPECT_EQ(Send("R/"), 0);
  EXPECT_EQ(Commands(0x21), 1);  // the form is sent once until it changes
}

TEST_F(LegacyTest, FailedReadAnswersTheCode) {
  status = 3;
  std::string read = "/";
  read.reserve(8);
  EXPECT_EQ(Send(read), -1);
  EXPECT_STREQ(read.c_str(), "03");
  EXPECT_EQ(Reply(), "03");
  EXPECT_EQ(Commands(0x26), 0);
}

TEST_F(LegacyTest, ReplyWrittenBackIsCutToTheThreeBytesACallerMustProvide) {
  status = 300;
  char read[3] = "/";
  EXPECT_EQ(module->OmrS(read), -1);
  EXPECT_STREQ(read, "30");
  EXPECT_EQ(Reply(), "300");
}

TEST_F(LegacyTest, StopMotorLeavesTheReplyAlone) {
  EXPECT_EQ(Send(""), 0);
  EXPECT_EQ(Send("-/"), 0);
  EXPECT_EQ(Commands(0x02), 1);
  EXPECT_EQ(Reply(), "OK");
}

TEST_F(LegacyTest, ClearEmptiesFormsAndReply) {
  EXPECT_EQ(Send(""), 0);
  EXPECT_EQ(Send("B/"), 0);
  EXPECT_EQ(Commands(0x23), 1);
  EXPECT_EQ(module->context.forms.layouts[kFaceA][0].defined, 0);
  EXPECT_EQ(Reply(), "");
}

TEST_F(LegacyTest, FormLineWithoutQuotesIsStoredAndSentByTheNextRead) {
  ASSERT_EQ(Send("/"), 0);
  EXPECT_EQ(Send("D 02 XY/"), 0);
  EXPECT_STREQ(module->context.forms.layouts[kFaceA][0].LabelText(2), "XY");
  EXPECT_EQ(Commands(0x21), 1);
  EXPECT_EQ(Send("/"), 0);
  EXPECT_EQ(Commands(0x21), 2);
  // A rejected line still answers 0.
  EXPECT_EQ(Send("D 02 ZZ/"), 0);
  EXPECT_EQ(module->context.forms.errorCode, 23);
}

class LegacyFileTest : public LegacyTest {
 protected:
  void SetUp() override {
    LegacyTest::SetUp();
    dir = fs::temp_directory_path() / ("omr_legacy_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    saved = fs::current_path();
    fs::current_path(dir);
    std::ofstream("forms.txt") << "\"T Q 001 01/\"\n\"L 004 01 01/\"\n";
    std::ofstream(" forms.txt") << "\"T R 001 01/\"\n\"L 004 01 01/\"\n";
  }
  void TearDown() override {
    fs::current_path(saved);
    fs::remove_all(dir);
    LegacyTest::TearDown();
  }
  char Letter() { return module->context.forms.layouts[kFaceA][0].ident.letter; }

  fs::path dir, saved;
};

TEST_F(LegacyFileTest, LoadsTheNamedFile) {
  std::string load = "S forms.txt/  ";
  EXPECT_EQ(Send(load), 0);
  EXPECT_STREQ(load.c_str(), "OK");
  EXPECT_EQ(Letter(), 'Q');
  EXPECT_EQ(Commands(0x23), 1);  // cleared first
  EXPECT_EQ(Reply(), "OK");
}

TEST_F(LegacyFileTest, TwoSpacesMakeTheNameBeginWithASpace) {
  EXPECT_EQ(Send("S  forms.txt"), 0);
  EXPECT_EQ(Letter(), 'R');
}

TEST_F(LegacyFileTest, MissingOrOverlongNamesAnswer01) {
  std::string load = "S nowhere.txt/";
  EXPECT_EQ(Send(load), -1);
  EXPECT_STREQ(load.c_str(), "01");
  EXPECT_EQ(Reply(), "01");
  std::string longName = "S " + std::string(300, 'n');
  EXPECT_EQ(Send(longName), -1);
  EXPECT_EQ(Reply(), "01");
}

TEST_F(LegacyTest, VersionGivesTheSerialText) {
  char out[40];
  EXPECT_EQ(module->OmrVer(out), 0);
  EXPECT_STREQ(out, "12345678");
}

TEST_F(LegacyTest, VersionWithoutSerialTextGivesEights) {
  // A scrambled field that unscrambles to nothing.
  std::uint8_t field[8] = {};
  ScrambleBytes(field, 8);
  serialReply = {0xFB, 0x48};
  serialReply.insert(serialReply.end(), field, field + 8);
  char out[40];
  EXPECT_EQ(module->OmrVer(out), 0);
  EXPECT_STREQ(out, "88888888");
  serialReply = {};
  EXPECT_EQ(module->OmrVer(out), 0);
  EXPECT_STREQ(out, "88888888");
}

TEST_F(LegacyTest, NullPointersAnswerMinusOne) {
  EXPECT_EQ(module->OmrS(nullptr), -1);
  EXPECT_EQ(module->OmrG(nullptr), -1);
  EXPECT_EQ(module->OmrVer(nullptr), -1);
}

TEST(LegacyNoReader, EveryEntryAnswersMinusOne) {
  const char* saved = std::getenv("OMR_SERIAL_PORTS");
  const std::string keep = saved ? saved : "";
  setenv("OMR_SERIAL_PORTS", "/nonexistent/omr-reader", 1);
  auto module = std::make_unique<DriverModule>();
  module->formSent = true;
  char text[8] = "/";
  EXPECT_EQ(module->OmrS(text), -1);
  EXPECT_STREQ(module->replyBuffer, "08");
  EXPECT_FALSE(module->formSent);
  char out[40] = {};
  EXPECT_EQ(module->OmrG(out), -1);
  EXPECT_EQ(module->OmrVer(out), -1);
  if (saved)
    setenv("OMR_SERIAL_PORTS", keep.c_str(), 1);
  else
    unsetenv("OMR_SERIAL_PORTS");
}

}  // namespace
}  // namespace omr::test
