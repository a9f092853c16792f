#include "link/discovery.h"

#include <cstring>

namespace omr {

namespace {

// FA 04 must come back as FB 04. The port has just been opened: a byte left
// in it (power-on noise, a bridge's buffer) would put the reply one byte off
// on every scan, so it is purged first.
bool Probe(Link& link, int timeoutMs) {
  const std::uint8_t probe[2] = {kCommandByte, 0x04};
  std::uint8_t reply[2];
  return link.Transact(probe, 2, reply, 2, timeoutMs, PurgeFirst::Yes).ok;
}

// What the driver learns of a reader that has just answered.
Handle SetUp(const ConnectionView& view, int queueSize) {
  QueryChannelCount(view.link, view.channelCount, nullptr);  // the connection stands without it
  view.activePort->SetInBufferSize(queueSize);
  view.activePort->SetOutBufferSize(queueSize);
  view.sheetWaitMs = ComputeSheetWait(view.link);
  char version[16] = {};
  if (QueryVersion(view.link, version)) view.firmwareVersion = version;
  return view.portHandle;
}

void CloseCandidate(const ConnectionView& view) {
  if (view.portHandle == 0) return;
  view.activePort->Close(view.portHandle);
  view.portHandle = 0;
}

}  // namespace

Handle FindReader(const ConnectionView& view) {
  view.activePort = &view.comPort;
  std::string name;
  for (int i = 0; SerialCandidate(i, name); ++i) {
    CloseCandidate(view);  // the previous candidate, or the connection of an earlier scan
    if (!SerialHardwarePresent(name)) continue;
    view.activePort->SetName(name.c_str());
    view.activePort->SetSettings(kScanSettings);
    view.portHandle = view.activePort->Open();
    if (view.portHandle == 0) continue;
    if (Probe(view.link, kSerialProbeMs)) return SetUp(view, kSerialQueueSize);
  }
  CloseCandidate(view);

  view.activePort = &view.usbPort;
  view.portHandle = view.activePort->Open();
  if (view.portHandle == 0) return 0;
  if (!Probe(view.link, kUsbProbeMs)) {
    view.activePort->Close(view.portHandle);
    view.activePort = nullptr;
    view.portHandle = 0;
    return 0;
  }
  return SetUp(view, 0);
}

bool CloseReader(const ConnectionView& view, Handle token) {
  if (token != view.portHandle || view.activePort == nullptr) return false;
  if (view.activePort->Close(token) == 0) return false;
  view.activePort = nullptr;
  view.link.Fail();  // the not-connected state
  return true;
}

int GetDeviceName(int number, char* out) {
  if (out == nullptr) return -1;
  if (number == kDeviceNumber) std::memcpy(out, kDeviceName, sizeof kDeviceName);
  return static_cast<int>(std::strlen(out));
}

int CheckAbility(int code) {
  return code == 101 || code == 402 ? 1 : 0;
}

}  // namespace omr
