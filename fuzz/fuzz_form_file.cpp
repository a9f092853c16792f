// Whole form files: loaded from an in-memory file through ReadFormFile (with
// and without an observer that carries on after rejected lines), then
// summarised and sent to a scripted reader that acknowledges everything.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "form/form_loader.h"
#include "fuzz_support.h"

using namespace omr;

namespace {

int g_file = -1;
char g_name[64];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Initialize();
  g_file = memfd_create("omr-form", 0);
  if (g_file < 0) return 1;
  std::snprintf(g_name, sizeof g_name, "/proc/self/fd/%d", g_file);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the way through; the rest is the file.
  const std::uint8_t mode = data[0];
  if (ftruncate(g_file, 0) != 0 || pwrite(g_file, data + 1, size - 1, 0) != static_cast<ssize_t>(size - 1))
    return 0;

  fuzz::Fresh<FormDefinition> forms;
  ReaderSettings settings;
  std::int32_t error = 0;
  int seen = 0;
  const FormLineObserver observer = [&seen, mode](const FormLineReport& report) {
    ++seen;
    return report.code != 0 && (mode & 2) != 0;
  };
  const bool read = ReadFormFile(*forms, settings, g_name, error, (mode & 1) != 0 ? observer : nullptr);
  if (read != (error == 0)) __builtin_trap();

  // The whole loader against a reader that acknowledges every command.
  test::ScriptedPort port;
  port.Respond([](test::ScriptedPort& p, const test::Bytes& written) {
    if (written.size() >= 2) p.Queue({0xFB, written[1], 0x01, 0x00});
  });
  CPort* active = &port;
  std::int32_t lastError = 0;
  Link link(active, lastError);
  fuzz::Fresh<FormDefinition, 1> second;
  if ((mode & 4) != 0) ReadFormFile(*second, settings, g_name, error);  // a file loaded twice over
  LoadFormFile(*second, settings, link, g_name);
  return 0;
}
