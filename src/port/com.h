// Serial port.
#pragma once

#ifndef _WIN32
#include <termios.h>
#endif

#include "port/port.h"

namespace omr {

class CCom : public CPort {
 public:
  CCom();
  ~CCom();

  Handle OpenWith(const char* name, const char* settings) override;
  Handle Open() override;
  int Close(Handle h) override;
  int Purge() override;
  int Read(std::uint8_t* buffer, int count, int timeoutMs) override;
  int Write(const std::uint8_t* data, int count) override;
  int GetInQueue() override;
  int SetInBufferSize(int size) override;
  int SetOutBufferSize(int size) override;

 private:
  // Platform state of the open device (file descriptor or HANDLE); `handle`
  // is the non-zero token derived from it.
  std::intptr_t device_ = -1;
#ifndef _WIN32
  // The terminal's settings before Open changed them, put back on Close so
  // that a port belonging to another device is left as it was found.
  termios savedLine_{};
#endif
};

}  // namespace omr
