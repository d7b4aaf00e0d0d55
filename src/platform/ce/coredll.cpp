// SPDX-License-Identifier: MIT
// The calls the core makes into COREDLL.dll, imported by ordinal only. The
// device's loader fills coredllImports, the image's import address table,
// with the addresses of these ordinals; each call goes through its slot.
#include "coredll_imports.h"
#include "platform.h"

extern "C" {
// Until the loader fills it, each slot holds its import entry, as the PE
// format asks: 0x80000000 | ordinal, then a 0 that ends the table.
#define IMPORT_ENTRY(name, ordinal)                                            \
  reinterpret_cast<void *>(0x80000000u | ordinal),
void *coredllImports[] = {COREDLL_IMPORTS(IMPORT_ENTRY) nullptr};
#undef IMPORT_ENTRY
}

namespace {

#define SLOT(name, ordinal) k##name,
enum Slot { COREDLL_IMPORTS(SLOT) };
#undef SLOT

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

BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status) {
  return Imported<decltype(ClearCommError)>(kClearCommError)(file, errors,
                                                             status);
}

void Sleep(DWORD milliseconds) {
  Imported<decltype(Sleep)>(kSleep)(milliseconds);
}

DWORD GetLastError(void) {
  return Imported<decltype(GetLastError)>(kGetLastError)();
}

DWORD GetTickCount(void) {
  return Imported<decltype(GetTickCount)>(kGetTickCount)();
}
