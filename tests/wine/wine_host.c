/* SPDX-License-Identifier: MIT */
/* A Windows host for the Wine test, run as wine_host COMn DIR: it points
 * the DLL's port calls at stand-ins that can pull the port out
 * (unpluggable_port.h: Wine itself never fails a read of a pty that went
 * away), then runs the commands of dll_host.h, calling the members with
 * MSVC's convention. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "../dll_host.h"

/* What a removed USB adapter's handle fails with, driver by driver. */
static const DWORD kWindowsDeadReadErrors[] = {5, 22, 31, 1617};

static HMODULE dll; /* for Bind */

/* The same address by name and by ordinal, or null. */
static DllCall Bind(const char *name, int ordinal) {
  FARPROC byName = GetProcAddress(dll, name);
  FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
  return byName == byOrdinal ? (DllCall)byName : NULL;
}

static int Call(DllCall function, const void *argument) {
  return ((int (*)(const void *))function)(argument);
}

/* Points the DLL's import of KERNEL32's name at standIn, keeping what the
 * loader bound there in *real (both are function pointers, copied as
 * bytes). */
static int Redirect(HMODULE dll, const char *name, void (*standIn)(void),
                    void *real) {
  BYTE *base = (BYTE *)dll;
  IMAGE_NT_HEADERS *nt =
      (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
  IMAGE_DATA_DIRECTORY imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  IMAGE_IMPORT_DESCRIPTOR *library =
      (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress);
  for (; library->Name != 0; ++library) {
    IMAGE_THUNK_DATA *names =
        (IMAGE_THUNK_DATA *)(base + library->OriginalFirstThunk);
    IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + library->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
          strcmp(
              (const char *)((IMAGE_IMPORT_BY_NAME *)(base +
                                                      names->u1.AddressOfData))
                  ->Name,
              name) != 0) {
        continue;
      }
      DWORD old;
      VirtualProtect(slots, sizeof *slots, PAGE_READWRITE, &old);
      memcpy(real, &slots->u1.Function, sizeof(void *));
      memcpy(&slots->u1.Function, &standIn, sizeof(void *));
      VirtualProtect(slots, sizeof *slots, old, &old);
      return 1;
    }
  }
  return 0;
}

#define REDIRECT(dll, name)                                                    \
  do {                                                                         \
    if (!Redirect(dll, #name, (void (*)(void))StandIn##name, &Real##name)) {   \
      return DllHostFail("the DLL imports no " #name);                         \
    }                                                                          \
  } while (0)

int main(int argc, char **argv) {
  if (argc != 3) {
    return DllHostFail("usage: wine_host COMn DIR");
  }
  dll = LoadLibraryW(L"TolvaneGPS.dll");
  if (dll == NULL) {
    return DllHostFail("LoadLibraryW");
  }
  REDIRECT(dll, CreateFileW);
  REDIRECT(dll, ReadFile);
  REDIRECT(dll, ClearCommError);
  REDIRECT(dll, SetCommState);
  REDIRECT(dll, CloseHandle);
  deadReadErrors = kWindowsDeadReadErrors;
  deadReadErrorCount = 4;

  wchar_t port[32];
  _snwprintf(port, 32, L"%hs", argv[1]);
  port[31] = 0;
  standInPort = port;
  struct DllHost host = {Bind, Call, NULL, port, argv[2], '\\'};
  int status = RunDllHost(&host);
  FreeLibrary(dll);
  return status;
}
