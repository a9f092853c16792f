// omrctl scan, info, motor and errors: the reader's identity, its stored
// data, the transport, and the library's messages.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "json.h"
#include "omr.h"
#include "reader.h"
#include "text.h"

namespace omrctl {

using namespace omr::reading;

namespace {

constexpr int kInfoBlockSize = 128;
constexpr int kUserTextArea = 512;

int NotConnected(const GlobalOptions& global) {
  ReportNoReader(global.port);
  return kExitReader;
}

std::string Hex(const std::uint8_t* bytes, int count) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (i) text += ' ';
    text += kHex[bytes[i] >> 4];
    text += kHex[bytes[i] & 15];
  }
  return text;
}

// Stored text for the terminal: trailing blanks and zeros dropped, GBK turned
// into UTF-8, control bytes escaped.
std::string StoredText(const char* bytes, std::size_t size) {
  std::size_t n = strnlen(bytes, size);
  while (n > 0 && bytes[n - 1] == ' ') --n;
  std::string converted = GbkToUtf8(std::string_view(bytes, n));
  std::string out;
  for (const char c : converted) {
    if (static_cast<unsigned char>(c) < 0x20)
      out += EscapeBytes(std::string(1, c));
    else
      out += c;
  }
  return out;
}

struct Item {
  Item(const char* key, const char* label) : key(key), label(label) {}
  const char* key;
  const char* label;
  bool ok = false;
  std::string value;
  long long number = -1;  // a number for JSON, when >= 0
};

void Print(const std::string& port, const std::vector<Item>& items, bool json) {
  if (json) {
    Json j;
    j.BeginObject().Member("port", port);
    for (const Item& item : items) {
      j.Key(item.key);
      if (!item.ok)
        j.Null();
      else if (item.number >= 0)
        j.Number(item.number);
      else
        j.String(item.value);
    }
    j.EndObject();
    std::printf("%s\n", j.Text().c_str());
    return;
  }
  std::printf("reader on %s\n", port.c_str());
  for (const Item& item : items)
    std::printf("  %-16s %s\n", item.label, item.ok ? item.value.c_str() : "(no answer)");
}

}  // namespace

int RunScan(const GlobalOptions& global, bool json) {
  std::string port;
  if (!ConnectReader(global.port, port)) return NotConnected(global);
  std::vector<Item> items = {{"firmware", "firmware"},
                             {"channels", "channels"},
                             {"serial", "serial number"},
                             {"sheet_wait_ms", "sheet wait"}};
  items[0].ok = ReaderVersion(items[0].value);
  const std::string& version = items[0].value;
  std::int32_t channels = 0;
  items[1].ok = MR_SysCmd(kSysChannels, &channels) == 1;
  items[1].value = std::to_string(channels);
  items[1].number = channels;
  char serial[32] = {};
  const int length = MR_GetSerial(serial);
  items[2].ok = length >= 0;
  items[2].value = StoredText(serial, sizeof serial);
  std::uint8_t parameters[4] = {};
  const bool haveParameters =
      items[0].ok && WaitFromParameters(version) && MR_SysCmd(kSysParameters, parameters) == 1;
  const int wait = SheetWaitMs(version, parameters, haveParameters);
  items[3].ok = true;
  items[3].value = std::to_string(wait) + " ms";
  items[3].number = wait;
  DisconnectReader();
  Print(port, items, json);
  for (const Item& item : items)
    if (!item.ok) return kExitReader;
  return kExitOk;
}

int RunInfo(const GlobalOptions& global, bool json) {
  std::string port;
  if (!ConnectReader(global.port, port)) return NotConnected(global);
  std::vector<Item> items = {{"serial", "serial number"},
                             {"info_block", "info block"},
                             {"user_text", "user text"},
                             {"total", "total counter"},
                             {"parameters", "parameter block"}};
  char serial[32] = {};
  items[0].ok = MR_GetSerial(serial) >= 0;
  items[0].value = StoredText(serial, sizeof serial);
  char block[kInfoBlockSize + 1] = {};
  items[1].ok = MR_SysCmd(kSysInfoBlock, block) == 1;
  items[1].value = StoredText(block, kInfoBlockSize);
  char user[kUserTextArea + 1] = {};
  items[2].ok = MR_SysCmd(kSysUserText, user) == 1;
  items[2].value = StoredText(user, kUserTextArea);
  // The total counter cannot tell 0 from a failure: a version query first
  // clears the last error, so 8 afterwards means the counter did not answer.
  std::string version;
  ReaderVersion(version);
  const int total = MR_ReadTotal();
  items[3].ok = total != 0 || ReaderError() != kErrorCommunication;
  items[3].value = std::to_string(static_cast<std::uint32_t>(total));
  items[3].number = static_cast<std::uint32_t>(total);
  std::uint8_t parameters[4] = {};
  items[4].ok = MR_SysCmd(kSysParameters, parameters) == 1;
  items[4].value = Hex(parameters, 4);
  DisconnectReader();
  Print(port, items, json);
  for (const Item& item : items)
    if (!item.ok) return kExitReader;
  return kExitOk;
}

int RunMotor(const GlobalOptions& global, const std::string& action) {
  std::string port;
  if (!ConnectReader(global.port, port)) return NotConnected(global);
  bool ok = false;
  const char* done = "";
  if (action == "start") {
    ok = MR_StartMotor() == 0x01FB;
    done = "motor started";
  } else if (action == "stop") {
    ok = MR_StopMotor() == kMotorStopped;
    done = "motor stopped";
  } else {
    ok = MR_PassSheet() == 1;
    done = "sheet passed";
  }
  if (ok) {
    std::printf("%s\n", done);
  } else {
    const int code = ReaderError();
    std::fprintf(stderr, "omrctl: motor %s: error %d: %s\n", action.c_str(), code,
                 ErrorText(code, global.chinese).c_str());
  }
  DisconnectReader();
  return ok ? kExitOk : kExitReader;
}

int RunErrors(const GlobalOptions&, bool json) {
  Json j;
  j.BeginArray();
  for (int code = 1; code <= 99; ++code) {
    char english[64] = {};
    char chinese[64] = {};
    if (MR_GetErrMsgEn(code, english) < 0) continue;
    MR_GetErrMsg(code, chinese);
    const std::string zh = GbkToUtf8(chinese);
    if (json)
      j.BeginObject().Member("code", code).Member("english", english).Member("chinese", zh).EndObject();
    else
      std::printf("%3d  %-40s %s\n", code, english, zh.c_str());
  }
  j.EndArray();
  if (json) std::printf("%s\n", j.Text().c_str());
  return kExitOk;
}

}  // namespace omrctl
