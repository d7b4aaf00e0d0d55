// CreateFileW and CloseHandle over open(2) and close(2), and a port's
// return after a hang-up.
//
// Where POSIX differs from Win32:
// - Share mode 0 on a port is an exclusive flock() (which stops every other
//   locker, root included, across processes) plus TIOCEXCL on terminals.
//   Only the process that took the hold gives it up: a forked child that
//   closes the port it inherited closes its own descriptor and nothing more.
//   Capture files are not locked: POSIX locks are advisory and a failed lock
//   would only lose the block.
// - Everything is opened non-blocking, so a port without carrier or a FIFO
//   without a reader fails or returns at once instead of hanging the caller.
// - Descriptors are close-on-exec and never become a controlling terminal.
// - A port whose line hangs up (a USB adapter unplugged) is closed at once
//   and reopened by its path on a later read; its handle stays valid.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "handles.h"
#include "names.h"
#include "platform.h"
#include "ports.h"

namespace {

constexpr int kPortFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_RDWR;

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

bool TakeExclusively(OpenDescriptor *descriptor) {
  int fd = descriptor->fd;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    return false;
  }
  if (isatty(fd) && ioctl(fd, TIOCEXCL) != 0) {
    flock(fd, LOCK_UN);
    return false;
  }
  descriptor->exclusive = true;
  descriptor->holder = getpid();
  return true;
}

// Closes the descriptor; the hold goes only from the process that took it,
// since the lock and TIOCEXCL belong to the device, shared across a fork.
void CloseDescriptor(OpenDescriptor *descriptor) {
  int fd = descriptor->fd;
  if (fd < 0) {
    return;
  }
  if (descriptor->exclusive && descriptor->holder == getpid()) {
    if (isatty(fd)) {
      ioctl(fd, TIOCNXCL);
    }
    flock(fd, LOCK_UN);
  }
  descriptor->exclusive = false;
  descriptor->fd = -1;
  // The descriptor is gone whatever close() reports; retrying could close a
  // number another thread has just been given.
  close(fd);
}

// Remembers where a port came from, when the name fits.
void KeepPath(OpenDescriptor *descriptor, const char *path) {
  size_t length = 0;
  while (path[length] != 0 && length < kPortPathBytes) {
    ++length;
  }
  if (length == kPortPathBytes) {
    return; // too long to keep: the port will not come back by itself
  }
  for (size_t i = 0; i <= length; ++i) {
    descriptor->path[i] = path[i];
  }
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
  OpenDescriptor descriptor = {};
  descriptor.fd = open(path, flags, 0666);
  if (descriptor.fd < 0) {
    return INVALID_HANDLE_VALUE;
  }
  // Only something opened for reading needs its kind known: a capture file
  // is never read, and every GPSWrite saves the system call.
  if (desiredAccess & GENERIC_READ) {
    struct stat status;
    if (fstat(descriptor.fd, &status) != 0) {
      close(descriptor.fd);
      return INVALID_HANDLE_VALUE;
    }
    descriptor.waitsOnLine = !S_ISREG(status.st_mode);
  }
  if (shareMode == 0 && creationDisposition == OPEN_EXISTING) {
    if (!TakeExclusively(&descriptor)) {
      close(descriptor.fd);
      return INVALID_HANDLE_VALUE;
    }
    if (descriptor.waitsOnLine && (flags & O_ACCMODE) == O_RDWR) {
      KeepPath(&descriptor, path);
    }
  }
  HANDLE handle = AdoptDescriptor(descriptor);
  if (handle == INVALID_HANDLE_VALUE) {
    CloseDescriptor(&descriptor);
  }
  return handle;
}

BOOL CloseHandle(HANDLE object) {
  OpenDescriptor descriptor;
  if (!ReleaseHandle(object, &descriptor)) {
    return FALSE;
  }
  CloseDescriptor(&descriptor);
  return TRUE;
}

void DropHungUpLine(OpenDescriptor *port) { CloseDescriptor(port); }

bool ReopenPort(OpenDescriptor *port) {
  if (port->fd >= 0 || port->path[0] == 0) {
    return port->fd >= 0;
  }
  port->fd = open(port->path, kPortFlags);
  if (port->fd < 0) {
    return false;
  }
  if (!isatty(port->fd) || !TakeExclusively(port)) {
    close(port->fd);
    port->fd = -1;
    return false;
  }
  if (port->hasSettings) {
    ApplyDcb(port->fd, port->settings);
  }
  return true;
}
