// Helpers shared by the fuzz targets: a scripted port fed from the fuzzer's
// bytes, frame repair, and form text splitting.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "scripted_port.h"

namespace omr::fuzz {

// Call once from LLVMFuzzerInitialize: keeps discovery off the machine's
// serial ports.
void Initialize();

// Every write queues the next reply taken from `data`: a 16-bit length, then
// that many bytes (fewer at the end of the input). Sheet frames inside a
// reply are repaired (FixFrame) when the repair flag of the reply says so.
void ServeReplies(test::ScriptedPort& port, FuzzedDataProvider& data);

// Makes a frame that starts with a 10-byte header consistent: when `lengths`
// is set the data lengths are rewritten to cover the bytes present; then the
// CRC behind the data is set. Does nothing to a piece shorter than a header
// and its CRC.
void FixFrame(std::vector<std::uint8_t>& frame, std::size_t offset, bool lengths);

// A freshly constructed T in static storage: the large driver objects would
// otherwise be mapped and unmapped by the allocator on every input, which
// costs far more than the input itself. One live object per T and Slot.
template <typename T, int Slot = 0>
class Fresh {
 public:
  template <typename... Args>
  explicit Fresh(Args&&... args) : object_(new (Storage()) T(std::forward<Args>(args)...)) {}
  ~Fresh() { object_->~T(); }
  Fresh(const Fresh&) = delete;
  Fresh& operator=(const Fresh&) = delete;
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  T* get() const { return object_; }

 private:
  static void* Storage() {
    alignas(T) static unsigned char storage[sizeof(T)];
    return storage;
  }
  T* object_;
};

// A zero-filled static buffer of N bytes, one per Slot.
template <std::size_t N, int Slot = 0>
std::uint8_t* ZeroedBuffer() {
  static std::uint8_t buffer[N];
  std::memset(buffer, 0, N);
  return buffer;
}

// The lines of a text, split at "\n" (a "\r" before it is dropped).
std::vector<std::string> SplitLines(const std::uint8_t* data, std::size_t size);

}  // namespace omr::fuzz
