// SPDX-License-Identifier: MIT
/* A serial port that a test can pull out and plug back in, played by
 * stand-ins for the calls a DLL makes on it. The CE loader binds them to the
 * DLL's COREDLL ordinals over the POSIX layer; the Wine host writes them into
 * the DLL's import address table over KERNEL32. Bytes always move through the
 * real calls; the faults are the platform's own:
 * - pulled (u): every handle opened on the port before is dead for good. Its
 *   reads fail with the platform's errors, and so does ClearCommError. The
 *   name fails to open with ERROR_FILE_NOT_FOUND until it is plugged back
 *   (p). A reopen while a dead handle is still open fails the run, since on
 *   Windows it would be shadowed by the old handle.
 * - a line error (e): the next read fails once; ClearCommError succeeds.
 * - empty reads (n): reads of the port succeed at once with no byte, as at
 *   the end of a regular file or from a driver that ignores the time-outs,
 *   until the port is plugged (p) again.
 * - held after close: opens fail with ERROR_ACCESS_DENIED for heldAfterCloseMs
 *   after the port's handle was closed (CE keeps a port about 2 s).
 *
 * The includer defines WCHAR, HANDLE, DCB and the rest, sets the Real*
 * pointers and standInPort, and hands its command lines to StandInCommand. */
#ifndef UNPLUGGABLE_PORT_H
#define UNPLUGGABLE_PORT_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HANDLE(WINAPI *RealCreateFileW)(const WCHAR *, DWORD, DWORD,
                                       SECURITY_ATTRIBUTES *, DWORD, DWORD,
                                       HANDLE);
static BOOL(WINAPI *RealReadFile)(HANDLE, void *, DWORD, DWORD *, OVERLAPPED *);
static BOOL(WINAPI *RealClearCommError)(HANDLE, DWORD *, COMSTAT *);
static BOOL(WINAPI *RealSetCommState)(HANDLE, DCB *);
static BOOL(WINAPI *RealCloseHandle)(HANDLE);

static const WCHAR *standInPort;    /* the name as the DLL opens it */
static DWORD heldAfterCloseMs;      /* 2000 on CE */
static const DWORD *deadReadErrors; /* what a dead handle's reads fail with */
static int deadReadErrorCount;
static DCB lastSettings; /* the last record SetCommState got */

static int plugged = 1, lineErrorNext = 0, deadReads = 0, emptyReads = 0;
static unsigned pulls = 0;
static DWORD portClosedAt;
static int portEverClosed = 0;
static int opens = 0, settings = 0, closes = 0;

struct PortHandle {
  HANDLE handle;
  unsigned pulls; /* how many pulls there had been when it opened */
};
static struct PortHandle portHandles[8];
static int portHandleCount = 0;

static int SameName(const WCHAR *a, const WCHAR *b) {
  for (; *a != 0 && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

static struct PortHandle *PortOf(HANDLE handle) {
  for (int i = 0; i < portHandleCount; ++i) {
    if (portHandles[i].handle == handle) {
      return &portHandles[i];
    }
  }
  return NULL;
}

static int IsDead(HANDLE handle) {
  struct PortHandle *port = PortOf(handle);
  return port != NULL && (!plugged || port->pulls != pulls);
}

static void FailRun(const char *what) {
  printf("FAIL %s\n", what);
  fflush(stdout);
  exit(1);
}

static HANDLE WINAPI StandInCreateFileW(const WCHAR *name, DWORD access,
                                        DWORD share,
                                        SECURITY_ATTRIBUTES *security,
                                        DWORD disposition, DWORD flags,
                                        HANDLE model) {
  if (!SameName(name, standInPort)) {
    return RealCreateFileW(name, access, share, security, disposition, flags,
                           model);
  }
  ++opens;
  if (!plugged) {
    SetLastError(2); /* ERROR_FILE_NOT_FOUND */
    return INVALID_HANDLE_VALUE;
  }
  if (portEverClosed && GetTickCount() - portClosedAt < heldAfterCloseMs) {
    SetLastError(5); /* ERROR_ACCESS_DENIED */
    return INVALID_HANDLE_VALUE;
  }
  for (int i = 0; i < portHandleCount; ++i) {
    if (portHandles[i].pulls != pulls) {
      FailRun("the port reopened while a dead handle to it was open");
    }
  }
  HANDLE handle =
      RealCreateFileW(name, access, share, security, disposition, flags, model);
  if (handle != INVALID_HANDLE_VALUE && portHandleCount < 8) {
    portHandles[portHandleCount].handle = handle;
    portHandles[portHandleCount++].pulls = pulls;
  }
  return handle;
}

static BOOL WINAPI StandInSetCommState(HANDLE port, DCB *dcb) {
  ++settings;
  memcpy(&lastSettings, dcb, sizeof lastSettings);
  if (IsDead(port)) {
    SetLastError(deadReadErrors[0]);
    return FALSE;
  }
  return RealSetCommState(port, dcb);
}

static BOOL WINAPI StandInCloseHandle(HANDLE object) {
  struct PortHandle *port = PortOf(object);
  if (port != NULL) {
    ++closes;
    portClosedAt = GetTickCount();
    portEverClosed = 1;
    *port = portHandles[--portHandleCount];
  }
  return RealCloseHandle(object);
}

static BOOL WINAPI StandInReadFile(HANDLE file, void *buffer, DWORD count,
                                   DWORD *got, OVERLAPPED *overlapped) {
  if (IsDead(file)) {
    *got = 0;
    SetLastError(deadReadErrors[deadReads++ % deadReadErrorCount]);
    return FALSE;
  }
  if (lineErrorNext && PortOf(file) != NULL) {
    lineErrorNext = 0;
    *got = 0;
    SetLastError(1117); /* ERROR_IO_DEVICE, as an overrun reports */
    return FALSE;
  }
  if (emptyReads && PortOf(file) != NULL) {
    *got = 0;
    return TRUE;
  }
  return RealReadFile(file, buffer, count, got, overlapped);
}

static BOOL WINAPI StandInClearCommError(HANDLE file, DWORD *errors,
                                         COMSTAT *status) {
  if (IsDead(file)) {
    SetLastError(deadReadErrors[0]);
    return FALSE;
  }
  return RealClearCommError(file, errors, status);
}

/* Plays u, p, e, n and s; returns the answer line, or NULL for any other
 * command. */
static const char *StandInCommand(const char *command) {
  static char answer[64];
  if (strcmp(command, "u") == 0 || strcmp(command, "p") == 0) {
    plugged = command[0] == 'p';
    pulls += !plugged;
    emptyReads = 0;
    return plugged ? "plugged" : "unplugged";
  }
  if (strcmp(command, "e") == 0) {
    lineErrorNext = 1;
    return "line error";
  }
  if (strcmp(command, "n") == 0) {
    emptyReads = 1;
    return "empty reads";
  }
  if (strcmp(command, "s") == 0) {
    snprintf(answer, sizeof answer, "opens %d settings %d closes %d", opens,
             settings, closes);
    opens = settings = closes = 0;
    return answer;
  }
  return NULL;
}

#endif
