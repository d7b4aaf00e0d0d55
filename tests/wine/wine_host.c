/* SPDX-License-Identifier: MIT */
/* A Windows host for the Wine test. It binds TolvaneGPS.dll's items under
 * the names an MSVC-built host uses, calls the members with MSVC's
 * convention, points the DLL's port calls at stand-ins that can pull the
 * port out (unpluggable_port.h: Wine itself never fails a read of a pty
 * that went away), then captures from a COM port as the test commands:
 *
 *   wine_host COMn DIR      then, from standard input:
 *   o                       GPSOpen(COMn); prints "opened"
 *   w NAME                  GPSWrite(DIR\NAME); prints "wrote NAME"
 *   c                       GPSClose; prints "closed"
 *   u, p, e, n, s           the stand-ins' pull, plug, line error, empty
 *                           reads, counts
 *
 * "FAIL what" and exit status 1 report a fault. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "../unpluggable_port.h"

/* What a removed USB adapter's handle fails with, driver by driver. */
static const DWORD kWindowsDeadReadErrors[] = {5, 22, 31, 1617};

/* MSVC calls members on x86 with this in ecx, the callee popping the
 * arguments; elsewhere a member is called like a plain function. GCC applies
 * thiscall to these pointer types but warns that C has no classes. */
#if defined(__i386__)
#define MEMBER __attribute__((thiscall))
#pragma GCC diagnostic ignored "-Wattributes"
#else
#define MEMBER
#endif

typedef int (*NameCall)(const wchar_t *);
typedef int (*PlainCall)(void);
typedef void *(MEMBER *Constructor)(void *self);
typedef void *(MEMBER *Assignment)(void *self, const void *other);

#if defined(__i386__)
#define CONSTRUCTOR_NAME "??0CTolvaneGPS@@QAE@XZ"
#define ASSIGNMENT_NAME "??4CTolvaneGPS@@QAEAAV0@ABV0@@Z"
#else
#define CONSTRUCTOR_NAME "??0CTolvaneGPS@@QEAA@XZ"
#define ASSIGNMENT_NAME "??4CTolvaneGPS@@QEAAAEAV0@AEBV0@@Z"
#endif

static int Fail(const char *what) {
  printf("FAIL %s\n", what);
  fflush(stdout);
  return 1;
}

static void Say(const char *line) {
  printf("%s\n", line);
  fflush(stdout);
}

/* The same address by name and by ordinal, or null. */
static FARPROC Bind(HMODULE dll, const char *name, int ordinal) {
  FARPROC byName = GetProcAddress(dll, name);
  FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
  return byName == byOrdinal ? byName : NULL;
}

/* GetProcAddress hands out every export as FARPROC. */
#define AS(type, proc) ((type)(void (*)(void))(proc))

static int *AsVariable(FARPROC proc) {
  int *variable;
  memcpy(&variable, &proc, sizeof variable);
  return variable;
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
      return Fail("the DLL imports no " #name);                                \
    }                                                                          \
  } while (0)

int main(int argc, char **argv) {
  if (argc != 3) {
    return Fail("usage: wine_host COMn DIR");
  }
  HMODULE dll = LoadLibraryW(L"TolvaneGPS.dll");
  if (dll == NULL) {
    return Fail("LoadLibraryW");
  }
  NameCall gpsOpen = AS(NameCall, Bind(dll, "GPSOpen", 1));
  NameCall gpsWrite = AS(NameCall, Bind(dll, "GPSWrite", 2));
  PlainCall gpsClose = AS(PlainCall, Bind(dll, "GPSClose", 3));
  Constructor construct = AS(Constructor, Bind(dll, CONSTRUCTOR_NAME, 4));
  Assignment assign = AS(Assignment, Bind(dll, ASSIGNMENT_NAME, 5));
  PlainCall fn = AS(PlainCall, Bind(dll, "?fnTolvaneGPS@@YAHXZ", 6));
  int *n = AsVariable(Bind(dll, "?nTolvaneGPS@@3HA", 7));
  if (!gpsOpen || !gpsWrite || !gpsClose || !construct || !assign || !fn ||
      !n) {
    return Fail("binding by name and by ordinal");
  }
  char objects[2];
  /* MSVC callers take the object's address from the constructor. */
  if (construct(&objects[0]) != &objects[0] ||
      construct(&objects[1]) != &objects[1]) {
    return Fail("the constructor returns its object");
  }
  if (assign(&objects[0], &objects[1]) != &objects[0]) {
    return Fail("copy assignment returns its target");
  }
  if (fn() != 42 || *n != 0) {
    return Fail("fnTolvaneGPS and nTolvaneGPS at load");
  }
  *n = 1234;

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
  char command[256];
  while (fgets(command, sizeof command, stdin) != NULL) {
    command[strcspn(command, "\r\n")] = 0;
    const char *answer = StandInCommand(command);
    if (answer != NULL) {
      Say(answer);
    } else if (strcmp(command, "o") == 0) {
      if (gpsOpen(port) != 999) {
        return Fail("GPSOpen");
      }
      Say("opened");
    } else if (strncmp(command, "w ", 2) == 0) {
      wchar_t path[MAX_PATH];
      _snwprintf(path, MAX_PATH, L"%hs\\%hs", argv[2], command + 2);
      path[MAX_PATH - 1] = 0;
      if (gpsWrite(path) != 999) {
        return Fail("GPSWrite");
      }
      printf("wrote %s\n", command + 2);
      fflush(stdout);
    } else if (strcmp(command, "c") == 0) {
      if (gpsClose() != 999 || *n != 1234) {
        return Fail("GPSClose");
      }
      Say("closed");
    }
  }
  FreeLibrary(dll);
  return 0;
}
