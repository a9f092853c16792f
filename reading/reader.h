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

// How long finding a reader waits for a port that another process has just
// let go (a run that was killed: its reader may still be finishing the sheet
// in flight, or the port still be marked in use for a moment).
inline constexpr int kPortReleaseWaitMs = 2000;

// With `port` set, the library looks only there (OMR_SERIAL_PORTS). True when
// a reader answered; `name` then tells where: a serial device path, or "USB
// bridge". When none answered but a port was busy, or opened and stayed
// silent, the search is made again every 200 ms for up to kPortReleaseWaitMs.
bool ConnectReader(const std::string& port, std::string& name);

// What became of one port the library tried.
enum class PortState {
  kMissing,    // no such device
  kNotSerial,  // something that is not a serial port
  kDenied,     // the user may not open it
  kBusy,       // another program holds it
  kSilent,     // it opened, and nothing answered
  kFailed,     // it could not be opened for another reason
};

struct PortTried {
  std::string name;
  PortState state = PortState::kMissing;
  std::string why;  // in words that say what to do
};

// The serial ports the library tries (`port` as for ConnectReader), each
// with what keeps it from being the reader, looked at now.
std::vector<PortTried> TryPorts(const std::string& port);

// Why no reader was found, one line each: every port tried and why it is not
// the reader (a port that does not exist, one the user may not open: "add your
// user to the dialout group", one another program holds, one that did not
// answer), the names looked for that do not exist, and the USB bridge.
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
