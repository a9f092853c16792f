#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>

#include "api/driver_context.h"
#include "scripted_port.h"
#include "sheet_builder.h"

namespace omr::test {
namespace {

// A reader that can fail one particular write, and hands out the data after
// the header in pieces, optionally with an empty read before each piece.
class ReaderPort : public ScriptedPort {
 public:
  int shortWriteAt = -1;  // index of the write that goes out incomplete
  int piece = 1 << 30;    // most bytes one chunk read returns
  bool gapBeforePieces = false;
  std::vector<int> asked;  // the count of every chunk read as requested

  int Write(const std::uint8_t* data, int count) override {
    const int index = static_cast<int>(Writes().size());
    const int n = ScriptedPort::Write(data, count);
    return index == shortWriteAt ? n - 1 : n;
  }
  int Read(std::uint8_t* buffer, int count, int timeoutMs) override {
    if (Reads().size() < 2) return ScriptedPort::Read(buffer, count, timeoutMs);  // status, header
    asked.push_back(count);
    if (gapBeforePieces && !lastWasGap_) {
      lastWasGap_ = true;
      return ScriptedPort::Read(buffer, 0, timeoutMs);
    }
    lastWasGap_ = false;
    return ScriptedPort::Read(buffer, std::min(count, piece), timeoutMs);
  }

 private:
  bool lastWasGap_ = false;
};

const Bytes kStart = {0xFA, 0x24};
const Bytes kFetch = {0xFA, 0x26};
const Bytes kStatusOk = {0xFB, 0x24, 0x00, 0x00};

// A 6-line, 8-column sheet for layout "B": identifying cell at line 6,
// column 8, one bar on line 1 over columns 1 to 4, one S question on line 3.
SheetGrid GoodSheet() {
  SheetGrid grid(6, 8);
  grid.Set(6, 8, 12).Row(1, 1, "9999").Row(3, 1, "0A00");
  return grid;
}

class ReadTest : public ::testing::Test {
 public:
  void SetUp() override {
    ctx->activePort = &port;
    ctx->sheetWaitMs = 9000;
    ctx->firmwareVersion = "3.1";
    SheetLayout& layout = DefineLayout(ctx->forms.layouts[0][0], 'B', 6, 8, 6);
    AddBar(layout, 1, 1, 4);
    AddLabel(layout, 1, "ABCD");
    AddField(layout, 3, 1, 'U', 'S', 1);
  }
  void TearDown() override { ctx->activePort = nullptr; }

  void ScriptSheet(const Bytes& frame, const Bytes& status = kStatusOk) {
    port.On(kStart, status);
    port.On(kFetch, frame);
  }
  int Read() { return ctx->Read(); }

  ReaderPort port;
  std::unique_ptr<DriverContext> ctx = std::make_unique<DriverContext>();
};

TEST_F(ReadTest, GoodSheetIsReadAndRecognised) {
  ctx->lastError = 6;
  const Bytes frame = EncodeSheet(GoodSheet());
  ScriptSheet(frame);
  ASSERT_EQ(Read(), 0);
  EXPECT_EQ(ctx->lastError, 0);
  EXPECT_EQ(ctx->identifiedLayout, &ctx->forms.layouts[0][0]);
  EXPECT_EQ(ctx->forms.recognised, ctx->identifiedLayout);
  EXPECT_EQ(ctx->frame.CellAt(6, 8), 12);

  // Only the start command purges; the data request follows it directly.
  EXPECT_EQ(port.Purges(), 1);
  ASSERT_EQ(port.Writes().size(), 2u);
  EXPECT_EQ(port.Writes()[0], kStart);
  EXPECT_EQ(port.Writes()[1], kFetch);
  ASSERT_EQ(port.Reads().size(), 3u);
  EXPECT_EQ(port.Reads()[0].count, 4);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 9000);
  EXPECT_EQ(port.Reads()[1].count, 10);
  EXPECT_EQ(port.Reads()[1].timeoutMs, 2000);
  EXPECT_EQ(port.Reads()[2].count, static_cast<int>(frame.size()) - 10);
  EXPECT_EQ(port.Reads()[2].timeoutMs, 333);

