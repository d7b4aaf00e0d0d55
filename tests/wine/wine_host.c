/* A Windows host for the Wine test: loads TolvaneGPS.dll as a host on the
 * device would, checks its export table from the inside, then captures
 * blocks from a COM port.
 *
 * wine_host COMn DIR BLOCKS  writes DIR\block1.nmea .. DIR\blockBLOCKS.nmea
 * and prints "opened", "block N" and "closed" as it goes. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef int (*NameCall)(const wchar_t *);
typedef int (*PlainCall)(void);
typedef void (*Constructor)(void *self);
typedef void *(*Assignment)(void *self, const void *other);

static int Fail(const char *what) {
  printf("FAIL %s\n", what);
  fflush(stdout);
  return 1;
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
  if (argc != 4) {
    return Fail("usage: wine_host COMn DIR BLOCKS");
  }
  HMODULE dll = LoadLibraryW(L"TolvaneGPS.dll");
  if (dll == NULL) {
    return Fail("LoadLibraryW");
  }
  NameCall gpsOpen = AS(NameCall, Bind(dll, "GPSOpen", 1));
  NameCall gpsWrite = AS(NameCall, Bind(dll, "GPSWrite", 2));
  PlainCall gpsClose = AS(PlainCall, Bind(dll, "GPSClose", 3));
  Constructor construct = AS(Constructor, Bind(dll, "_ZN11CTolvaneGPSC1Ev", 4));
  Assignment assign = AS(Assignment, Bind(dll, "_ZN11CTolvaneGPSaSERKS_", 5));
  PlainCall fn = AS(PlainCall, Bind(dll, "_Z12fnTolvaneGPSv", 6));
  int *n = AsVariable(Bind(dll, "nTolvaneGPS", 7));
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
  if (fn() != 42 || fn() != 42) {
    return Fail("fnTolvaneGPS");
  }
  if (*n != 0) {
    return Fail("nTolvaneGPS at load");
  }
  *n = 1234;
  if (*AsVariable(GetProcAddress(dll, "nTolvaneGPS")) != 1234) {
    return Fail("nTolvaneGPS keeps what the host stores");
  }

  wchar_t port[32];
  _snwprintf(port, 32, L"%hs", argv[1]);
  port[31] = 0;
  if (gpsOpen(port) != 999) {
    return Fail("GPSOpen");
  }
  printf("opened\n");
  fflush(stdout);
  int blocks = atoi(argv[3]);
  for (int block = 1; block <= blocks; ++block) {
    wchar_t path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%hs\\block%d.nmea", argv[2], block);
    path[MAX_PATH - 1] = 0;
    if (gpsWrite(path) != 999) {
      return Fail("GPSWrite");
    }
    printf("block %d\n", block);
    fflush(stdout);
  }
  if (gpsClose() != 999 || *n != 1234) {
    return Fail("GPSClose");
  }
  printf("closed\n");
  fflush(stdout);
  FreeLibrary(dll);
  return 0;
}
