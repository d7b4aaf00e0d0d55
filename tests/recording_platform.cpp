#include "recording_platform.h"

#include <cstring>

#include "module_state.h"

std::vector<PlatformCall> platformCalls;
PlatformScript platformScript;

void ResetPlatformAndCore() {
  platformCalls.clear();
  platformScript = PlatformScript{};
  std::memset(transferBuffer, 0, sizeof transferBuffer);
  std::memset(portNameBuffer, 0, sizeof portNameBuffer);
  portSlot = nullptr;
}

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const PlatformCall &call : platformCalls) {
    names.push_back(call.name);
  }
  return names;
}

namespace {

PlatformCall &Record(const char *name, HANDLE handle, const void *pointer) {
  PlatformCall call;
  call.name = name;
  call.handle = handle;
  call.pointer = pointer;
  call.slotAtCall = portSlot;
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
  if (platformScript.openResults.empty()) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE result = platformScript.openResults.front();
  platformScript.openResults.erase(platformScript.openResults.begin());
  return result;
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *overlapped) {
  PlatformCall &call = Record("ReadFile", file, buffer);
  call.count = bytesToRead;
  call.extrasNull = overlapped == nullptr;
  std::memcpy(buffer, platformScript.readBytes.data(),
              platformScript.readBytes.size());
  *bytesRead = platformScript.readCount;
  return platformScript.readResult;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite,
               DWORD *bytesWritten, OVERLAPPED *overlapped) {
  PlatformCall &call = Record("WriteFile", file, buffer);
  call.count = bytesToWrite;
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
  return TRUE;
}
