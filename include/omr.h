/* omr: driver library of a desktop optical mark reader.
 *
 * Every function blocks its caller until its exchanges with the reader end or
 * time out. Text is 8-bit in the GBK code page. The functions are not safe to
 * call from two threads at once. */
#ifndef OMR_H
#define OMR_H

#ifdef _WIN32
#define OMR_CALL __stdcall
#else
#define OMR_CALL
#endif

#if defined(_WIN32)
#define OMR_API
#elif defined(OMR_BUILDING_LIBRARY)
#define OMR_API __attribute__((visibility("default")))
#else
#define OMR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Connection and device identity */
OMR_API int OMR_CALL MR_Installed(int ignored);
OMR_API unsigned char OMR_CALL MR_Close(void);
OMR_API unsigned char OMR_CALL CloseCom(void);
OMR_API int OMR_CALL MR_GetDeviceName(int deviceNumber, char* out);
OMR_API int OMR_CALL MR_GetDeviceNum(int ignored);
OMR_API int OMR_CALL MR_GetType(void);
OMR_API int OMR_CALL MR_CheckAbility(int capability);

/* Forms */
OMR_API int OMR_CALL MR_LoadForm(const char* fileName, const char* secondText);
OMR_API unsigned char OMR_CALL MR_AddFormLine(const char* line);
OMR_API unsigned char OMR_CALL MR_Clear(void);

/* Reading and results */
OMR_API int OMR_CALL MR_Read(void);
OMR_API int OMR_CALL MR_ReadNoWait(void);
OMR_API int OMR_CALL MR_ReadWithLine(int line);
OMR_API int OMR_CALL MR_GetResult(char* out, int mode);
OMR_API int OMR_CALL MR_GetBarcodeString(int ignored1, int ignored2);

/* Transport */
OMR_API int OMR_CALL MR_IsReading(void);
OMR_API int OMR_CALL MR_StopRead(void);
OMR_API int OMR_CALL MR_StartMotor(void);
OMR_API int OMR_CALL MR_StopMotor(void);
OMR_API unsigned char OMR_CALL MR_PassSheet(void);

/* Errors */
OMR_API int OMR_CALL MR_GetLastError(void);
OMR_API int OMR_CALL MR_GetErrMsg(int code, char* out);
OMR_API int OMR_CALL MR_GetErrMsgEn(int code, char* out);

/* Maintenance */
OMR_API int OMR_CALL MR_SysCmd(int code, void* arg);
OMR_API int OMR_CALL MR_GetSerial(char* out);
OMR_API int OMR_CALL MR_ReadTotal(void);
OMR_API int OMR_CALL MR_SaveConfig(void);
OMR_API int OMR_CALL MR_GetPara(int ignored);
OMR_API int OMR_CALL MR_SetPara(int ignored);

/* Legacy text-command interface */
OMR_API int OMR_CALL OmrS(char* command);
OMR_API int OMR_CALL OmrG(char* out);
OMR_API int OMR_CALL OmrVer(char* out);

#ifdef __cplusplus
}
#endif

#endif /* OMR_H */
