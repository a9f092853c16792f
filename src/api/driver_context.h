// The one driver object behind the exported functions.
#pragma once

#include <cstdint>
#include <string>

#include "config/maintenance.h"
#include "form/form_definition.h"
#include "form/reader_settings.h"
#include "link/discovery.h"
#include "link/link.h"
#include "port/com.h"
#include "port/usb.h"
#include "read/device_frame.h"
#include "read/result.h"

namespace omr {

class DriverContext {
 public:
  // Load steps: ports, form store, frame, zeroed buffers, default settings,
  // the process locale from the environment, then the clear sequence.
  DriverContext();
  // Unload steps: the clear sequence to a reader still connected, then the
  // members go in reverse order, the ports last.
  ~DriverContext();
  DriverContext(const DriverContext&) = delete;
  DriverContext& operator=(const DriverContext&) = delete;

  // Connection
  Handle FindReader();
  bool CloseReader(Handle token);

  // Forms
  int LoadForm(const char* file, const char* second);
  bool AddFormLine(const char* line);
  bool StoreFormLine(const char* text);
  bool FinishForm();
  bool LoadFormFile(const char* name);
  void Clear();  // body of MR_Clear

  // Reading
  int Read();
  int ReadWithLine(int line);
  int GetResult(char* out, int mode);

  // Transport
  int StartMotor();
  int StopMotor();
  bool PassSheet();
  int IsReading();
  int StopRead();

  // Errors
  int GetLastError();

  // Maintenance
  int SysCmd(int code, void* arg);
  int GetSerial(char* out);
  int ReadTotal();

  // Members, in the order of the driver's data model.
  Handle portHandle = 0;
  std::int32_t lastError = 0;
  std::uint8_t resultBuffer[kResultBufferSize];
  CPort* activePort = nullptr;
  CCom comPort;
  CUsb usbPort;
  FormDefinition forms;
  DeviceFrame frame;
  SheetLayout* identifiedLayout = nullptr;
  std::uint8_t captureArrays[kCaptureArrays][kCaptureArraySize];
  std::int32_t capturePairCount = 0;
  std::int32_t channelCount = 0;
  std::int32_t sheetWaitMs = 0;
  std::string firmwareVersion;
  ReaderSettings readerSettings;

  // The view of the active port and the last error that every command uses.
  Link link{activePort, lastError};

 private:
  ConnectionView Connection();
  MaintenanceView Maintenance();
};

}  // namespace omr
