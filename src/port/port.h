// The byte port between the protocol logic and a device.
#pragma once

#include <cstdint>
#include <string>

namespace omr {

using Handle = std::uint32_t;

// Abstract byte port. Every call blocks until done or timed out; failures show
// as 0 results, never as exceptions. The slot order of the virtual operations
// is fixed and shared by every implementation.
class CPort {
 public:
  CPort() = default;
  CPort(const CPort&) = delete;
  CPort& operator=(const CPort&) = delete;

  virtual Handle OpenWith(const char* name, const char* settings);
  virtual Handle Open() = 0;
  virtual int Close(Handle h) = 0;
  virtual int Purge() = 0;
  // Returns after `count` bytes or `timeoutMs` for the whole call; never more than count.
  virtual int Read(std::uint8_t* buffer, int count, int timeoutMs) = 0;
  virtual int Write(const std::uint8_t* data, int count) = 0;
  virtual int GetInQueue() = 0;
  virtual int SetName(const char* name);
  virtual int SetSettings(const char* settings);
  virtual int SetInBufferSize(int size);
  virtual int SetOutBufferSize(int size);
  virtual int GetInBufferSize();
  virtual int GetOutBufferSize();
  virtual int ResetDevice();

  // Whether the last Read ended because the port reported the device gone
  // (a hang-up or an I/O error), as opposed to a device that stayed silent.
  bool HungUp() const { return hungUp; }

  Handle GetHandle() const { return handle; }
  const std::string& GetName() const { return name; }
  const std::string& GetSettings() const { return settings; }

 protected:
  // Port objects are never deleted through a CPort pointer.
  ~CPort() = default;

  Handle handle = 0;
  std::string name;
  std::string settings;
  std::int32_t inBufferSize = 0;
  std::int32_t outBufferSize = 0;
  bool hungUp = false;
};

}  // namespace omr
