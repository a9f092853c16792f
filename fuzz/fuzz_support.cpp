#include "fuzz_support.h"

#include <cstdlib>
#include <memory>

#include "read/crc16.h"
#include "read/device_frame.h"

// The fuzz targets link with --wrap for omr::SleepMs: the fixed pauses return
// at once so that an input runs in microseconds. Time-outs never wait either
// (the scripted port answers short reads at once).
extern "C" void __wrap__ZN3omr7SleepMsEi(int) {}

namespace omr::fuzz {

void Initialize() {
  setenv("OMR_SERIAL_PORTS", "/nonexistent/omr-fuzz", 1);
}

void FixFrame(std::vector<std::uint8_t>& frame, std::size_t offset, bool lengths) {
  if (frame.size() < offset + kFrameHeaderSize + kFrameCrcSize) return;
  std::uint8_t* header = frame.data() + offset;
  const std::size_t room = frame.size() - offset - kFrameHeaderSize - kFrameCrcSize;
  if (lengths) {
    const std::size_t a = room < 0xFFFF ? room : 0xFFFF;
    header[4] = static_cast<std::uint8_t>(a);
    header[5] = static_cast<std::uint8_t>(a >> 8);
    header[8] = 0;
    header[9] = 0;
  }
  const std::size_t dataLength = static_cast<std::size_t>(DeviceFrame::DataLength(header));
  if (dataLength > room) return;
  std::uint8_t* data = header + kFrameHeaderSize;
  const std::uint16_t crc = Crc16(data, static_cast<int>(dataLength), 0);
  data[dataLength] = static_cast<std::uint8_t>(crc);
  data[dataLength + 1] = static_cast<std::uint8_t>(crc >> 8);
}

void ServeReplies(test::ScriptedPort& port, FuzzedDataProvider& data) {
  port.Respond([&data](test::ScriptedPort& p, const test::Bytes& written) {
    if (data.remaining_bytes() == 0) return;
    const auto length = data.ConsumeIntegral<std::uint16_t>();
    const std::uint8_t flags = data.ConsumeIntegral<std::uint8_t>();
    std::vector<std::uint8_t> reply = data.ConsumeBytes<std::uint8_t>(length);
    // A sheet data request: FB 26 and a frame that passes the CRC most of the time.
    if (written.size() == 2 && written[1] == 0x26 && (flags & 1) != 0) {
      if (reply.size() >= 2) {
        reply[0] = 0xFB;
        reply[1] = 0x26;
      }
      FixFrame(reply, 0, (flags & 2) != 0);
    }
    // The reply header usually right, so the payload gets looked at.
    if ((flags & 4) != 0 && reply.size() >= 2 && written.size() >= 2) {
      reply[0] = 0xFB;
      reply[1] = written[1];
      // A status word of 0 lets a status reply go on to its data.
      if ((flags & 8) != 0 && reply.size() >= 4) reply[2] = reply[3] = 0;
    }
    p.Queue(reply);
  });
}

std::vector<std::string> SplitLines(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> lines;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '\n') {
      if (!current.empty() && current.back() == '\r') current.pop_back();
      lines.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

}  // namespace omr::fuzz
