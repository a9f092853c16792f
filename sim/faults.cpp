#include "sim/faults.h"

#include <cerrno>
#include <cstdlib>

namespace omr::sim {

namespace {

struct KindName {
  FaultKind kind;
  const char* name;
  bool takesValue;
};

constexpr KindName kKinds[] = {
    {FaultKind::Silence, "silence", false},
    {FaultKind::Delay, "delay", true},
    {FaultKind::ShortReply, "short", true},
    {FaultKind::WrongCode, "wrong-code", false},
    {FaultKind::Status, "status", true},
    {FaultKind::CorruptCrc, "crc", false},
    {FaultKind::OversizeHeader, "oversize", true},
    {FaultKind::HangUp, "hangup", true},
    {FaultKind::Drip, "drip", true},
};

bool ParseNumber(const std::string& text, int base, long maxValue, long& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, base);
  return errno == 0 && end && *end == '\0' && value >= 0 && value <= maxValue;
}

}  // namespace

const char* FaultName(FaultKind kind) {
  for (const KindName& k : kKinds)
    if (k.kind == kind) return k.name;
  return "?";
}

bool ParseFault(const std::string& text, std::uint8_t& code, Fault& fault, std::string& error) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) {
    error = "fault '" + text + "': expected CODE:KIND";
    return false;
  }
  long number = 0;
  if (!ParseNumber(text.substr(0, colon), 16, 0xFF, number)) {
    error = "fault '" + text + "': command code must be a hex byte";
    return false;
  }
  code = static_cast<std::uint8_t>(number);

  std::string rest = text.substr(colon + 1);
  fault = Fault{};
  const std::size_t second = rest.find(':');
  if (second != std::string::npos) {
    std::string options = rest.substr(second + 1);
    rest.resize(second);
    while (!options.empty()) {
      const std::size_t next = options.find(':');
      const std::string option = options.substr(0, next);
      options = next == std::string::npos ? "" : options.substr(next + 1);
      long after = 0;
      if (option == "once") {
        fault.once = true;
      } else if (option == "always") {
        fault.once = false;
      } else if (option.rfind("after=", 0) == 0 && ParseNumber(option.substr(6), 10, 1000000, after)) {
        fault.after = static_cast<int>(after);
      } else {
        error = "fault '" + text + "': expected once, always or after=N, got '" + option + "'";
        return false;
      }
    }
  }
  std::string value;
  const std::size_t equals = rest.find('=');
  if (equals != std::string::npos) {
    value = rest.substr(equals + 1);
    rest.resize(equals);
  }
  for (const KindName& k : kKinds) {
    if (rest != k.name) continue;
    fault.kind = k.kind;
    if (equals == std::string::npos) return true;
    if (!k.takesValue || !ParseNumber(value, 0, 0xFFFF'FFL, number)) {
      error = "fault '" + text + "': bad value for " + k.name;
      return false;
    }
    fault.value = static_cast<int>(number);
    return true;
  }
  error = "fault '" + text + "': unknown kind '" + rest + "'";
  return false;
}

}  // namespace omr::sim
