// Loads omr.dll the way an application does, resolves every export by its
// plain name and checks the answers that need no reader. Run with no reader
// and no FTD2XX module beside it.
#include <cstdio>
#include <cstring>

#include "check.h"
#include "omr_api.h"

namespace {

struct Message {
  int code;
  const char* chinese;  // GBK bytes
  int chineseLength;
  const char* english;
  int englishLength;
};

// Both tables, byte for byte.
const Message kMessages[] = {
    {1, "\xCE\xDE\xB8\xF1\xCA\xBD\xB4\xED!", 9, "No format!", 10},
    {2, "A\xB4\xAB\xB8\xD0\xC6\xF7\xCA\xFD\xBE\xDD\xD2\xE7\xB3\xF6!", 16, "Head-A data overflow!", 21},
    {3, "\xCB\xAB\xD5\xC5\xB4\xED!", 7, "Double page", 11},
    {4, "A\xB4\xAB\xB8\xD0\xC6\xF7\xD4\xC4\xB6\xC1\xB8\xF1\xCA\xBD\xB1\xEA\xD6\xBE\xB4\xED!", 22,
     "Head-A format-mark error!", 25},
    {5, "A\xB4\xAB\xB8\xD0\xC6\xF7\xD4\xC4\xB6\xC1\xBC\xEC\xB2\xE2\xB5\xE3\xCF\xDF\xB4\xED!", 22,
     "Head-A test line or point error!", 32},
    {6, "\xC3\xFC\xC1\xEE\xB2\xCE\xCA\xFD\xB4\xED!", 11, "command parameters error!", 25},
    {7, "A\xB4\xAB\xB8\xD0\xC6\xF7\xBF\xA8\xD6\xBD(\xCD\xAC\xB2\xBD\xD0\xC5\xBA\xC5)\xB4\xED!", 24,
     "Head-A page blocked or sync-mark error!", 39},
    {8, "\xCD\xA8\xD1\xB6\xB4\xED(\xCE\xB4\xC1\xAA\xBB\xFA)!", 15, "Communication error!", 20},
    {9, "A\xB4\xAB\xB8\xD0\xC6\xF7\xCD\xAC\xB2\xBD\xBF\xF2\xBC\xC6\xCA\xFD\xD6\xB5\xB3\xAC\xBD\xE7!", 24,
     "Head-A Sync-mark overcount!", 27},
    {11,
     "A\xA1\xA2"
     "B\xB4\xAB\xB8\xD0\xC6\xF7\xC6\xA5\xC5\xE4\xD4\xC4\xB6\xC1\xB4\xED!",
     21, "Head-A/B not matching!", 22},
    {12, "B\xB4\xAB\xB8\xD0\xC6\xF7\xD2\xE7\xB3\xF6!", 12, "Head-B data overflow!", 21},
    {13, "B\xB4\xAB\xB8\xD0\xC6\xF7\xB8\xF1\xCA\xBD\xB1\xEA\xD6\xBE\xB4\xED!", 18,
     "Head-B format-mark error!", 25},
    {15, "B\xB4\xAB\xB8\xD0\xC6\xF7\xBC\xEC\xB2\xE2\xB5\xE3\xCF\xDF\xB4\xED!", 18,
     "Head-B test line or point error!", 32},
    {16, "\xCE\xDE\xD6\xBD!", 5, "No sheet!", 9},
    {17, "B\xB4\xAB\xB8\xD0\xC6\xF7\xBF\xA8\xD6\xBD(\xCD\xAC\xB2\xBD\xD0\xC5\xBA\xC5\xB4\xED)!", 24,
     "Head-B page blocked or sync-mark error!", 39},
    {19, "B\xB4\xAB\xB8\xD0\xC6\xF7\xCD\xAC\xB2\xBD\xBF\xF2\xBC\xC6\xCA\xFD\xD6\xB5\xB3\xAC\xBD\xE7!", 24,
     "Head-B sync-mark overcount!", 27},
    {20, "CRC\xD0\xA3\xD1\xE9\xB4\xED!", 10, "CRC error!", 10},
    {21, "A\xC3\xE6\xB8\xF1\xCA\xBD\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xB4\xED\xCE\xF3!", 20,
     "Format file A open error!", 25},
    {22, "B\xC3\xE6\xB8\xF1\xCA\xBD\xCE\xC4\xBC\xFE\xB4\xF2\xBF\xAA\xB4\xED\xCE\xF3!", 20,
     "Format file B open error!", 25},
    {23, "D\xC3\xFC\xC1\xEE\xD4\xDA\xD2\xBB\xCC\xD7\xB8\xF1\xCA\xBD\xD6\xD0\xD6\xD8\xB8\xB4\xB6\xA8\xD2\xE5!",
     26, "Redefined D command in same form!", 33},
    {24, "D\xC3\xFC\xC1\xEE\xD2\xE7\xB3\xF6!", 10, "D command overflow!", 19},
    {25, "F\xC3\xFC\xC1\xEE\xD2\xE7\xB3\xF6!", 10, "F command overflow!", 19},
    {26, "M\xC3\xFC\xC1\xEE\xD2\xE7\xB3\xF6!", 10, "M command overflow!", 19},
    {41, "\xCE\xDE\xCC\xF5\xC2\xEB!", 7, "No barcode!", 11},
    {42, "\xCC\xF5\xC2\xEB\xCA\xA7\xD5\xE6!", 9, "Barcode distortion!", 19},
    {43, "\xCC\xF5\xC2\xEB\xD0\xA3\xD1\xE9\xB4\xED!", 11, "Barcode verify error!", 21},
    {44, "\xCE\xDE\xC6\xF0\xCA\xBC\xCE\xBB\xBB\xF2\xCD\xA3\xD6\xB9\xCE\xBB!", 17, "No start-bit or stop-bit!",
     25},
};

const char kUnknownChinese[] = "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3\xB4\xFA\xC2\xEB:";
const char kUnknownEnglish[] = "Unknown error code:";

void CheckExportsResolve(HMODULE dll) {
  for (const char* name : api::kExports) {
    if (!check::That(GetProcAddress(dll, name) != nullptr, __FILE__, __LINE__,
                     "export resolves by plain name"))
      std::printf("     missing: %s\n", name);
    // No decorated form is published beside the plain one.
    char decorated[64];
    for (int bytes = 0; bytes <= 12; bytes += 4) {
      std::snprintf(decorated, sizeof decorated, "%s@%d", name, bytes);
      if (!check::That(GetProcAddress(dll, decorated) == nullptr, __FILE__, __LINE__, "no decorated export"))
        std::printf("     found: %s\n", decorated);
      std::snprintf(decorated, sizeof decorated, "_%s@%d", name, bytes);
      CHECK(GetProcAddress(dll, decorated) == nullptr);
    }
  }
  CHECK(GetProcAddress(dll, "DllMain") == nullptr);
  // Three pairs of names share one entry each.
  CHECK(GetProcAddress(dll, "MR_Close") == GetProcAddress(dll, "CloseCom"));
  CHECK(GetProcAddress(dll, "MR_Read") == GetProcAddress(dll, "MR_ReadNoWait"));
  CHECK(GetProcAddress(dll, "MR_GetPara") == GetProcAddress(dll, "MR_SetPara"));
}

void CheckFixedAnswers(HMODULE dll) {
  auto getDeviceNum = api::Get<api::IntOfInt>(dll, "MR_GetDeviceNum");
  auto getType = api::Get<api::IntOfVoid>(dll, "MR_GetType");
  auto checkAbility = api::Get<api::IntOfInt>(dll, "MR_CheckAbility");
  auto getBarcode = api::Get<api::IntOfIntInt>(dll, "MR_GetBarcodeString");
  auto saveConfig = api::Get<api::IntOfVoid>(dll, "MR_SaveConfig");
  auto getPara = api::Get<api::IntOfInt>(dll, "MR_GetPara");
  auto setPara = api::Get<api::IntOfInt>(dll, "MR_SetPara");
  if (!CHECK(getDeviceNum && getType && checkAbility && getBarcode && saveConfig && getPara && setPara))
    return;

  // Many calls in a row: a caller-cleans mismatch would unbalance the stack.
  for (int i = 0; i < 1000; ++i) {
    if (getDeviceNum(i) != 2005 || getBarcode(i, -i) != -100) {
      CHECK(!"fixed answer held on every call");
      break;
    }
  }
  CHECK_EQ(getDeviceNum(0), 2005);
  CHECK_EQ(getDeviceNum(-7), 2005);
  CHECK_EQ(getType(), 2005);
  const int yes[] = {101, 402};
  const int no[] = {102, 201, 202, 203, 301, 401, 0, -1, 100, 403, 2005};
  for (int code : yes) CHECK_EQ(checkAbility(code), 1);
  for (int code : no) CHECK_EQ(checkAbility(code), 0);
  CHECK_EQ(getBarcode(0, 0), -100);
  CHECK_EQ(saveConfig(), 0);
  CHECK_EQ(getPara(3), 0);
  CHECK_EQ(setPara(4), 0);
}

void CheckMessages(HMODULE dll) {
  auto zh = api::Get<api::IntOfIntText>(dll, "MR_GetErrMsg");
  auto en = api::Get<api::IntOfIntText>(dll, "MR_GetErrMsgEn");
  if (!CHECK(zh && en)) return;
  for (const Message& m : kMessages) {
    char out[64];
    std::memset(out, 0x5A, sizeof out);
    const int n = zh(m.code, out);
    if (!check::That(n == m.chineseLength && std::memcmp(out, m.chinese, m.chineseLength + 1) == 0, __FILE__,
                     __LINE__, "Chinese text byte-exact"))
      std::printf("     code %d: length %d\n", m.code, n);
    std::memset(out, 0x5A, sizeof out);
    const int e = en(m.code, out);
    if (!check::That(e == m.englishLength && std::strcmp(out, m.english) == 0, __FILE__, __LINE__,
                     "English text exact"))
      std::printf("     code %d: length %d, \"%.60s\"\n", m.code, e, out);
  }
  const int unlisted[] = {0, 10, 14, 18, 27, 40, 45, 99, -5, 2147483647, -2147483647 - 1};
  for (int code : unlisted) {
    char want[64], out[64];
    std::memset(out, 0x5A, sizeof out);
    std::snprintf(want, sizeof want, "%s%d", kUnknownChinese, code);
    CHECK_EQ(zh(code, out), -1);
    if (!CHECK(std::strcmp(out, want) == 0)) std::printf("     code %d\n", code);
    std::memset(out, 0x5A, sizeof out);
    std::snprintf(want, sizeof want, "%s%d", kUnknownEnglish, code);
    CHECK_EQ(en(code, out), -1);
    if (!CHECK(std::strcmp(out, want) == 0)) std::printf("     code %d: \"%.60s\"\n", code, out);
  }
}

void CheckLastErrorAndDiscovery(HMODULE dll) {
  auto getLastError = api::Get<api::IntOfVoid>(dll, "MR_GetLastError");
  auto installed = api::Get<api::IntOfInt>(dll, "MR_Installed");
  auto close = api::Get<api::BoolOfVoid>(dll, "MR_Close");
  if (!CHECK(getLastError && installed && close)) return;

  double start = check::NowMs();
  CHECK_EQ(getLastError(), 0);  // nothing has failed since load
  const double first = check::NowMs() - start;
  start = check::NowMs();
  CHECK_EQ(getLastError(), 0);
  const double second = check::NowMs() - start;
  if (!CHECK(first >= 199.5 && second >= 199.5)) std::printf("     waits %.1f and %.1f ms\n", first, second);
  CHECK(first < 2000 && second < 2000);

  // No reader on any serial port and no bridge library: nothing is found and
  // the scan sets no error code.
  CHECK_EQ(installed(0), 0);
  CHECK_EQ(getLastError(), 0);
  CHECK_EQ(close(), 0);
}

// A file that cannot be loaded yields -1 whatever the second text; the full
// loading results need a reader and are covered end to end.
void CheckFormLoadingFailure(HMODULE dll) {
  using LoadForm = int(__stdcall*)(const char*, const char*);
  auto loadForm = api::Get<LoadForm>(dll, "MR_LoadForm");
  if (!CHECK(loadForm)) return;
  CHECK_EQ(loadForm("C:\\no\\such\\form.txt", ""), -1);
  CHECK_EQ(loadForm("C:\\no\\such\\form.txt", "second"), -1);
  CHECK_EQ(loadForm(nullptr, nullptr), -1);
}

}  // namespace

int main() {
  HMODULE dll = LoadLibraryA("omr.dll");
  if (!CHECK(dll != nullptr)) {
    std::printf("     LoadLibraryA error %lu\n", GetLastError());
    return check::Finish("dll_test");
  }
  CheckExportsResolve(dll);
  CheckFixedAnswers(dll);
  CheckMessages(dll);
  CheckLastErrorAndDiscovery(dll);  // first: it expects no failure since load
  CheckFormLoadingFailure(dll);
  CHECK(FreeLibrary(dll) != 0);
  return check::Finish("dll_test");
}