  char text[8] = {};
  EXPECT_EQ(ctx->GetResult(text, 1), 2);
  EXPECT_STREQ(text, "BB");
}

TEST_F(ReadTest, ReadWithLineSendsTheLowByteAndPauses) {
  port.On({0xFA, 0x2B, 0x34}, {0xFB, 0x2B, 0x00, 0x00});
  port.On(kFetch, EncodeSheet(GoodSheet()));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(ctx->ReadWithLine(0x1234), 0);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(elapsed, std::chrono::milliseconds(10));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_TRUE(port.ScriptUsedUp()) << (port.Mismatches().empty() ? "" : port.Mismatches()[0]);
  EXPECT_EQ(port.Reads()[0].timeoutMs, 9000);
}

TEST_F(ReadTest, ReadWithLineWantsItsOwnReplyCode) {
  port.On({0xFA, 0x2B, 0x07}, kStatusOk);
  EXPECT_EQ(ctx->ReadWithLine(7), -1);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(port.Writes().size(), 1u);
}

TEST_F(ReadTest, DataArrivingInPiecesIsCollected) {
  const Bytes frame = EncodeSheet(GoodSheet());
  ScriptSheet(frame);
  port.piece = 3;
  EXPECT_EQ(Read(), 0) << ctx->lastError;
  const int pieces = (static_cast<int>(frame.size()) - 10 + 2) / 3;
  ASSERT_EQ(static_cast<int>(port.Reads().size()), 2 + pieces);
  // Each request asks for everything still missing.
  ASSERT_GE(port.asked.size(), 2u);
  EXPECT_EQ(port.asked[0], static_cast<int>(frame.size()) - 10);
  EXPECT_EQ(port.asked[1], port.asked[0] - 3);
}

TEST_F(ReadTest, SilentReadsBetweenPiecesDoNotAddUp) {
  // One empty read before every piece: many in all, never three in a row.
  const Bytes frame = EncodeSheet(GoodSheet());
  ScriptSheet(frame);
  port.piece = 2;
  port.gapBeforePieces = true;
  EXPECT_EQ(Read(), 0) << ctx->lastError;
  int silent = 0;
  for (std::size_t i = 2; i < port.Reads().size(); ++i) silent += port.Reads()[i].returned == 0;
  EXPECT_GE(silent, 3);
}

TEST_F(ReadTest, SilentReaderEndsTheDataLoop) {
  Bytes frame = EncodeSheet(GoodSheet());
  frame.resize(frame.size() - 3);  // the reader stops three bytes short
  ScriptSheet(frame);
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 8);
  // Status, header, the piece that came, then three empty chunk reads.
  ASSERT_EQ(port.Reads().size(), 6u);
  for (std::size_t i = 3; i < 6; ++i) {
    EXPECT_EQ(port.Reads()[i].returned, 0);
    EXPECT_EQ(port.Reads()[i].count, 3);
    EXPECT_EQ(port.Reads()[i].timeoutMs, 333);
  }
}

struct Failure {
  const char* name;
  int expectedError;
  std::function<void(ReadTest&)> arrange;
};

class ReadFailureTest : public ReadTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(ReadFailureTest, ReportsItsCode) {
  ctx->lastError = 77;
  GetParam().arrange(*this);
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, GetParam().expectedError);
}

