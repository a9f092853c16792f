#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "api/messages.h"

namespace omr {
namespace {

struct Expected {
  int code;
  const char* chinese;
  const char* english;
};

// The GBK bytes, checked independently of the table in the library.
const Expected kTable[] = {
    {1, "\xCE\xDE\xB8\xF1\xCA\xBD\xB4\xED!", "No format!"},
    {2, "A\xB4\xAB\xB8\xD0\xC6\xF7\xCA\xFD\xBE\xDD\xD2\xE7\xB3\xF6!", "Head-A data overflow!"},
    {3, "\xCB\xAB\xD5\xC5\xB4\xED!", "Double page"},
    {4, "A\xB4\xAB\xB8\xD0\xC6\xF7\xD4\xC4\xB6\xC1\xB8\xF1\xCA\xBD\xB1\xEA\xD6\xBE\xB4\xED!", "Head-A format-mark error!"},
    {5, "A\xB4\xAB\xB8\xD0\xC6\xF7\xD4\xC4\xB6\xC1\xBC\xEC\xB2\xE2\xB5\xE3\xCF\xDF\xB4\xED!", "Head-A test line or point error!"},
    {6, "\xC3\xFC\xC1\xEE\xB2\xCE\xCA\xFD\xB4\xED!", "command parameters error!"},
    {7, "A\xB4\xAB\xB8\xD0\xC6\xF7\xBF\xA8\xD6\xBD(\xCD\xAC\xB2\xBD\xD0\xC5\xBA\xC5)\xB4\xED!", "Head-A page blocked or sync-mark error!"},
    {8, "\xCD\xA8\xD1\xB6\xB4\xED(\xCE\xB4\xC1\xAA\xBB\xFA)!", "Communication error!"},
    {9, "A\xB4\xAB\xB8\xD0\xC6\xF7\xCD\xAC\xB2\xBD\xBF\xF2\xBC\xC6\xCA\xFD\xD6\xB5\xB3\xAC\xBD\xE7!", "Head-A Sync-mark overcount!"},
    {11, "A\xA1\xA2" "B\xB4\xAB\xB8\xD0\xC6\xF7\xC6\xA5\xC5\xE4\xD4\xC4\xB6\xC1\xB4\xED!", "Head-A/B not matching!"},
    {12, "B\xB4\xAB\xB8\xD0\xC6\xF7\xD2\xE7\xB3\xF6!", "Head-B data overflow!"},
    {13, "B\xB4\xAB\xB8\xD0\xC6\xF7\xB8\xF1\xCA\xBD\xB1\xEA\xD6\xBE\xB4\xED!", "Head-B format-mark error!"},
    {15, "B\xB4\xAB\xB8\xD0\xC6\xF7\xBC\xEC\xB2\xE2\xB5\xE3\xCF\xDF\xB4\xED!", "Head-B test line or point error!"},
    {16, "\xCE\xDE\xD6\xBD!", "No sheet!"},
    {17, "B\xB4\xAB\xB8\xD0\xC6\xF7\xBF\xA8\xD6\xBD(\xCD\xAC\xB2\xBD\xD0\xC5\xBA\xC5\xB4\xED)!", "Head-B page blocked or sync-mark error!"},
    {19, "B\xB4\xAB\xB8\xD0\xC6\xF7\xCD\xAC\xB2\xBD\xBF\xF2\xBC\xC6\xCA\xFD\xD6\xB5\xB3\xAC\xBD\xE7!", "Head-B sync-mark overcount!"},
    {20, "CRC\xD0\xA3\xD1\xE9\xB4\xED!", "CRC error!"},
    {21, "A\xC3\xE6\xB8\xF1\xCA\xBD\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xB4\xED\xCE\xF3!", "Format file A open error!"},
    {22, "B\xC3\xE6\xB8\xF1\xCA\xBD\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xB4\xED\xCE\xF3!", "Format file B open error!"},
    {23, "D\xC3\xFC\xC1\xEE\xD4\xDA\xD2\xBB\xCC\xD7\xB8\xF1\xCA\xBD\xD6\xD0\xD6\xD8\xB8\xB4\xB6\xA8\xD2\xE5!", "Redefined D command in same form!"},
    {24, "D\xC3\xFC\xC1\xEE\xD2\xE7\xB3\xF6!", "D command overflow!"},
    {25, "F\xC3\xFC\xC1\xEE\xD2\xE7\xB3\xF6!", "F command overflow!"},
    {26, "M\xC3\xFC\xC1\xEE\xD2\xE7\xB3\xF6!", "M command overflow!"},
    {41, "\xCE\xDE\xCC\xF5\xC2\xEB!", "No barcode!"},
    {42, "\xCC\xF5\xC2\xEB\xCA\xA7\xD5\xE6!", "Barcode distortion!"},
    {43, "\xCC\xF5\xC2\xEB\xD0\xA3\xD1\xE9\xB4\xED!", "Barcode verify error!"},
    {44, "\xCE\xDE\xC6\xF0\xCA\xBC\xCE\xBB\xBB\xF2\xCD\xA3\xD6\xB9\xCE\xBB!", "No start-bit or stop-bit!"},
};

TEST(Messages, EveryCodeHasBothTexts) {
  ASSERT_EQ(std::size(kTable), 27u);
  for (const Expected& e : kTable) {
    char out[64];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(ErrorMessage(e.code, Language::Chinese, out), static_cast<int>(std::strlen(e.chinese))) << e.code;
    EXPECT_STREQ(out, e.chinese) << e.code;
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(ErrorMessage(e.code, Language::English, out), static_cast<int>(std::strlen(e.english))) << e.code;
    EXPECT_STREQ(out, e.english) << e.code;
  }
}

TEST(Messages, KnownLengthsInBytes) {
  char out[64];
  EXPECT_EQ(ErrorMessage(8, Language::Chinese, out), 15);
  EXPECT_EQ(ErrorMessage(23, Language::Chinese, out), 26);
  EXPECT_EQ(out[26], '\0');
  EXPECT_EQ(ErrorMessage(1, Language::Chinese, out), 9);
  EXPECT_EQ(ErrorMessage(7, Language::English, out), 39);
  EXPECT_EQ(ErrorMessage(17, Language::English, out), 39);
  EXPECT_EQ(ErrorMessage(3, Language::English, out), 11);
}

TEST(Messages, UnlistedCodesGivePrefixAndNumber) {
  for (int code : {0, -5, 10, 14, 18, 27, 40, 45, 99, -2147483647 - 1, 2147483647}) {
    char out[64];
    EXPECT_EQ(ErrorMessage(code, Language::English, out), -1) << code;
    EXPECT_EQ(std::string(out), "Unknown error code:" + std::to_string(code));
    EXPECT_LE(std::strlen(out) + 1, 40u);
    EXPECT_EQ(ErrorMessage(code, Language::Chinese, out), -1) << code;
    EXPECT_EQ(std::string(out), "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB:" + std::to_string(code));
  }
}

TEST(Messages, NullBufferIsRefused) {
  EXPECT_EQ(ErrorMessage(1, Language::English, nullptr), -1);
  EXPECT_EQ(ErrorMessage(99, Language::Chinese, nullptr), -1);
}

}  // namespace
}  // namespace omr
