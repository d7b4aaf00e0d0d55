// SPDX-License-Identifier: MIT
#include "recording_platform.h"

#include <cstring>

#include "module_state.h"
#include "port_steps.h"

std::vector<PlatformCall> platformCalls;
PlatformScript platformScript;
DWORD platformClockMs;

// What the core last set as the read's total time-out.
static DWORD readTotalTimeoutMs;

void ResetPlatformAndCore() {
  platformCalls.clear();
  platformScript = PlatformScript{};
  std::memset(transferBuffer, 0, sizeof transferBuffer);
  std::memset(portNameBuffer, 0, sizeof portNameBuffer);
  portSlot = nullptr;
  portWanted = false;
  platformClockMs = 0;
  readTotalTimeoutMs = 0;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const PlatformCall &call : platformCalls) {
    names.push_back(call.name);
  }
  return names;
}

namespace {

DWORD lastError;

PlatformCall &Record(const char *name, HANDLE handle, const void *pointer) {
  PlatformCall call;
  call.name = name;
  call.handle = handle;
  call.pointer = pointer;
  platformCalls.push_back(call);
  return platformCalls.back();
}

} // namespace

HANDLE CreateFileW(const WCHAR *fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES *securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile) {
  PlatformCall &call = Record("CreateFileW", nullptr, fileName);
  call.text = fileName;
  call.access = desiredAccess;
  call.share = shareMode;
  call.disposition = creationDisposition;
  call.attributes = flagsAndAttributes;
  call.extrasNull = securityAttributes == nullptr && templateFile == nullptr;
  HANDLE result = INVALID_HANDLE_VALUE;
  if (!platformScript.openResults.empty()) {
    result = platformScript.openResults.front();
    platformScript.openResults.erase(platformScript.openResults.begin());
  }
  lastError = result == INVALID_HANDLE_VALUE ? platformScript.openError : 0;
  return result;
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *overlapped) {
  PlatformCall &call = Record("ReadFile", file, buffer);
  call.count = bytesToRead;
  call.extrasNull = overlapped == nullptr;
  if (!platformScript.reads.empty()) {
    ScriptedRead read = platformScript.reads.front();
    platformScript.reads.erase(platformScript.reads.begin());
    std::memcpy(buffer, read.bytes.data(), read.bytes.size());
    *bytesRead = static_cast<DWORD>(read.bytes.size());
    return read.result;
  }
  std::memcpy(buffer, platformScript.readBytes.data(),
              platformScript.readBytes.size());
  *bytesRead = platformScript.readCount;
  if (*bytesRead == 0 && platformScript.readResult &&
      !platformScript.emptyReadsReturnAtOnce) {
    platformClockMs += readTotalTimeoutMs;
  }
  return platformScript.readResult;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite,
               DWORD *bytesWritten, OVERLAPPED *overlapped) {
  PlatformCall &call = Record("WriteFile", file, buffer);
  call.count = bytesToWrite;
  call.bytes.assign(static_cast<const char *>(buffer), bytesToWrite);
  call.extrasNull = overlapped == nullptr;
  *bytesWritten = bytesToWrite;
  return TRUE;
}

BOOL CloseHandle(HANDLE object) {
  Record("CloseHandle", object, nullptr);
  return TRUE;
}

BOOL GetCommState(HANDLE file, DCB *dcb) {
  Record("GetCommState", file, dcb);
  if (!platformScript.getCommStateSucceeds) {
    return FALSE;
  }
  *dcb = platformScript.portDcb;
  return TRUE;
}

BOOL SetCommState(HANDLE file, DCB *dcb) {
  Record("SetCommState", file, dcb).dcb = *dcb;
  return platformScript.setCommStateSucceeds;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) {
  Record("SetCommTimeouts", file, timeouts);
  readTotalTimeoutMs = timeouts->ReadTotalTimeoutConstant;
  return TRUE;
}

BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *) {
  Record("ClearCommError", file, nullptr);
  *errors = 0;
  return platformScript.portGone ? FALSE : TRUE;
}

void Sleep(DWORD milliseconds) {
  Record("Sleep", nullptr, nullptr).count = milliseconds;
  platformClockMs += milliseconds;
}

DWORD GetTickCount(void) { return platformClockMs; }

DWORD GetLastError(void) { return lastError; }

void SetLastError(DWORD error) { lastError = error; }

// The port steps of a platform that opens the name as given and keeps
// nothing for the retries, as CE's do.
HANDLE OpenReceiverPort(const WCHAR *name, bool) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

void CloseReceiverPort(HANDLE port) { CloseHandle(port); }

void ForgetReceiverPort() {}
