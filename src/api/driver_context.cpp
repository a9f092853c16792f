#include "api/driver_context.h"

#include <cstring>
#include <locale>

#include "form/form_loader.h"
#include "read/read_transaction.h"
#include "read/transport.h"

namespace omr {

namespace {

// The process locale follows the environment; a name the system does not
// know must not stop the library from loading.
void UseEnvironmentLocale() {
  try {
    std::locale::global(std::locale(""));
  } catch (...) {
    std::locale::global(std::locale::classic());
  }
}

}  // namespace

DriverContext::DriverContext() {
  UseEnvironmentLocale();
  std::memset(resultBuffer, 0, sizeof resultBuffer);
  std::memset(captureArrays, 0, sizeof captureArrays);
  Clear();  // no port is active yet: nothing happens
}

DriverContext::~DriverContext() {
  Clear();
}

ConnectionView DriverContext::Connection() {
  return ConnectionView{portHandle,   activePort,  comPort,         usbPort,
                        channelCount, sheetWaitMs, firmwareVersion, link};
}

MaintenanceView DriverContext::Maintenance() {
  return MaintenanceView{link, channelCount, captureArrays, capturePairCount, resultBuffer, frame};
}

Handle DriverContext::FindReader() {
  return omr::FindReader(Connection());
}
bool DriverContext::CloseReader(Handle token) {
  return omr::CloseReader(Connection(), token);
}

int DriverContext::LoadForm(const char* file, const char* second) {
  if (file == nullptr) return -1;
  if (!LoadFormFile(file)) return -1;
  return (second != nullptr && second[0] != '\0') ? -100 : 0;
}

bool DriverContext::AddFormLine(const char* line) {
  if (line == nullptr) return false;
  return StoreFormLine(line) && FinishForm();
}

bool DriverContext::StoreFormLine(const char* text) {
  return omr::StoreFormLine(forms, text);
}
bool DriverContext::FinishForm() {
  return omr::FinishForm(forms, readerSettings, link);
}
bool DriverContext::LoadFormFile(const char* name) {
  return omr::LoadFormFile(forms, readerSettings, link, name);
}

void DriverContext::Clear() {
  if (!ClearReader(link)) return;
  readerSettings.Reset();
  forms.ResetForms();
}

int DriverContext::Read() {
  return ReadSheet(ReadView{link, forms, frame, identifiedLayout, sheetWaitMs, firmwareVersion}, false, 0);
}

int DriverContext::ReadWithLine(int line) {
  return ReadSheet(ReadView{link, forms, frame, identifiedLayout, sheetWaitMs, firmwareVersion}, true, line);
}

int DriverContext::GetResult(char* out, int mode) {
  return omr::GetResult(ResultView{forms, frame, identifiedLayout, resultBuffer, lastError}, out, mode);
}

int DriverContext::StartMotor() {
  return omr::StartMotor(link);
}
int DriverContext::StopMotor() {
  return omr::StopMotor(link);
}
bool DriverContext::PassSheet() {
  return omr::PassSheet(link);
}
int DriverContext::IsReading() {
  return omr::IsReading(link);
}
int DriverContext::StopRead() {
  return omr::StopRead(link);
}

int DriverContext::GetLastError() {
  SleepMs(200);
  return lastError;
}

int DriverContext::SysCmd(int code, void* arg) {
  return omr::SysCmd(Maintenance(), code, arg);
}
int DriverContext::GetSerial(char* out) {
  return omr::GetSerial(link, out);
}
int DriverContext::ReadTotal() {
  return omr::ReadTotal(link);
}

}  // namespace omr
