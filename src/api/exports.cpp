// The flat C interface: each export forwards to the process-wide module.
// One lock serialises the entry points, so calls from several threads are
// harmless (they are still documented as not supported).
#include <mutex>

#include "api/driver_module.h"
#include "api/messages.h"
#include "omr.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

#ifdef _WIN32
omr::DriverModule g_module;
#else
// Constructed before the attach notice below runs.
__attribute__((init_priority(200))) omr::DriverModule g_module;
__attribute__((constructor(201))) void OnProcessAttach() { g_module.ProcessAttach(); }
#endif

std::mutex& EntryLock() {
  static std::mutex lock;
  return lock;
}

template <typename F>
auto Locked(F&& body) {
  std::lock_guard<std::mutex> guard(EntryLock());
  return body(g_module.context);
}

}  // namespace



#ifdef _WIN32
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) g_module.ProcessAttach();
  return TRUE;
}
#endif

using omr::DriverContext;

extern "C" {

OMR_API int OMR_CALL MR_Installed(int v) { return Locked([&](DriverContext&) { return g_module.Installed(v); }); }
OMR_API unsigned char OMR_CALL MR_Close(void) { return Locked([](DriverContext&) { return g_module.Close(); }); }
OMR_API int OMR_CALL MR_GetDeviceName(int n, char* out) { return omr::GetDeviceName(n, out); }
OMR_API int OMR_CALL MR_GetDeviceNum(int) { return omr::kDeviceNumber; }
OMR_API int OMR_CALL MR_GetType(void) { return omr::kDeviceNumber; }
OMR_API int OMR_CALL MR_CheckAbility(int code) { return omr::CheckAbility(code); }

OMR_API int OMR_CALL MR_LoadForm(const char* f, const char* s) { return Locked([&](DriverContext& c) { return c.LoadForm(f, s); }); }
OMR_API unsigned char OMR_CALL MR_AddFormLine(const char* l) { return Locked([&](DriverContext& c) { return c.AddFormLine(l); }); }
OMR_API unsigned char OMR_CALL MR_Clear(void) { return Locked([](DriverContext& c) { c.Clear(); return 0; }); }

OMR_API int OMR_CALL MR_Read(void) { return Locked([](DriverContext& c) { return c.Read(); }); }
OMR_API int OMR_CALL MR_ReadWithLine(int line) { return Locked([&](DriverContext& c) { return c.ReadWithLine(line); }); }
OMR_API int OMR_CALL MR_GetResult(char* out, int mode) { return Locked([&](DriverContext& c) { return c.GetResult(out, mode); }); }
OMR_API int OMR_CALL MR_GetBarcodeString(int, int) { return -100; }

OMR_API int OMR_CALL MR_IsReading(void) { return Locked([](DriverContext& c) { return c.IsReading(); }); }
OMR_API int OMR_CALL MR_StopRead(void) { return Locked([](DriverContext& c) { return c.StopRead(); }); }
OMR_API int OMR_CALL MR_StartMotor(void) { return Locked([](DriverContext& c) { return c.StartMotor(); }); }
OMR_API int OMR_CALL MR_StopMotor(void) { return Locked([](DriverContext& c) { return c.StopMotor(); }); }
OMR_API unsigned char OMR_CALL MR_PassSheet(void) { return Locked([](DriverContext& c) { return c.PassSheet(); }); }

OMR_API int OMR_CALL MR_GetLastError(void) { return Locked([](DriverContext& c) { return c.GetLastError(); }); }
OMR_API int OMR_CALL MR_GetErrMsg(int code, char* out) { return omr::ErrorMessage(code, omr::Language::Chinese, out); }
OMR_API int OMR_CALL MR_GetErrMsgEn(int code, char* out) { return omr::ErrorMessage(code, omr::Language::English, out); }

OMR_API int OMR_CALL MR_SysCmd(int code, void* arg) { return Locked([&](DriverContext& c) { return c.SysCmd(code, arg); }); }
OMR_API int OMR_CALL MR_GetSerial(char* out) { return Locked([&](DriverContext& c) { return c.GetSerial(out); }); }
OMR_API int OMR_CALL MR_ReadTotal(void) { return Locked([](DriverContext& c) { return c.ReadTotal(); }); }
OMR_API int OMR_CALL MR_SaveConfig(void) { return 0; }
OMR_API int OMR_CALL MR_GetPara(int) { return 0; }

OMR_API int OMR_CALL OmrS(char* command) { return Locked([&](DriverContext&) { return g_module.OmrS(command); }); }
OMR_API int OMR_CALL OmrG(char* out) { return Locked([&](DriverContext&) { return g_module.OmrG(out); }); }
OMR_API int OMR_CALL OmrVer(char* out) { return Locked([&](DriverContext&) { return g_module.OmrVer(out); }); }

#ifndef _WIN32
// Three pairs of names share one entry each (the Windows build aliases them in omr.def).
OMR_API unsigned char CloseCom(void) __attribute__((alias("MR_Close")));
OMR_API int MR_ReadNoWait(void) __attribute__((alias("MR_Read")));
OMR_API int MR_SetPara(int) __attribute__((alias("MR_GetPara")));
#endif

}  // extern "C"
