/* SPDX-License-Identifier: MIT */
/* The command loop of the tests' hosts of TolvaneGPS.dll: the Wine host
 * (wine/wine_host.c) and the PE loader (loader/pe_loader.cpp) bind the
 * three calls by name and by ordinal, then answer one line per command
 * from standard input:
 *
 *   o            GPSOpen(PORT); "opened" and, in hex bytes, the settings
 *                record SetCommState got last
 *   w NAME       GPSWrite(DIR/NAME); "wrote NAME"
 *   c            GPSClose; "closed"
 *   i C A F V    binds exports 4 to 7 by these names and by ordinal: the
 *                constructor returns its object, copy assignment its
 *                target, the function 42 and the variable holds 0 (then
 *                1234, which GPSClose must leave alone); "items"
 *   u, p         pulls the port out, plugs it back: "unplugged", "plugged"
 *   e            the next read meets a line error: "line error"
 *   n            reads come back empty at once until the next p:
 *                "empty reads"
 *   s            "opens N settings N closes N": the port opens tried,
 *                settings applied and port handles closed since the last s
 *   other        the host's own commands (the loader's f), else
 *                "unknown COMMAND"
 *
 * "FAIL what" and exit status 1 report a fault. The port's faults are the
 * stand-ins' of unpluggable_port.h; the includer sets them up as that
 * header says, then hands RunDllHost its way to bind and call the DLL. */
#ifndef DLL_HOST_H
#define DLL_HOST_H

#include "unpluggable_port.h"

/* MSVC calls members on x86 with this in ecx, the callee popping the
 * arguments; elsewhere a member is called like a plain function. GCC
 * applies thiscall to these pointer types but warns that C has no
 * classes. */
#if defined(__i386__)
#define DLL_MEMBER __attribute__((thiscall))
#pragma GCC diagnostic ignored "-Wattributes"
#else
#define DLL_MEMBER
#endif

/* Any export, as GetProcAddress hands it out. */
typedef void (*DllCall)(void);

struct DllHost {
  /* The export of this name and ordinal, the same both ways, or null. */
  DllCall (*bind)(const char *name, int ordinal);
  /* Calls GPSOpen, GPSWrite (one argument) or GPSClose (argument null). */
  int (*call)(DllCall function, const void *argument);
  /* The host's own commands: the answer, or null. */
  const char *(*own)(const char *command);
  const WCHAR *port;
  const char *dir; /* with the separator the platform's paths take */
  char separator;
};

static int DllHostFail(const char *what) {
  printf("FAIL %s\n", what);
  fflush(stdout);
  return 1;
}

static void Widen(const char *text, WCHAR *out, size_t size) {
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < size; ++i) {
    out[i] = (WCHAR)(unsigned char)text[i];
  }
  out[i] = 0;
}

/* Checks exports 4 to 7 under the names in names, "C A F V"; on success
 * *variable is the variable, now 1234. */
static int CheckNamedItems(const struct DllHost *host, char *names,
                           int **variable) {
  typedef void *(DLL_MEMBER * Constructor)(void *self);
  typedef void *(DLL_MEMBER * Assignment)(void *self, const void *other);
  typedef int (*Function)(void);
  const char *constructorName = strtok(names, " ");
  const char *assignmentName = strtok(NULL, " ");
  const char *functionName = strtok(NULL, " ");
  const char *variableName = strtok(NULL, " ");
  if (variableName == NULL) {
    return 0;
  }
  DllCall constructor = host->bind(constructorName, 4);
  DllCall assignment = host->bind(assignmentName, 5);
  DllCall function = host->bind(functionName, 6);
  DllCall data = host->bind(variableName, 7);
  if (!constructor || !assignment || !function || !data) {
    return 0;
  }
  Constructor construct = (Constructor)constructor;
  Assignment assign = (Assignment)assignment;
  memcpy(variable, &data, sizeof *variable);
  char objects[2];
  /* MSVC callers take the object's address back from the constructor. */
  if (construct(&objects[0]) != &objects[0] ||
      construct(&objects[1]) != &objects[1] ||
      assign(&objects[0], &objects[1]) != &objects[0] ||
      ((Function)function)() != 42 || **variable != 0) {
    return 0;
  }
  **variable = 1234;
  return 1;
}

static int RunDllHost(const struct DllHost *host) {
  DllCall gpsOpen = host->bind("GPSOpen", 1);
  DllCall gpsWrite = host->bind("GPSWrite", 2);
  DllCall gpsClose = host->bind("GPSClose", 3);
  if (!gpsOpen || !gpsWrite || !gpsClose) {
    return DllHostFail("binding the calls by name and by ordinal");
  }
  int *variable = NULL;
  char line[256];
  while (fgets(line, sizeof line, stdin) != NULL) {
    line[strcspn(line, "\r\n")] = 0;
    const char *answer = StandInCommand(line);
    if (answer == NULL && host->own != NULL) {
      answer = host->own(line);
    }
    if (answer != NULL) {
      printf("%s\n", answer);
    } else if (strcmp(line, "o") == 0) {
      if (host->call(gpsOpen, host->port) != 999) {
        return DllHostFail("GPSOpen");
      }
      printf("opened");
      for (size_t i = 0; i < sizeof lastSettings; ++i) {
        printf(" %02x", ((const unsigned char *)&lastSettings)[i]);
      }
      printf("\n");
    } else if (strncmp(line, "w ", 2) == 0) {
      char path[260];
      WCHAR widePath[260];
      snprintf(path, sizeof path, "%s%c%s", host->dir, host->separator,
               line + 2);
      Widen(path, widePath, 260);
      if (host->call(gpsWrite, widePath) != 999) {
        return DllHostFail("GPSWrite");
      }
      printf("wrote %s\n", line + 2);
    } else if (strcmp(line, "c") == 0) {
      if (host->call(gpsClose, NULL) != 999 ||
          (variable != NULL && *variable != 1234)) {
        return DllHostFail("GPSClose");
      }
      printf("closed\n");
    } else if (strncmp(line, "i ", 2) == 0) {
      if (!CheckNamedItems(host, line + 2, &variable)) {
        return DllHostFail("the named items");
      }
      printf("items\n");
    } else {
      printf("unknown %s\n", line);
    }
    fflush(stdout);
  }
  return 0;
}

#endif
