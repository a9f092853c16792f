// Faults the simulated reader can inject into its replies, per command code.
#pragma once

#include <cstdint>
#include <string>

namespace omr::sim {

enum class FaultKind {
  Silence,         // no reply at all
  Delay,           // reply after `value` ms
  ShortReply,      // only the first `value` bytes (default: all but the last)
  WrongCode,       // byte 1 is another command code
  Status,          // status word `value` (data of a status reply dropped when not 0)
  CorruptCrc,      // CRC (or, without one, the last byte) changed
  OversizeHeader,  // length fields announce more than any host area holds
  HangUp,          // `value` bytes of the reply (default: half), then the line hangs up
  Drip,            // the reply one byte at a time, `value` ms apart (default 300)
};

struct Fault {
  FaultKind kind = FaultKind::Silence;
  int value = -1;  // -1: the kind's default
  bool once = true;
  int after = 0;  // commands of its code answered normally before it fires
};

// "CODE:KIND[=VALUE][:once|:always][:after=N]", CODE in hex (e.g. 26 or 0x26),
// KIND one of silence, delay, short, wrong-code, status, crc, oversize,
// hangup, drip. A fault fires once unless ":always" is given; with ":after=N"
// the first N commands of its code are answered normally.
bool ParseFault(const std::string& text, std::uint8_t& code, Fault& fault, std::string& error);

const char* FaultName(FaultKind kind);

}  // namespace omr::sim
