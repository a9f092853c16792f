// Serial port.
#pragma once

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
};

}  // namespace omr
