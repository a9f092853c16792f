// The legacy text-command interface: short text commands over the same
// operations as the MR_ functions, connecting to the reader on demand.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/driver_module.h"

namespace omr {

namespace {

constexpr int kLocalResultSize = 2048;
constexpr int kFileNameSize = 260;

// Writes a reply back into the caller's command text. The caller's buffer
// size is unknown: it is taken to be the larger of the text's own length plus
// its zero and the 3 bytes a caller must always provide, and the reply is cut
// to fit it.
void WriteBack(char* command, std::size_t writable, const char* reply) {
  const std::size_t room = writable < 3 ? 3 : writable;
  std::size_t n = std::strlen(reply);
  if (n > room - 1) n = room - 1;
  std::memcpy(command, reply, n);
  command[n] = '\0';
}

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

bool DriverModule::ConnectOnDemand() {
  if (installedValue != 0) return true;
  installedValue = static_cast<std::int32_t>(context.FindReader());
  return installedValue != 0;
}

int DriverModule::OmrS(char* command) {
  if (command == nullptr) return -1;
  if (installedValue == 0) {
    const bool connected = ConnectOnDemand();
    formSent = false;
    if (!connected) {
      std::snprintf(replyBuffer, sizeof replyBuffer, "08");
      return -1;
    }
  }
  const std::size_t length = std::strlen(command);
  const std::size_t writable = length + 1;

  if (length == 0) {
    std::snprintf(replyBuffer, sizeof replyBuffer, "OK");
    return 0;
  }

  const long n = std::strtol(command, nullptr, 10);
  if (n > 0) {
    // A piece of the last result: from character n (1 is the form letter),
    // one more character than the spaces that follow the three-digit number.
    std::memset(replyBuffer, 0, sizeof replyBuffer);
    std::size_t spaces = 0;
    for (std::size_t i = 3; i < length && command[i] == ' '; ++i) ++spaces;
    char local[kLocalResultSize] = {};
    const int got = context.GetResult(resultScratch, 1);
    if (got > 0) {
      const std::size_t keep =
          got < kLocalResultSize - 1 ? static_cast<std::size_t>(got) : kLocalResultSize - 1;
      std::memcpy(local, resultScratch, keep);
    }
    const std::size_t localLength = std::strlen(local);
    const std::size_t start = static_cast<std::size_t>(n) - 1;
    if (start < localLength) {
      std::size_t count = (spaces < localLength ? spaces : localLength) + 1;
      for (std::size_t i = 0; i < count && start + i < localLength; ++i) replyBuffer[i] = local[start + i];
    }
    return static_cast<int>(std::strlen(replyBuffer));
  }

  if (command[0] == '/' || StartsWith(command, "R/")) {
    if (!formSent) formSent = context.FinishForm();
    if (context.Read() == 0) {
      WriteBack(command, writable, "OK");
      std::snprintf(replyBuffer, sizeof replyBuffer, "OK");
      return 0;
    }
    char code[16];
    std::snprintf(code, sizeof code, "%02d", context.GetLastError());
    WriteBack(command, writable, code);
    std::snprintf(replyBuffer, sizeof replyBuffer, "%02d", context.GetLastError());
    return -1;
  }

  if (StartsWith(command, "-/")) {
    context.StopMotor();
    return 0;
  }

  if (StartsWith(command, "B/")) {
    std::memset(replyBuffer, 0, sizeof replyBuffer);
    context.Clear();
    formSent = false;
    return 0;
  }

  if (command[0] == 'S') {
    formSent = false;
    std::size_t end = length;
    while (end > 0 && command[end - 1] == ' ') command[--end] = '\0';
    if (end > 0 && command[end - 1] == '/') command[--end] = '\0';
    const char* name = end > 2 ? command + 2 : "";
    const std::size_t nameLength = std::strlen(name);
    bool loaded = false;
    if (nameLength < kFileNameSize) {
      char fileName[kFileNameSize] = {};
      std::memcpy(fileName, name, nameLength);
      context.Clear();
      loaded = context.LoadFormFile(fileName);
    }
    WriteBack(command, writable, loaded ? "OK" : "01");
    std::snprintf(replyBuffer, sizeof replyBuffer, "%s", loaded ? "OK" : "01");
    return loaded ? 0 : -1;
  }

  // A form line without its quotes. One too long for a form line is handed
  // over as it is, to be refused there with its code.
  if (length <= kFormLineMax) {
    char line[kFormLineMax + 3];
    std::snprintf(line, sizeof line, "\"%s\"", command);
    context.StoreFormLine(line);
  } else {
    context.StoreFormLine(command);
  }
  formSent = false;
  return 0;
}

int DriverModule::OmrG(char* out) {
  if (out == nullptr || !ConnectOnDemand()) return -1;
  std::memcpy(out, replyBuffer, std::strlen(replyBuffer));
  std::memset(replyBuffer, 0, sizeof replyBuffer);
  return 0;
}

int DriverModule::OmrVer(char* out) {
  if (out == nullptr || !ConnectOnDemand()) return -1;
  char serial[36] = {};
  context.GetSerial(serial);
  if (serial[0] == '\0') std::snprintf(serial, sizeof serial, "88888888");
  std::memcpy(out, serial, std::strlen(serial) + 1);
  return 0;
}

}  // namespace omr
