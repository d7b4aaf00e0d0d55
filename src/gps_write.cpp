// SPDX-License-Identifier: MIT
// GPSWrite: one block from the port, then that block as the whole capture
// file.
#include "TolvaneGPS.h"
#include "module_state.h"
#include "port.h"

extern "C" int GPSWrite(const GPSWideChar *filePath) {
  const DWORD byteCount = ReadBlockFromPort();
  if (filePath == nullptr) {
    return GPS_COMPLETION_CODE;
  }
  HANDLE file = CreateFileW(filePath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return GPS_COMPLETION_CODE;
  }
  DWORD written = 0;
  WriteFile(file, transferBuffer, byteCount, &written, nullptr);
  CloseHandle(file);
  return GPS_COMPLETION_CODE;
}