Bytes WithHeader(Bytes frame, int at, std::uint8_t value) {
  frame[static_cast<std::size_t>(at)] = value;
  return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Read, ReadFailureTest,
    ::testing::Values(
        Failure{"NoDefinedLayout", 1,
                [](ReadTest& t) {
                  t.ctx->forms.ResetForms();
                  t.ScriptSheet(EncodeSheet(GoodSheet()));
                }},
        Failure{"StartNotFullyWritten", 8,
                [](ReadTest& t) {
                  t.port.shortWriteAt = 0;
                  t.ScriptSheet(EncodeSheet(GoodSheet()));
                }},
        Failure{"NoStatusFirmware30", 16, [](ReadTest& t) { t.ctx->firmwareVersion = "3.0"; }},
        Failure{"NoStatusFirmware300", 8, [](ReadTest& t) { t.ctx->firmwareVersion = "3.00"; }},
        Failure{"NoStatusFirmware21", 8, [](ReadTest& t) { t.ctx->firmwareVersion = "2.1"; }},
        Failure{"ShortStatusFirmware30", 16,
                [](ReadTest& t) {
                  t.ctx->firmwareVersion = "3.0";
                  t.port.On(kStart, {0xFB, 0x24, 0x00});
                }},
        Failure{"StatusWrongFirstByte", 8,
                [](ReadTest& t) {
                  t.port.On(kStart, {0xFA, 0x24, 0, 0});
                }},
        Failure{"StatusWrongCode", 8,
                [](ReadTest& t) {
                  t.port.On(kStart, {0xFB, 0x2B, 0, 0});
                }},
        Failure{"DoublePage", 3,
                [](ReadTest& t) {
                  t.ScriptSheet(EncodeSheet(GoodSheet()), {0xFB, 0x24, 3, 0});
                }},
        Failure{"StatusHighByte", 259,
                [](ReadTest& t) {
                  t.ScriptSheet(EncodeSheet(GoodSheet()), {0xFB, 0x24, 3, 1});
                }},
        Failure{"StatusBytesAreSigned", -257,
                [](ReadTest& t) {
                  t.ScriptSheet(EncodeSheet(GoodSheet()), {0xFB, 0x24, 0xFF, 0xFF});
                }},
        Failure{"FetchNotFullyWritten", 8,
                [](ReadTest& t) {
                  t.port.shortWriteAt = 1;
                  t.ScriptSheet(EncodeSheet(GoodSheet()));
                }},
        Failure{"NoHeader", 8, [](ReadTest& t) { t.port.On(kStart, kStatusOk); }},
        Failure{"ShortHeader", 8,
                [](ReadTest& t) {
                  t.ScriptSheet({0xFB, 0x26, 6, 4, 0, 0, 0, 0, 0});
                }},
        Failure{"FrameWrongFirstByte", 8,
                [](ReadTest& t) { t.ScriptSheet(WithHeader(EncodeSheet(GoodSheet()), 0, 0xFA)); }},
        Failure{"FrameWrongCode", 8,
                [](ReadTest& t) { t.ScriptSheet(WithHeader(EncodeSheet(GoodSheet()), 1, 0x24)); }},
        Failure{"CrcMismatch", 20,
                [](ReadTest& t) {
                  const SheetGrid g = GoodSheet();
                  t.ScriptSheet(SheetFrame(6, 4, ZeroRunEncode(g.Packed()), 0, 0, {}, CrcOrder::HighFirst));
                }},
        Failure{"NoLayoutWithTheLineCount", 7,
                [](ReadTest& t) {
                  SheetGrid g(5, 8);
                  g.Set(5, 8, 12);
                  t.ScriptSheet(EncodeSheet(g));
                }},
        Failure{"IdentifyingCellLight", 4,
                [](ReadTest& t) {
                  SheetGrid g = GoodSheet();
                  g.Set(6, 8, 2);
                  t.ScriptSheet(EncodeSheet(g));
                }},
        Failure{"BarCellLight", 5,
                [](ReadTest& t) {
                  SheetGrid g = GoodSheet();
                  g.Set(1, 3, 2);
                  t.ScriptSheet(EncodeSheet(g));
                }},
        Failure{"DataLongerThanReceiveBuffer", 8,
                [](ReadTest& t) {
                  t.ScriptSheet({0xFB, 0x26, 6, 4, 0xFF, 0x3F, 0, 0, 0x02, 0x00});
                }},
        Failure{"CellsBeyondTheArea", 8,
                [](ReadTest& t) {
                  t.ScriptSheet(SheetFrame(100, 100, {0x01, 0x02}));
                }}),
    [](const auto& info) { return info.param.name; });

