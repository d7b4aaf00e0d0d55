// SPDX-License-Identifier: MIT
// GetCommState, SetCommState, SetCommTimeouts and ClearCommError over
// termios, for the one line the library sets: the receiver's.
//
// SetCommState takes that line (constants.h) and refuses every other with
// ERROR_INVALID_PARAMETER, changing nothing. The line it sets is raw: no
// canonical mode, echo, signals, CR/LF translation or output processing,
// CLOCAL|CREAD on, HUPCL off, DTR and RTS dropped where the device has
// modem lines. The fields it does not look at (XonLim, fParity, ...) mean
// nothing to a termios line.
#include <errno.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "../../constants.h"
#include "handles.h"

namespace {

bool IsReceiverLine(const DCB &dcb) {
  return dcb.BaudRate == kReceiverBaud && dcb.ByteSize == kReceiverByteSize &&
         dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT &&
         !dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow &&
         dcb.fDtrControl == DTR_CONTROL_DISABLE &&
         dcb.fRtsControl == RTS_CONTROL_DISABLE && dcb.fOutX && dcb.fInX &&
         dcb.XonChar == kXonChar && dcb.XoffChar == kXoffChar;
}

// The terminal behind a handle, or -1.
int TerminalOf(const HandleUse &use) {
  const FileRecord *file = use.record();
  return file != nullptr && S_ISCHR(file->node.st_mode) ? file->fd : -1;
}

} // namespace

// The record the core fills in: every field it sets is SetCommState's
// whole concern, and the others mean nothing to a termios line.
BOOL GetCommState(HANDLE file, DCB *dcb) {
  HandleUse use(file);
  termios line;
  if (dcb == nullptr || tcgetattr(TerminalOf(use), &line) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *dcb = DCB{};
  dcb->DCBlength = sizeof(DCB);
  return TRUE;
}

BOOL SetCommState(HANDLE file, DCB *dcb) {
  HandleUse use(file);
  const int fd = TerminalOf(use);
  termios line;
  if (dcb == nullptr || !IsReceiverLine(*dcb) || tcgetattr(fd, &line) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Raw, and clear of what cfmakeraw leaves: parity checks, odd parity, two
  // stop bits, hardware flow, hang-up on close and job control.
  cfmakeraw(&line);
  line.c_iflag &= ~(IGNPAR | INPCK | IXANY | IMAXBEL);
  line.c_iflag |= IXON | IXOFF;
  line.c_lflag &= ~(ECHOE | ECHOK | NOFLSH | TOSTOP);
  line.c_cflag &= ~(PARODD | CSTOPB | CRTSCTS | HUPCL);
  line.c_cflag |= CLOCAL | CREAD;
  line.c_cc[VSTART] = kXonChar;
  line.c_cc[VSTOP] = kXoffChar;
  cfsetspeed(&line, B4800);
  int modemLines = TIOCM_DTR | TIOCM_RTS;
  // A device without modem lines (a pseudo-terminal) has none to drop.
  if (tcsetattr(fd, TCSANOW, &line) != 0 ||
      (ioctl(fd, TIOCMBIC, &modemLines) != 0 && errno != ENOTTY &&
       errno != EINVAL)) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return TRUE;
}

// Win32's meanings: a read ends once the line has been quiet for the
// interval after a byte, or once the total (multiplier times the count
// asked, plus the constant) has passed; zero leaves either out. The write
// time-outs are not kept: a write gives up after 2 s.
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) {
  HandleUse use(file);
  LayerLock lock; // ends before the use does
  if (timeouts == nullptr || use.record() == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  use.record()->timeouts = *timeouts;
  return TRUE;
}

// A termios line reports no error flags, so this tells only whether the
// port is still there: it fails on a line that hung up, as on a removed
// device on Windows.
BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status) {
  HandleUse use(file);
  LayerLock lock;
  if (use.record() == nullptr || use.record()->hungUp) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  if (errors != nullptr) {
    *errors = 0;
  }
  if (status != nullptr) {
    *status = COMSTAT{};
  }
  return TRUE;
}
