// End-to-end test support: the built shared library loaded with dlopen and
// called through its exports only, omrsim started as a child process on a pty,
// and the expected file omrsim writes for the sheets it queued.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "omr.h"

namespace omr::e2e {

// Every export, resolved by name from the loaded library. The pointer types come
// from include/omr.h; the test binary itself does not link the library.
#define OMR_E2E_EXPORTS(X)                                                                                   \
  X(MR_Installed)                                                                                            \
  X(MR_Close)                                                                                                \
  X(CloseCom)                                                                                                \
  X(MR_GetDeviceName) X(MR_GetDeviceNum) X(MR_GetType) X(MR_CheckAbility) X(MR_LoadForm) X(MR_AddFormLine)   \
      X(MR_Clear) X(MR_Read) X(MR_ReadNoWait) X(MR_ReadWithLine) X(MR_GetResult) X(MR_GetBarcodeString)      \
          X(MR_IsReading) X(MR_StopRead) X(MR_StartMotor) X(MR_StopMotor) X(MR_PassSheet) X(MR_GetLastError) \
              X(MR_GetErrMsg) X(MR_GetErrMsgEn) X(MR_SysCmd) X(MR_GetSerial) X(MR_ReadTotal)                 \
                  X(MR_SaveConfig) X(MR_GetPara) X(MR_SetPara) X(OmrS) X(OmrG) X(OmrVer)

struct Library {
#define OMR_E2E_POINTER(name) decltype(&::name) name = nullptr;
  OMR_E2E_EXPORTS(OMR_E2E_POINTER)
#undef OMR_E2E_POINTER

  // dlopen(OMR_LIBRARY_PATH) and resolve every export; false with `error` set
  // when the library or a name is missing.
  bool Load(std::string& error);
  // Closes a connection left open (unloading a connected library costs a clear
  // command), then dlclose. True when the library left the process, so the
  // next Load starts with a fresh driver context.
  bool Unload();
  bool Loaded() const {
    return handle_ != nullptr;
  }

 private:
  void* handle_ = nullptr;
};

// One sheet of omrsim's expected file.
struct ExpectedSheet {
  int error = 0;     // the read's error code; 0 when the sheet reads
  char letter = 0;   // result letter (mode 1), when error is 0
  std::string text;  // question characters, when error is 0
};

// Parses an expected file ("LETTER TEXT" or "! CODE" a line, \xHH escapes).
bool ReadExpectedFile(const std::string& path, std::vector<ExpectedSheet>& sheets, std::string& error);

// omrsim on a pty as a child process.
class Simulator {
 public:
  Simulator() = default;
  ~Simulator() { Stop(); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Starts omrsim with `args` plus --link, --expected (when `wantExpected`) and
  // --verbose (its log goes to a file), and waits until the link exists.
  bool Start(const std::vector<std::string>& args, std::string& error, bool wantExpected = true);
  // SIGTERM and wait; true when omrsim exited with 0 and removed its link.
  bool Stop();

  const std::string& Link() const { return link_; }
  const std::string& ExpectedPath() const { return expectedPath_; }
  const std::vector<ExpectedSheet>& Expected() const { return expected_; }
  std::string Log() const;
  // Waits until omrsim's log holds `text` (at most `timeoutMs`).
  bool WaitForLog(const std::string& text, int timeoutMs) const;

 private:
  pid_t pid_ = -1;
  std::string link_;
  std::string logPath_;
  std::string expectedPath_;
  std::vector<ExpectedSheet> expected_;
};

// A unique path in the test's temporary directory.
std::string TempPath(const std::string& stem);
// An example file of the source tree (examples/NAME).
std::string ExamplePath(const std::string& name);
bool WriteTextFile(const std::string& path, const std::string& text);

// Bytes of a C text as a readable string for messages (escapes outside 0x21..0x7E).
std::string Printable(const std::string& bytes);

}  // namespace omr::e2e