TEST_F(ReadTest, NonZeroStatusSendsNoDataRequest) {
  ScriptSheet(EncodeSheet(GoodSheet()), {0xFB, 0x24, 3, 0});
  EXPECT_EQ(Read(), -1);
  ASSERT_EQ(port.Writes().size(), 1u);
  EXPECT_EQ(port.Writes()[0], kStart);
}

TEST_F(ReadTest, NoDefinedLayoutSendsNothing) {
  ctx->forms.ResetForms();
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 1);
  EXPECT_TRUE(port.Writes().empty());
}

TEST_F(ReadTest, WithoutAReaderFailsWithCommunicationError) {
  ctx->activePort = nullptr;
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 8);
}

TEST_F(ReadTest, OversizeHeaderIsRefusedBeforeItsData) {
  // 0x3FFF + 2 data bytes: more than the 16384-byte receive buffer.
  Bytes frame = {0xFB, 0x26, 6, 4, 0xFF, 0x3F, 0, 0, 0x02, 0x00};
  frame.resize(frame.size() + 200, 0x11);
  ScriptSheet(frame);
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 8);
  EXPECT_EQ(port.Reads().size(), 2u);
  EXPECT_EQ(ctx->frame.lines, 0);
}

TEST_F(ReadTest, CrcMismatchKeepsThePreviousSheetAndLayout) {
  ScriptSheet(EncodeSheet(GoodSheet()));
  ASSERT_EQ(Read(), 0);
  std::vector<std::uint8_t> before(2 + 6 * 8), after(2 + 6 * 8);
  ASSERT_TRUE(ctx->frame.CopyGrid(before.data()));
  // A damaged frame of another size: neither its sizes nor its cells count.
  SheetGrid other(8, 6);
  other.Set(3, 2, 0).Set(3, 3, 10).Set(8, 6, 12);
  ScriptSheet(SheetFrame(8, 3, ZeroRunEncode(other.Packed()), 0, 0, {}, CrcOrder::HighFirst));
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 20);
  EXPECT_EQ(ctx->frame.frameError, 20);
  EXPECT_EQ(ctx->frame.lines, 6);
  EXPECT_EQ(ctx->frame.columns, 8);
  ASSERT_TRUE(ctx->frame.CopyGrid(after.data()));
  EXPECT_EQ(after, before);
  EXPECT_NE(ctx->identifiedLayout, nullptr);
  char text[8] = {};
  EXPECT_EQ(ctx->GetResult(text, 1), 2);
  EXPECT_STREQ(text, "BB");
}

TEST_F(ReadTest, HangUpDuringTheStatusWaitIsACommunicationError) {
  // To a reader of version 3.0 silence means an empty tray; a port that
  // reports the device gone does not.
  ctx->firmwareVersion = "3.0";
  port.HangUpWhenDry();
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 8);
}

TEST_F(ReadTest, HangUpInTheDataStopsAtOnce) {
  Bytes frame = EncodeSheet(GoodSheet());
  frame.resize(frame.size() - 3);
  ScriptSheet(frame);
  port.HangUpWhenDry();
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 8);
  // Status, header, the piece that came, one read that found the line gone.
  EXPECT_EQ(port.Reads().size(), 4u);
}

// A clock that moves only when the dripping port below says so.
std::int64_t gNowMs = 0;
std::int64_t FakeNow() {
  return gNowMs;
}

// Hands out the data block one byte per read, each after `perByteMs`.
class DrippingPort : public ReaderPort {
 public:
  int perByteMs = 0;
  int Read(std::uint8_t* buffer, int count, int timeoutMs) override {
    if (Reads().size() < 2) return ScriptedPort::Read(buffer, count, timeoutMs);
    gNowMs += perByteMs < timeoutMs ? perByteMs : timeoutMs;
    return ScriptedPort::Read(buffer, perByteMs <= timeoutMs ? 1 : 0, timeoutMs);
  }
};

