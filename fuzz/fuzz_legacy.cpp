// Legacy text commands through OmrS (with OmrG and OmrVer between them) on
// a connected scripted reader. Input: command lines, a zero byte, then the
// reply stream served to the commands' writes.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "api/driver_module.h"
#include "fuzz_support.h"

using namespace omr;

namespace {

// File commands may only name files in the working directory, which holds
// one small form.
bool SafeFileCommand(const std::string& command) {
  if (command.empty() || command[0] != 'S') return true;
  std::size_t end = command.find_last_not_of(' ');
  if (end == std::string::npos) return true;
  std::string name = command.size() > 2 ? command.substr(2, end - 1) : "";
  if (!name.empty() && name.back() == '/') name.pop_back();
  return name.find('/') == std::string::npos && name.find("..") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize();
  char dir[] = "/tmp/omr-fuzz-legacy-XXXXXX";
  if (mkdtemp(dir) == nullptr || chdir(dir) != 0) return 1;
  if (std::FILE* f = std::fopen("form.txt", "w")) {
    std::fputs("\"T A 030 01/\"\n\"L 030 20 10/\"\n\"D 01 ABCD/\"\n\"F   5   3U S  1   4R 0/\"\n", f);
    std::fclose(f);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const auto* split = static_cast<const std::uint8_t*>(std::memchr(bytes, 0, size));
  const std::size_t textSize = split != nullptr ? static_cast<std::size_t>(split - bytes) : size;
  const std::size_t replyOffset = split != nullptr ? textSize + 1 : size;
  FuzzedDataProvider replies(bytes + replyOffset, size - replyOffset);

  const std::vector<std::string> commands = fuzz::SplitLines(bytes, textSize);
  for (const std::string& c : commands)
    if (!SafeFileCommand(c)) return -1;  // keeps this input out of the corpus

  fuzz::Fresh<DriverModule> module;
  test::ScriptedPort port;
  fuzz::ServeReplies(port, replies);
  module->context.activePort = &port;
  module->context.portHandle = port.GetHandle();
  module->installedValue = static_cast<std::int32_t>(port.GetHandle());

  auto* out = reinterpret_cast<char*>(fuzz::ZeroedBuffer<kReplyBufferSize + 1>());
  for (const std::string& c : commands) {
    // The command in a buffer just large enough, as a caller may pass it.
    const std::size_t room = c.size() + 1 < 3 ? 3 : c.size() + 1;
    auto text = std::make_unique<char[]>(room);
    std::memset(text.get(), 0, room);
    std::memcpy(text.get(), c.data(), c.size());
    module->OmrS(text.get());
    if (!c.empty() && c[0] == 'G') module->OmrG(out);
    if (!c.empty() && c[0] == 'V') {
      char version[40];
      module->OmrVer(version);
    }
  }
  module->context.activePort = nullptr;
  return 0;
}
