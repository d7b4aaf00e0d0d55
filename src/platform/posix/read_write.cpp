// ReadFile and WriteFile over read(2) and write(2).
//
// A port read follows Win32 COMMTIMEOUTS with kPortReadTimeouts: it returns
// when the asked count has arrived, when the line has been quiet for the
// interval after at least one byte, or when the total time has passed. It
// waits in poll() on the monotonic clock, so a signal neither restarts the
// clock nor makes it spin. A line that hangs up (the receiver was unplugged)
// ends the read at once with the bytes already received; the next read on it
// fails at once.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include "handles.h"
#include "platform.h"

namespace {

// How long a write may make no progress (a full pipe, a port held by XOFF).
constexpr int kWriteStallMs = 2000;

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

// Rounded up, so poll() never wakes just before the deadline and spins.
int CeilMs(int64_t ns) {
  int64_t ms = (ns + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

BOOL ReadLine(int fd, BYTE *buffer, DWORD wanted, DWORD *got) {
  const int64_t totalDeadline =
      NowNs() + int64_t{kPortReadTimeouts.ReadTotalTimeoutConstant} * 1000000;
  const int64_t quietGap =
      int64_t{kPortReadTimeouts.ReadIntervalTimeout} * 1000000;
  int64_t lastByte = 0;
  DWORD count = 0;
  bool lineDown = false;
  while (count < wanted && !lineDown) {
    int64_t deadline = totalDeadline;
    if (count > 0 && lastByte + quietGap < deadline) {
      deadline = lastByte + quietGap;
    }
    int64_t now = NowNs();
    if (now >= deadline) {
      break;
    }
    pollfd line = {fd, POLLIN, 0};
    int ready = poll(&line, 1, CeilMs(deadline - now));
    if (ready < 0) {
      lineDown = errno != EINTR;
      continue;
    }
    if (ready == 0) {
      continue;
    }
    if ((line.revents & POLLIN) == 0) {
      lineDown = true; // POLLHUP, POLLERR or POLLNVAL with nothing to read
      continue;
    }
    // Read even when poll also reported a hang-up: what the line still holds
    // belongs to this block.
    ssize_t n = read(fd, buffer + count, wanted - count);
    if (n > 0) {
      count += static_cast<DWORD>(n);
      lastByte = NowNs();
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      lineDown = true; // end of file after "readable", or EIO
    }
  }
  *got = count;
  return (count > 0 || !lineDown) ? TRUE : FALSE;
}

BOOL ReadPlain(int fd, BYTE *buffer, DWORD wanted, DWORD *got) {
  DWORD count = 0;
  while (count < wanted) {
    ssize_t n = read(fd, buffer + count, wanted - count);
    if (n > 0) {
      count += static_cast<DWORD>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      *got = count;
      return FALSE;
    }
  }
  *got = count;
  return TRUE;
}

bool WaitWritable(int fd) {
  pollfd out = {fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&out, 1, kWriteStallMs);
  } while (ready < 0 && errno == EINTR);
  return ready > 0 && (out.revents & POLLOUT) != 0;
}

} // namespace

BOOL ReadFile(HANDLE file, void *buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *) {
  DWORD ignored;
  DWORD *got = bytesRead != nullptr ? bytesRead : &ignored;
  *got = 0;
  const OpenDescriptor *descriptor = LookUpHandle(file);
  if (descriptor == nullptr || buffer == nullptr) {
    return FALSE;
  }
  BYTE *bytes = static_cast<BYTE *>(buffer);
  return descriptor->waitsOnLine
             ? ReadLine(descriptor->fd, bytes, bytesToRead, got)
             : ReadPlain(descriptor->fd, bytes, bytesToRead, got);
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite,
               DWORD *bytesWritten, OVERLAPPED *) {
  DWORD ignored;
  DWORD *written = bytesWritten != nullptr ? bytesWritten : &ignored;
  *written = 0;
  const OpenDescriptor *descriptor = LookUpHandle(file);
  if (descriptor == nullptr || (buffer == nullptr && bytesToWrite > 0)) {
    return FALSE;
  }
  const BYTE *bytes = static_cast<const BYTE *>(buffer);
  while (*written < bytesToWrite) {
    ssize_t n =
        write(descriptor->fd, bytes + *written, bytesToWrite - *written);
    if (n > 0) {
      *written += static_cast<DWORD>(n);
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable(descriptor->fd)) {
        return FALSE;
      }
    } else if (n == 0 || errno != EINTR) {
      return FALSE;
    }
  }
  return TRUE;
}
