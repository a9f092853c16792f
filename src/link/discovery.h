// Finding the reader and connecting to it; the device identity answers.
#pragma once

#include <cstdint>
#include <string>

#include "link/link.h"
#include "port/com.h"
#include "port/usb.h"

namespace omr {

struct ConnectionView {
  Handle& portHandle;
  CPort*& activePort;
  CCom& comPort;
  CUsb& usbPort;
  std::int32_t& channelCount;
  std::int32_t& sheetWaitMs;
  std::string& firmwareVersion;
  Link& link;
};

inline constexpr const char* kScanSettings = "115200,n,8,1";
inline constexpr int kSerialProbeMs = 50;
inline constexpr int kUsbProbeMs = 1000;
inline constexpr int kSerialQueueSize = 8192;
// Longest candidate list taken from the environment.
inline constexpr int kMaxSerialCandidates = 256;

// The platform's serial device names in scan order: `index` from 0; false
// past the last one.
bool SerialCandidate(int index, std::string& name);

// Whether a serial candidate can have a device behind it. On Linux an
// on-board terminal (ttyS) that the kernel lists without a UART (type 0 in
// sysfs) has none, and opening it only wastes the scan's time.
bool SerialHardwarePresent(const std::string& name);
#ifndef _WIN32
// The same test against a sysfs tty class directory (tests give their own).
bool SerialHardwarePresent(const std::string& name, const std::string& sysfsTty);
#endif

// The connection token, 0 when no reader answered.
Handle FindReader(const ConnectionView& view);
bool CloseReader(const ConnectionView& view, Handle token);

inline constexpr int kDeviceNumber = 2005;
// The device name in GBK: 16 bytes.
inline constexpr char kDeviceName[] = "HalvexorZuta\xCF\xB5\xC1\xD0";
int GetDeviceName(int number, char* out);
int CheckAbility(int code);

}  // namespace omr
