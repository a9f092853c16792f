#include "port/port.h"

namespace omr {

Handle CPort::OpenWith(const char* name_, const char* settings_) {
  SetName(name_);
  SetSettings(settings_);
  return Open();
}

int CPort::SetName(const char* text) {
  name = text ? text : "";
  return 1;
}

int CPort::SetSettings(const char* text) {
  settings = text ? text : "";
  return 1;
}

int CPort::SetInBufferSize(int size) {
  inBufferSize = size;
  return 1;
}

int CPort::SetOutBufferSize(int size) {
  outBufferSize = size;
  return 1;
}

int CPort::GetInBufferSize() { return inBufferSize; }
int CPort::GetOutBufferSize() { return outBufferSize; }
int CPort::ResetDevice() { return 1; }

}  // namespace omr
