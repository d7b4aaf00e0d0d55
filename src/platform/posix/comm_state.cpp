// SPDX-License-Identifier: MIT
// GetCommState, SetCommState, SetCommTimeouts and ClearCommError on the
// layer's handles (the translation to termios is termios_dcb.cpp's).
#include <sys/ioctl.h>

#include "devices.h"
#include "handles.h"
#include "platform.h"

BOOL GetCommState(HANDLE file, DCB *dcb) {
  HandleUse port(file);
  return dcb != nullptr && port.record() != nullptr &&
                 ReadDcb(port.record()->fd, dcb)
             ? TRUE
             : FALSE;
}

BOOL SetCommState(HANDLE file, DCB *dcb) {
  HandleUse port(file);
  return dcb != nullptr && port.record() != nullptr &&
                 ApplyDcb(port.record()->fd, *dcb)
             ? TRUE
             : FALSE;
}

// Win32's meanings: the interval ends a read once the line has been quiet
// that long after a byte, the total (multiplier times the count asked, plus
// the constant) once that long has passed; zero leaves either out, so a
// port left at all zeros waits for the whole count. Where POSIX differs:
// MAXDWORD as the interval with zero totals reads only what has arrived,
// and the write time-outs are not kept (a write gives up after 2 s).
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) {
  HandleUse port(file);
  if (timeouts == nullptr || port.record() == nullptr) {
    return FALSE;
  }
  SetTimeouts(port.record(), *timeouts);
  return TRUE;
}

// A line has no error flags to clear here (termios reports none), so this
// tells only whether the port is still there, and what waits in its queues.
// It fails on a line that hung up, as on a removed device on Windows.
BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status) {
  HandleUse use(file);
  FileRecord *port = use.record();
  if (port == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (IsHungUp(port)) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (errors != nullptr) {
    *errors = 0;
  }
  if (status != nullptr) {
    int waiting = 0, queued = 0;
    *status = COMSTAT{};
    status->cbInQue = ioctl(port->fd, FIONREAD, &waiting) == 0 ? waiting : 0;
    status->cbOutQue = ioctl(port->fd, TIOCOUTQ, &queued) == 0 ? queued : 0;
  }
  return TRUE;
}
