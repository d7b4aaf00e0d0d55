// The calls the core makes into COREDLL.dll, imported by ordinal only. The
// device's loader fills coredllImports, the image's import address table,
// with the addresses of these ordinals; each call goes through its slot.
#include "platform.h"

extern "C" {
// Until the loader fills it, each slot holds its import entry, as the PE
// format asks: 0x80000000 | ordinal, then a 0 that ends the table.
void *coredllImports[] = {
    reinterpret_cast<void *>(0x80000000u | 168), // CreateFileW
    reinterpret_cast<void *>(0x80000000u | 118), // SetCommState
    reinterpret_cast<void *>(0x80000000u | 553), // CloseHandle
    reinterpret_cast<void *>(0x80000000u | 170), // ReadFile
    reinterpret_cast<void *>(0x80000000u | 171), // WriteFile
    nullptr,
};
}

namespace {

enum Slot { kCreateFileW, kSetCommState, kCloseHandle, kReadFile, kWriteFile };

template <typename Function> Function *Imported(Slot slot) {
  return reinterpret_cast<Function *>(coredllImports[slot]);
}

} // namespace

HANDLE CreateFileW(const WCHAR *fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES *securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile) {
  return Imported<decltype(CreateFileW)>(kCreateFileW)(
      fileName, desiredAccess, shareMode, securityAttributes,
      creationDisposition, flagsAndAttributes, templateFile);
}

BOOL SetCommState(HANDLE file, DCB *dcb) {
  return Imported<decltype(SetCommState)>(kSetCommState)(file, dcb);
}

BOOL CloseHandle(HANDLE object) {
  return Imported<decltype(CloseHandle)>(kCloseHandle)(object);
}

BOOL ReadFile(HANDLE file, void *buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *overlapped) {
  return Imported<decltype(ReadFile)>(kReadFile)(file, buffer, bytesToRead,
                                                 bytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite,
               DWORD *bytesWritten, OVERLAPPED *overlapped) {
  return Imported<decltype(WriteFile)>(kWriteFile)(file, buffer, bytesToWrite,
                                                   bytesWritten, overlapped);
}
