// SPDX-License-Identifier: MIT
// CreateFileW and CloseHandle over open(2) and close(2).
//
// Where Linux differs from Win32:
// - Share mode 0 on a port is an exclusive flock(), which stops every other
//   locker, root included, and ends with the process however it ends, plus
//   TIOCEXCL on serial devices. Pseudo-terminals get no TIOCEXCL: theirs
//   outlives the process that set it for as long as the master lives.
// - The caller's own controlling terminal is never a port: it is closed
//   untouched and refused as a name that can never open.
// - A capture file that is an open port, by any name, is refused: its block
//   would go back down the line, or into the next block.
// - Everything is opened non-blocking and close-on-exec, never becomes a
//   controlling terminal, and never takes descriptor 0, 1 or 2.
// - A failed open sets the last error: ERROR_INVALID_NAME for a name that
//   can never open, ERROR_FILE_NOT_FOUND for a device that is not there,
//   ERROR_ACCESS_DENIED otherwise.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "handles.h"
#include "layer.h"
#include "names.h"

namespace {

// Unix 98 pseudo-terminal slaves.
constexpr unsigned kFirstPtyMajor = 136, kLastPtyMajor = 143;

// Only a name that can never open changes what the core does.
DWORD ErrorFor(int error) {
  const bool missing =
      error == ENOENT || error == ENXIO || error == ENODEV || error == ENOTDIR;
  return error == ENAMETOOLONG || error == ELOOP ? ERROR_INVALID_NAME
         : missing                               ? ERROR_FILE_NOT_FOUND
                                                 : ERROR_ACCESS_DENIED;
}

// Closes fd, when there is one, and fails the open with error.
HANDLE Refuse(DWORD error, int fd = -1) {
  if (fd >= 0) {
    close(fd);
  }
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

bool TakeExclusively(FileRecord *port) {
  if (flock(port->fd, LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  port->locked = true;
  port->holder = getpid();
  // Where the device takes it: one that is no terminal has none to set.
  port->ttyExclusive = S_ISCHR(port->node.st_mode) &&
                       !IsPseudoTerminal(port->node) &&
                       ioctl(port->fd, TIOCEXCL) == 0;
  return true;
}

} // namespace

bool IsPseudoTerminal(const struct stat &status) {
  return S_ISCHR(status.st_mode) && major(status.st_rdev) >= kFirstPtyMajor &&
         major(status.st_rdev) <= kLastPtyMajor;
}

int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) {
    return fd;
  }
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// A file without a hold (every capture file) asks for no process id.
void CloseDescriptor(FileRecord *descriptor) {
  if (descriptor->locked && descriptor->holder == getpid()) {
    if (descriptor->ttyExclusive) {
      ioctl(descriptor->fd, TIOCNXCL);
    }
    flock(descriptor->fd, LOCK_UN);
  }
  // Gone whatever close() reports: a retry could close a number another
  // thread has just been given.
  close(descriptor->fd);
}

HANDLE OpenPath(const char *path, DWORD desiredAccess, DWORD shareMode,
                DWORD creationDisposition) {
  const bool port = desiredAccess == (GENERIC_READ | GENERIC_WRITE) &&
                    creationDisposition == OPEN_EXISTING;
  const bool capture =
      desiredAccess == GENERIC_WRITE && creationDisposition == CREATE_ALWAYS;
  if (!port && !capture) {
    return Refuse(ERROR_INVALID_PARAMETER);
  }
  const int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK |
                    (port ? O_RDWR : O_WRONLY | O_CREAT | O_TRUNC);
  FileRecord file = {};
  file.fd = AboveStandardStreams(open(path, flags, 0666));
  if (file.fd < 0) {
    return Refuse(ErrorFor(errno));
  }
  if (fstat(file.fd, &file.node) != 0) {
    return Refuse(ERROR_GEN_FAILURE, file.fd);
  }
  file.isPort = port;
  if (capture) {
    LayerLock lock;
    if (IsAnOpenPort(file.node)) {
      return Refuse(ERROR_ACCESS_DENIED, file.fd);
    }
  } else if (tcgetsid(file.fd) != -1) {
    // The caller's own terminal: a person types into it, no receiver.
    return Refuse(ERROR_INVALID_NAME, file.fd);
  }
  if (port && shareMode == 0 && !TakeExclusively(&file)) {
    return Refuse(ErrorFor(errno), file.fd);
  }
  HANDLE handle = AdoptDescriptor(file);
  if (handle == INVALID_HANDLE_VALUE) {
    CloseDescriptor(&file);
    return Refuse(ERROR_GEN_FAILURE); // the table is full
  }
  return handle;
}

HANDLE CreateFileW(const WCHAR *fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES *, DWORD creationDisposition, DWORD,
                   HANDLE) {
  char path[kPathBytes];
  if (!PosixPathFromName(fileName, path, sizeof path)) {
    return Refuse(ERROR_INVALID_NAME);
  }
  return OpenPath(path, desiredAccess, shareMode, creationDisposition);
}

BOOL CloseHandle(HANDLE object) {
  if (!CloseEntry(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
