// CreateFileW and CloseHandle over open(2) and close(2).
//
// Where POSIX differs from Win32:
// - Share mode 0 on a port is an exclusive flock() (which stops every other
//   locker, root included, across processes) plus TIOCEXCL on terminals.
//   Capture files are not locked: POSIX locks are advisory and a failed lock
//   would only lose the block.
// - Everything is opened non-blocking, so a port without carrier or a FIFO
//   without a reader fails or returns at once instead of hanging the caller.
// - Descriptors are close-on-exec and never become a controlling terminal.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "handles.h"
#include "names.h"
#include "platform.h"

namespace {

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

bool TakeExclusively(int fd) {
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  if (isatty(fd) && ioctl(fd, TIOCEXCL) != 0) {
    flock(fd, LOCK_UN);
    return false;
  }
  return true;
}

void GiveUpExclusive(int fd) {
  if (isatty(fd)) {
    ioctl(fd, TIOCNXCL);
  }
  flock(fd, LOCK_UN);
}

} // namespace

HANDLE CreateFileW(const WCHAR *fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES *, DWORD creationDisposition, DWORD,
                   HANDLE) {
  char path[kPathBytes];
  int flags = OpenFlags(desiredAccess, creationDisposition);
  if (flags == -1 || !PosixPathFromName(fileName, path, sizeof path)) {
    return INVALID_HANDLE_VALUE;
  }
  int fd = open(path, flags, 0666);
  if (fd < 0) {
    return INVALID_HANDLE_VALUE;
  }
  OpenDescriptor descriptor = {fd, false, false};
  // Only something opened for reading needs its kind known: a capture file
  // is never read, and every GPSWrite saves the system call.
  if (desiredAccess & GENERIC_READ) {
    struct stat status;
    if (fstat(fd, &status) != 0) {
      close(fd);
      return INVALID_HANDLE_VALUE;
    }
    descriptor.waitsOnLine = !S_ISREG(status.st_mode);
  }
  if (shareMode == 0 && creationDisposition == OPEN_EXISTING) {
    if (!TakeExclusively(fd)) {
      close(fd);
      return INVALID_HANDLE_VALUE;
    }
    descriptor.exclusive = true;
  }
  HANDLE handle = AdoptDescriptor(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    if (descriptor.exclusive) {
      GiveUpExclusive(fd);
    }
    close(fd);
  }
  return handle;
}

BOOL CloseHandle(HANDLE object) {
  OpenDescriptor descriptor;
  if (!ReleaseHandle(object, &descriptor)) {
    return FALSE;
  }
  if (descriptor.exclusive) {
    GiveUpExclusive(descriptor.fd);
  }
  // The descriptor is gone whatever close() reports; retrying could close a
  // number another thread has just been given.
  return close(descriptor.fd) == 0 ? TRUE : FALSE;
}
