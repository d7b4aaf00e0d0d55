/* A Windows host for the Wine test. It binds TolvaneGPS.dll's items under
 * the names an MSVC-built host uses, calls the members with MSVC's
 * convention, then captures from a COM port as the test commands:
 *
 *   wine_host COMn DIR      opens COMn and prints "opened", then reads
 *                           commands from standard input:
 *   w                       GPSWrite(DIR\blockN.nmea), N = 1, 2, ...;
 *                           prints "block N"
 *   c                       GPSClose; prints "closed"
 *
 * "FAIL what" and exit status 1 report a fault. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

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
typedef void(MEMBER *Constructor)(void *self);
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

static void Say(const char *line, int number) {
  printf(line, number);
  printf("\n");
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
  construct(&objects[0]);
  construct(&objects[1]);
  if (assign(&objects[0], &objects[1]) != &objects[0]) {
    return Fail("copy assignment returns its target");
  }
  if (fn() != 42 || *n != 0) {
    return Fail("fnTolvaneGPS and nTolvaneGPS at load");
  }
  *n = 1234;

  wchar_t port[32];
  _snwprintf(port, 32, L"%hs", argv[1]);
  port[31] = 0;
  if (gpsOpen(port) != 999) {
    return Fail("GPSOpen");
  }
  Say("opened", 0);
  char command[16];
  for (int block = 1; fgets(command, sizeof command, stdin) != NULL;) {
    if (command[0] == 'w') {
      wchar_t path[MAX_PATH];
      _snwprintf(path, MAX_PATH, L"%hs\\block%d.nmea", argv[2], block);
      path[MAX_PATH - 1] = 0;
      if (gpsWrite(path) != 999) {
        return Fail("GPSWrite");
      }
      Say("block %d", block++);
    } else if (command[0] == 'c') {
      if (gpsClose() != 999 || *n != 1234) {
        return Fail("GPSClose");
      }
      Say("closed", 0);
    }
  }
  FreeLibrary(dll);
  return 0;
}
