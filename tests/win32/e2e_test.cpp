// End to end under Wine: omr.dll finds the simulated reader on a COM port of
// the prefix that leads to the simulator's pty (scripts/test-win32 sets it up),
// loads a form, reads every queued sheet and compares each result with the
// simulator's expected file, and keeps the 3 ms pause after every byte.
//
//   e2e_test.exe FORM EXPECTED    (Windows paths; Wine shows / as Z:)
//
// Without arguments only the connection is checked. The same program is built
// for Linux against libomr.so (OMR_SERIAL_PORTS names the simulator's pty), so
// that scripts/test-win32 can compare the bytes both libraries send for the
// same calls.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "check.h"
#include "omr_api.h"

#ifndef OMR_TEST_LIBRARY
#define OMR_TEST_LIBRARY "omr.dll"
#endif

namespace {

using LoadForm = int(API_CALL*)(const char*, const char*);
using GetResult = int(API_CALL*)(char*, int);

struct Expected {
  int error = 0;
  char letter = 0;
  std::string text;
};

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// omrsim's expected file: "LETTER TEXT" or "! CODE" a line, \xHH escapes.
bool Unescape(const std::string& in, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '\\') {
      out.push_back(in[i]);
      continue;
    }
    if (i + 3 >= in.size() || in[i + 1] != 'x' || Hex(in[i + 2]) < 0 || Hex(in[i + 3]) < 0) return false;
    out.push_back(static_cast<char>(Hex(in[i + 2]) * 16 + Hex(in[i + 3])));
    i += 3;
  }
  return true;
}

bool ReadExpected(const char* path, std::vector<Expected>& sheets) {
  FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  char line[20000];
  bool ok = true;
  while (ok && std::fgets(line, sizeof line, file)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    const std::size_t space = text.find(' ');
    Expected e;
    std::string letter;
    if (space == std::string::npos) {
      ok = false;
    } else if (text.compare(0, space, "!") == 0) {
      e.error = std::atoi(text.c_str() + space + 1);
      ok = e.error != 0;
    } else {
      ok = Unescape(text.substr(0, space), letter) && letter.size() == 1 &&
           Unescape(text.substr(space + 1), e.text);
      if (ok) e.letter = letter[0];
    }
    if (ok) sheets.push_back(e);
  }
  std::fclose(file);
  return ok && !sheets.empty();
}

// CHECK_EQ as an expression: true when the values are equal.
bool Equal(long long got, long long want, const char* what, int line) {
  const bool ok = check::That(got == want, __FILE__, line, what);
  if (!ok) std::printf("     %lld != %lld\n", got, want);
  return ok;
}
#define EQUAL(a, b) Equal(static_cast<long long>(a), static_cast<long long>(b), #a " == " #b, __LINE__)

// Reads every sheet and compares its result in modes 0 to 3.
void ReadSheets(api::Module dll, const char* form, const std::vector<Expected>& sheets) {
  auto loadForm = api::Get<LoadForm>(dll, "MR_LoadForm");
  auto clear = api::Get<api::BoolOfVoid>(dll, "MR_Clear");
  auto read = api::Get<api::IntOfVoid>(dll, "MR_Read");
  auto getResult = api::Get<GetResult>(dll, "MR_GetResult");
  auto getLastError = api::Get<api::IntOfVoid>(dll, "MR_GetLastError");
  if (!CHECK(loadForm && clear && read && getResult && getLastError)) return;

  clear();
  // The download writes FA 06 and 3 bytes, then FA 21 and 27 bytes, one byte at
  // a time with a 3 ms pause after each.
  const double start = check::NowMs();
  const int loaded = loadForm(form, "");
  const double took = check::NowMs() - start;
  std::printf("  MR_LoadForm: %d in %.0f ms\n", loaded, took);
  if (!EQUAL(loaded, 0)) return;
  CHECK(took >= 34 * 3);

  static char out[16384 + 16];
  int index = 0, good = 0;
  for (const Expected& want : sheets) {
    ++index;
    const int result = read();
    if (want.error != 0) {
      CHECK_EQ(result, -1);
      CHECK_EQ(getLastError(), want.error);
      continue;
    }
    if (!EQUAL(result, 0)) {
      std::printf("     sheet %d: error %d\n", index, getLastError());
      continue;
    }
    ++good;
    for (int mode = 0; mode <= 3; ++mode) {
      std::string prefix;
      if (mode == 1 || mode == 3) prefix += want.letter;
      if (mode == 2 || mode == 3) prefix += '\0';
      const std::string expected = prefix + want.text;
      std::memset(out, 0x5A, sizeof out);
      const int n = getResult(out, mode);
      if (!EQUAL(n, expected.size())) continue;
      if (!CHECK_BYTES(out, expected.data(), expected.size()))
        std::printf("     sheet %d mode %d: %.*s\n", index, mode, n, out);
      CHECK_EQ(out[n], 0);
      CHECK_EQ(out[n + 1], 0x5A);
    }
  }
  std::printf("  %d sheets read: %d with a result, %d failing as expected\n", index, good, index - good);
  // The tray is empty now (the simulator answers 16 for an empty tray).
  CHECK_EQ(read(), -1);
  CHECK_EQ(getLastError(), 16);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<Expected> sheets;
  const char* form = argc >= 3 ? argv[1] : nullptr;
  if (form && !CHECK(ReadExpected(argv[2], sheets))) std::printf("     cannot read %s\n", argv[2]);

  api::Module dll = api::Load(OMR_TEST_LIBRARY);
  if (!CHECK(dll != nullptr)) return check::Finish("e2e_test");
  auto installed = api::Get<api::IntOfInt>(dll, "MR_Installed");
  auto close = api::Get<api::BoolOfVoid>(dll, "MR_Close");
  auto getLastError = api::Get<api::IntOfVoid>(dll, "MR_GetLastError");
  if (CHECK(installed && close && getLastError)) {
    const double start = check::NowMs();
    const int token = installed(0);
    std::printf("  MR_Installed: %d in %.0f ms\n", token, check::NowMs() - start);
    CHECK(token != 0);
    CHECK_EQ(getLastError(), 0);  // the set-up commands all answered
    if (token != 0 && form && !sheets.empty()) ReadSheets(dll, form, sheets);
    CHECK_EQ(close(), 1);
    CHECK_EQ(getLastError(), 8);
  }
  CHECK(api::Free(dll));
  return check::Finish("e2e_test");
}
