// The reader through the library's C interface.
#pragma once

#include <string>
#include <vector>

namespace omrctl {

// The library's error codes that omrctl tells apart.
inline constexpr int kErrorCommunication = 8;  // the reader did not answer, or answered wrongly
inline constexpr int kErrorNoSheet = 16;       // no status reply (version 3.0: an empty tray)

// MR_SysCmd codes omrctl uses.
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

// "omrctl: no reader found[ on PORT]" and the lines of ExplainNoReader on
// stderr.
void ReportNoReader(const std::string& port);

// MR_Close, so that unloading the library sends nothing more.
void DisconnectReader();

// MR_GetLastError (it waits 200 ms).
int ReaderError();

// The firmware version the reader reports; false (and "") when it does not
// answer.
bool ReaderVersion(std::string& version);

// Whether a reader of this version has a parameter block that sets its wait.
bool WaitFromParameters(const std::string& version);

// The reader's sheet wait in milliseconds, from its version and parameter
// block, as the library derives it at connection.
int SheetWaitMs(const std::string& version, const unsigned char* parameters, bool haveParameters);

}  // namespace omrctl
