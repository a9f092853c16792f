// The reader through libomr's C interface (and the driver's rules that
// libomr-offline tells): finding it, saying why none answered, its version and
// its sheet wait. What a program that drives a reader needs beside the read
// loop (read_loop.h).
#pragma once

#include <string>
#include <vector>

namespace omr::reading {

// The library's error codes that a reading program tells apart.
inline constexpr int kErrorCommunication = 8;  // the reader did not answer, or answered wrongly
inline constexpr int kErrorNoSheet = 16;       // no status reply (version 3.0: an empty tray)

// MR_SysCmd codes used here and by the programs.
inline constexpr int kSysParameters = 8;
inline constexpr int kSysChannels = 17;
inline constexpr int kSysInfoBlock = 20;
inline constexpr int kSysVersion = 23;
inline constexpr int kSysGrid = 25;
inline constexpr int kSysUserText = 29;

// MR_StopMotor's answer when the transport stopped.
inline constexpr int kMotorStopped = 0x02FB;

// With `port` set, the library looks only there (OMR_SERIAL_PORTS). True when
// a reader answered; `name` then tells where: a serial device path, or "USB
// bridge".
bool ConnectReader(const std::string& port, std::string& name);

// Why no reader was found, in words that say what to do, one line each: a
// port that does not exist, one the user may not open ("add your user to
// the dialout group"), one another program holds, one that did not answer.
// `port` as for ConnectReader. Ports the library found nothing wrong with in
// its own list give no line.
std::vector<std::string> ExplainNoReader(const std::string& port);

// MR_Close, so that unloading the library sends nothing more.
void DisconnectReader();

// MR_GetLastError (it waits 200 ms).
int ReaderError();

// The firmware version the reader reports; false (and "") when it does not
// answer.
bool ReaderVersion(std::string& version);

// The reader's serial number (MR_GetSerial) without its trailing blanks; ""
// when it gives none.
std::string ReaderSerial();

// Whether a reader of this version has a parameter block that sets its wait.
bool WaitFromParameters(const std::string& version);

// The reader's sheet wait in milliseconds, from its version and parameter
// block, as the library derives it at connection.
int SheetWaitMs(const std::string& version, const unsigned char* parameters, bool haveParameters);

// Loads a form file into the reader (MR_LoadForm): 0, or the library's error.
int LoadForm(const std::string& path);

}  // namespace omr::reading
