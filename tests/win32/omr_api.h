// The DLL's interface as a test program sees it: the export names and the
// __stdcall pointer types, resolved at run time with GetProcAddress.
#pragma once

#include <windows.h>

namespace api {

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

using IntOfInt = int(__stdcall*)(int);
using IntOfVoid = int(__stdcall*)();
using BoolOfVoid = unsigned char(__stdcall*)();
using IntOfIntInt = int(__stdcall*)(int, int);
using IntOfIntText = int(__stdcall*)(int, char*);

template <typename F>
F Get(HMODULE module, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace api
