// SPDX-License-Identifier: MIT
// CreateFileW and CloseHandle over open(2) and close(2).
//
// Where POSIX differs from Win32:
// - Share mode 0 on a port is an exclusive flock() (which stops every other
//   locker, root included, across processes, and ends with the process
//   whatever way it ends) plus TIOCEXCL on terminals other than
//   pseudo-terminals: a pseudo-terminal keeps TIOCEXCL for as long as its
//   master lives, so a host that died holding it would lock every later
//   non-root host out. Only the process that took the hold gives it up: a
//   forked child that closes the port it inherited closes its own descriptor
//   and nothing more. Capture files are not locked: POSIX locks are advisory
//   and a failed lock would only lose the block.
// - Everything is opened non-blocking, so a port without carrier or a FIFO
//   without a reader fails or returns at once instead of hanging the caller.
// - Descriptors are close-on-exec, never become a controlling terminal, and
//   are never 0, 1 or 2: with the host's standard streams closed, its
//   printf must not reach the receiver.
// - A failed open sets the last error: ERROR_INVALID_NAME for a name that
//   names no path (a COM number out of range), ERROR_FILE_NOT_FOUND for a
//   device that is not there, ERROR_ACCESS_DENIED for one that is held or
//   refused, ERROR_GEN_FAILURE otherwise.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include "devices.h"
#include "handles.h"
#include "names.h"
#include "platform.h"

namespace {

// Unix 98 pseudo-terminal slaves.
constexpr unsigned kFirstPtyMajor = 136, kLastPtyMajor = 143;

int OpenFlags(DWORD desiredAccess, DWORD creationDisposition) {
  int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  DWORD readWrite = desiredAccess & (GENERIC_READ | GENERIC_WRITE);
  if (readWrite == (GENERIC_READ | GENERIC_WRITE)) {
    flags |= O_RDWR;
  } else if (readWrite == GENERIC_WRITE) {
    flags |= O_WRONLY;
  } else if (readWrite == GENERIC_READ) {
    flags |= O_RDONLY;
  } else {
    return -1;
  }
  if (creationDisposition == CREATE_ALWAYS) {
    return flags | O_CREAT | O_TRUNC;
  }
  return creationDisposition == OPEN_EXISTING ? flags : -1;
}

DWORD ErrorFor(int error) {
  switch (error) {
  case ENOENT:
  case ENXIO:
  case ENODEV:
  case ENOTDIR:
    return ERROR_FILE_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EBUSY:
  case EWOULDBLOCK:
  case EROFS:
  case EISDIR:
    return ERROR_ACCESS_DENIED;
  default:
    return ERROR_GEN_FAILURE;
  }
}

// Moves a descriptor that took 0, 1 or 2 above them.
int AboveStandardStreams(int fd) {
  if (fd < 0 || fd > 2) {
    return fd;
  }
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

bool TakeExclusively(FileRecord *descriptor, bool pseudoTerminal) {
  int fd = descriptor->fd;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  descriptor->locked = true;
  descriptor->holder = getpid();
  if (!pseudoTerminal && isatty(fd)) {
    if (ioctl(fd, TIOCEXCL) != 0) {
      int error = errno;
      flock(fd, LOCK_UN);
      descriptor->locked = false;
      errno = error;
      return false;
    }
    descriptor->ttyExclusive = true;
  }
  return true;
}

HANDLE Refuse(DWORD error) {
  SetLastError(error);
  return INVALID_HANDLE_VALUE;
}

} // namespace

bool SameNode(const struct stat &a, const struct stat &b) {
  return a.st_rdev == b.st_rdev && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool IsPseudoTerminal(const struct stat &status) {
  return S_ISCHR(status.st_mode) && major(status.st_rdev) >= kFirstPtyMajor &&
         major(status.st_rdev) <= kLastPtyMajor;
}

// The hold goes only from the process that took it, since the lock and
// TIOCEXCL belong to the device, shared across a fork. A file without a
// hold (every capture file) costs no getpid.
void CloseDescriptor(FileRecord *descriptor) {
  int fd = descriptor->fd;
  if (fd < 0) {
    return;
  }
  const bool held = descriptor->locked || descriptor->ttyExclusive;
  if (held && descriptor->holder == getpid()) {
    if (descriptor->ttyExclusive) {
      ioctl(fd, TIOCNXCL);
    }
    if (descriptor->locked) {
      flock(fd, LOCK_UN);
    }
  }
  descriptor->locked = false;
  descriptor->ttyExclusive = false;
  descriptor->fd = -1;
  // The descriptor is gone whatever close() reports; retrying could close a
  // number another thread has just been given.
  close(fd);
}

HANDLE OpenPath(const char *path, DWORD desiredAccess, DWORD shareMode,
                DWORD creationDisposition, const struct stat *expected) {
  int flags = OpenFlags(desiredAccess, creationDisposition);
  if (flags == -1) {
    return Refuse(ERROR_INVALID_PARAMETER);
  }
  FileRecord descriptor = {};
  descriptor.fd = AboveStandardStreams(open(path, flags, 0666));
  if (descriptor.fd < 0) {
    return Refuse(ErrorFor(errno));
  }
  // Only something opened for reading needs its kind known: a capture file
  // is never read, and every GPSWrite saves the system call.
  struct stat status = {};
  if ((desiredAccess & GENERIC_READ) || expected != nullptr) {
    if (fstat(descriptor.fd, &status) != 0) {
      close(descriptor.fd);
      return Refuse(ERROR_GEN_FAILURE);
    }
    descriptor.isLine = !S_ISREG(status.st_mode);
  }
  // The path may have been pointed elsewhere since it was looked at: then
  // this is not the device that was checked, and it is left as it was.
  if (expected != nullptr && !SameNode(status, *expected)) {
    close(descriptor.fd);
    return Refuse(ERROR_FILE_NOT_FOUND);
  }
  if (shareMode == 0 && creationDisposition == OPEN_EXISTING &&
      !TakeExclusively(&descriptor, IsPseudoTerminal(status))) {
    DWORD error = ErrorFor(errno);
    close(descriptor.fd);
    return Refuse(error);
  }
  HANDLE handle = AdoptDescriptor(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    CloseDescriptor(&descriptor);
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
  return OpenPath(path, desiredAccess, shareMode, creationDisposition, nullptr);
}

BOOL CloseHandle(HANDLE object) {
  if (!CloseEntry(object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}