struct Drip {
  const char* name;
  int perByteMs;
  bool read;
};

class DripTest : public ::testing::TestWithParam<Drip> {};

TEST_P(DripTest, TheDataBlockHasAnOverallBound) {
  DrippingPort port;
  auto ctx = std::make_unique<DriverContext>();
  ctx->activePort = &port;
  ctx->sheetWaitMs = 9000;
  ctx->firmwareVersion = "3.1";
  ctx->link.now = FakeNow;
  gNowMs = 0;
  SheetLayout& layout = DefineLayout(ctx->forms.layouts[0][0], 'B', 6, 8, 6);
  AddBar(layout, 1, 1, 4);
  AddLabel(layout, 1, "ABCD");
  AddField(layout, 3, 1, 'U', 'S', 1);
  // A wide sheet of light cells: some 600 bytes on the line, no zero runs.
  SheetGrid wide(6, 200);
  for (int line = 1; line <= 6; ++line)
    for (int column = 1; column <= 200; ++column) wide.Set(line, column, 1);
  wide.Set(6, 8, 12).Row(1, 1, "9999");
  const Bytes frame = EncodeSheet(wide);
  port.On(kStart, kStatusOk);
  port.On(kFetch, frame);
  port.perByteMs = GetParam().perByteMs;

  const int block = static_cast<int>(frame.size()) - 10;
  // One second plus four times the block's time at 115200 baud, 10 bits a byte.
  const double boundMs = 1000 + 4 * block * 10 * 1000.0 / 115200;
  EXPECT_EQ(ctx->Read(), GetParam().read ? 0 : -1);
  EXPECT_EQ(ctx->lastError, GetParam().read ? 0 : 8);
  EXPECT_LE(gNowMs, boundMs);
  if (!GetParam().read) {
    EXPECT_GE(gNowMs, boundMs - GetParam().perByteMs);
  }
  for (std::size_t i = 2; i < port.Reads().size(); ++i) EXPECT_LE(port.Reads()[i].timeoutMs, 333);
  ctx->activePort = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Read, DripTest,
                         ::testing::Values(Drip{"Brisk", 1, true}, Drip{"EveryTenthOfASecond", 100, false},
                                           Drip{"EveryThirdOfASecond", 300, false}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ReadTest, FailedIdentificationClearsTheLayout) {
  ScriptSheet(EncodeSheet(GoodSheet()));
  ASSERT_EQ(Read(), 0);
  SheetGrid shorter(5, 8);
  ScriptSheet(EncodeSheet(shorter));
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 7);
  EXPECT_EQ(ctx->identifiedLayout, nullptr);
  EXPECT_EQ(ctx->forms.errorCode, 7);
  char text[8];
  EXPECT_EQ(ctx->GetResult(text, 0), -1);
  EXPECT_EQ(ctx->lastError, 7);
}

TEST_F(ReadTest, LightBarKeepsTheIdentifiedLayout) {
  SheetGrid g = GoodSheet();
  g.Set(1, 4, 0);
  ScriptSheet(EncodeSheet(g));
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 5);
  EXPECT_EQ(ctx->identifiedLayout, &ctx->forms.layouts[0][0]);
}

TEST_F(ReadTest, TwoLayoutsWithTheSameLengthBothDarkFailWith4) {
  SheetLayout& second = DefineLayout(ctx->forms.layouts[0][1], 'C', 6, 7, 6);
  AddLabel(second, 1, "ABCD");
  AddField(second, 3, 1, 'U', 'S', 1);
  SheetGrid g = GoodSheet();
  g.Set(6, 7, 12);
  ScriptSheet(EncodeSheet(g));
  EXPECT_EQ(Read(), -1);
  EXPECT_EQ(ctx->lastError, 4);
  EXPECT_EQ(ctx->identifiedLayout, nullptr);
}

}  // namespace
}  // namespace omr::test
