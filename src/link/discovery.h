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

// The connection token, 0 when no reader answered.
Handle FindReader(const ConnectionView& view);
bool CloseReader(const ConnectionView& view, Handle token);

inline constexpr int kDeviceNumber = 2005;
int GetDeviceName(int number, char* out);
int CheckAbility(int code);

}  // namespace omr
