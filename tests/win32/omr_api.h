// The DLL's interface as a test program sees it: the export names and the
// __stdcall pointer types, resolved at run time with GetProcAddress. The
// end-to-end program is built for Linux too, where dlopen and dlsym stand in.
#pragma once

#ifdef _WIN32
#include <windows.h>
#define API_CALL __stdcall
#else
#include <dlfcn.h>
#define API_CALL
#endif

namespace api {

#ifdef _WIN32
using Module = HMODULE;
inline Module Load(const char* path) {
  return LoadLibraryA(path);
}
inline bool Free(Module module) {
  return FreeLibrary(module) != 0;
}
inline void* Symbol(Module module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}
#else
using Module = void*;
inline Module Load(const char* path) {
  return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}
inline bool Free(Module module) {
  return dlclose(module) == 0;
}
inline void* Symbol(Module module, const char* name) {
  return dlsym(module, name);
}
#endif

// Every export, under its plain name.
inline const char* const kExports[] = {"MR_Installed",
                                       "MR_Close",
                                       "CloseCom",
                                       "MR_GetDeviceName",
                                       "MR_GetDeviceNum",
                                       "MR_GetType",
                                       "MR_CheckAbility",
                                       "MR_LoadForm",
                                       "MR_AddFormLine",
                                       "MR_Clear",
                                       "MR_Read",
                                       "MR_ReadNoWait",
                                       "MR_ReadWithLine",
                                       "MR_GetResult",
                                       "MR_GetBarcodeString",
                                       "MR_IsReading",
                                       "MR_StopRead",
                                       "MR_StartMotor",
                                       "MR_StopMotor",
                                       "MR_PassSheet",
                                       "MR_GetLastError",
                                       "MR_GetErrMsg",
                                       "MR_GetErrMsgEn",
                                       "MR_SysCmd",
                                       "MR_GetSerial",
                                       "MR_ReadTotal",
                                       "MR_SaveConfig",
                                       "MR_GetPara",
                                       "MR_SetPara",
                                       "OmrS",
                                       "OmrG",
                                       "OmrVer"};
constexpr int kExportCount = sizeof kExports / sizeof kExports[0];

using IntOfInt = int(API_CALL*)(int);
using IntOfVoid = int(API_CALL*)();
using BoolOfVoid = unsigned char(API_CALL*)();
using IntOfIntInt = int(API_CALL*)(int, int);
using IntOfIntText = int(API_CALL*)(int, char*);

template <typename F>
F Get(Module module, const char* name) {
  return reinterpret_cast<F>(Symbol(module, name));
}

}  // namespace api
