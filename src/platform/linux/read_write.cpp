// SPDX-License-Identifier: MIT
// ReadFile and WriteFile over read(2) and write(2).
//
// A port read follows the port's COMMTIMEOUTS: it returns when the asked
// count has arrived, when the line has been quiet for the interval after a
// byte, or when the total has passed, waiting in poll() on the monotonic
// clock, so signals neither restart the clock nor make it spin. A line that
// hangs up ends the read with the bytes already received, and the read
// fails, then and ever after, as a removed device's does on Windows.
//
// A write gives up 2 s after it began; a terminal then drops what it could
// not send, since its close would wait for that (up to 30 s). SIGPIPE,
// SIGXFSZ and SIGTTOU that the write could raise (a FIFO's reader gone, the
// host's file size limit, the host's own terminal from the background) are
// held in the calling thread meanwhile, and the first two taken out again
// if raised: the block is lost, the host sees no signal. A port read raises
// nothing: the host's own terminal is never a port.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include "handles.h"
#include "layer.h"

namespace {

constexpr int64_t kWriteStallNs = int64_t{2000} * 1000000;
constexpr int64_t kNever = INT64_MAX;

// poll()'s wait until a deadline, rounded up so that it never wakes just
// before the deadline and spins.
int PollMs(int64_t until) {
  if (until == kNever) {
    return -1;
  }
  const int64_t ms = (until - NowNs() + 999999) / 1000000;
  return ms < 0 ? 0 : ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Reads until wanted bytes, quietGap after the last byte, the deadline, or
// a regular file's end. False when the line hung up or failed.
bool ReadUntil(const FileRecord &file, BYTE *buffer, DWORD wanted, DWORD *got,
               int64_t deadline, int64_t quietGap) {
  int64_t until = deadline;
  while (*got < wanted && NowNs() < until) {
    pollfd line = {file.fd, POLLIN, 0};
    int ready = poll(&line, 1, PollMs(until));
    if (ready < 0 && errno != EINTR) {
      return false;
    }
    if (ready <= 0) {
      continue;
    }
    if ((line.revents & POLLIN) == 0) {
      return false; // POLLHUP or POLLERR with nothing to read
    }
    // Read even when poll also reported a hang-up: what the line still holds
    // belongs to this block.
    ssize_t n = read(file.fd, buffer + *got, wanted - *got);
    if (n == 0) {
      return S_ISREG(file.node.st_mode); // its end, or a hang-up
    }
    if (n < 0 && errno != EINTR && errno != EAGAIN) {
      return false;
    }
    if (n > 0) {
      *got += static_cast<DWORD>(n);
      if (quietGap != kNever) {
        const int64_t quietEnd = NowNs() + quietGap;
        until = quietEnd < deadline ? quietEnd : deadline;
      }
    }
  }
  return true;
}

// Waits in poll() while the descriptor is full, never past 2 s from the
// start.
bool WriteAll(int fd, const BYTE *bytes, DWORD count, DWORD *written) {
  const int64_t deadline = NowNs() + kWriteStallNs;
  while (*written < count) {
    ssize_t n = write(fd, bytes + *written, count - *written);
    if (n > 0) {
      *written += static_cast<DWORD>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n == 0 || errno != EAGAIN || NowNs() >= deadline) {
      return false;
    }
    pollfd out = {fd, POLLOUT, 0};
    poll(&out, 1, PollMs(deadline));
  }
  return true;
}

// Takes out a signal the failed write raised, never one the host already
// had pending (only a signal the host blocks can be pending before).
void TakeOutRaised(int error, const sigset_t &pendingBefore) {
  const int number = error == EPIPE ? SIGPIPE : error == EFBIG ? SIGXFSZ : 0;
  sigset_t pending, one;
  if (number == 0 || sigismember(&pendingBefore, number) ||
      sigpending(&pending) != 0 || !sigismember(&pending, number)) {
    return;
  }
  sigemptyset(&one);
  sigaddset(&one, number);
  const timespec now = {0, 0};
  sigtimedwait(&one, nullptr, &now);
}

} // namespace

BOOL ReadFile(HANDLE file, void *buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *) {
  *bytesRead = 0;
  HandleUse use(file);
  FileRecord *port = use.record();
  if (port == nullptr || buffer == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  COMMTIMEOUTS timeouts;
  bool hungUp;
  {
    LayerLock lock;
    timeouts = port->timeouts;
    hungUp = port->hungUp;
  }
  const int64_t totalMs =
      int64_t{timeouts.ReadTotalTimeoutMultiplier} * bytesToRead +
      timeouts.ReadTotalTimeoutConstant;
  const int64_t deadline = totalMs > 0 ? NowNs() + totalMs * 1000000 : kNever;
  const int64_t quietGap = timeouts.ReadIntervalTimeout > 0
                               ? int64_t{timeouts.ReadIntervalTimeout} * 1000000
                               : kNever;
  if (!hungUp && ReadUntil(*port, static_cast<BYTE *>(buffer), bytesToRead,
                           bytesRead, deadline, quietGap)) {
    return TRUE;
  }
  LayerLock lock;
  port->hungUp = true;
  SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite,
               DWORD *written, OVERLAPPED *) {
  *written = 0;
  HandleUse use(file);
  const FileRecord *descriptor = use.record();
  if (descriptor == nullptr || (buffer == nullptr && bytesToWrite > 0)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  sigset_t held, hostMask, pendingBefore;
  sigemptyset(&held);
  sigaddset(&held, SIGPIPE);
  sigaddset(&held, SIGXFSZ);
  sigaddset(&held, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &held, &hostMask);
  sigemptyset(&pendingBefore);
  if (sigismember(&hostMask, SIGPIPE) || sigismember(&hostMask, SIGXFSZ)) {
    sigpending(&pendingBefore);
  }
  const bool done = WriteAll(descriptor->fd, static_cast<const BYTE *>(buffer),
                             bytesToWrite, written);
  if (!done) {
    const int error = errno;
    tcflush(descriptor->fd, TCOFLUSH); // a terminal drops what waits
    TakeOutRaised(error, pendingBefore);
    SetLastError(ERROR_GEN_FAILURE);
  }
  pthread_sigmask(SIG_SETMASK, &hostMask, nullptr);
  return done ? TRUE : FALSE;
}
