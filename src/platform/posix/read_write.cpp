// SPDX-License-Identifier: MIT
// ReadFile and WriteFile over read(2) and write(2).
//
// A port read follows the port's Win32 COMMTIMEOUTS (see comm_state.cpp): it
// returns when the asked count has arrived, when the line has been quiet for
// the interval after at least one byte, or when the total time has passed.
// It waits in poll() on the monotonic clock, so a signal neither restarts
// the clock nor makes it spin.
//
// A line that hangs up (the receiver was unplugged) ends the read at once
// with the bytes already received, and the read fails, as a read of a
// removed device does on Windows; so does every later read of that handle.
// Coming back by name is the caller's to do.
//
// A write gives up when it has not finished within 2 s, whatever
// signals arrive meanwhile. SIGPIPE and SIGXFSZ raised by the write itself
// (a FIFO's reader gone, the host's file size limit) are held back in the
// calling thread and taken out again, so they never reach the host; the
// write just fails. That costs two system calls a write, and a look at the
// pending signals only when the write failed with EPIPE or EFBIG.
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <unistd.h>

#include "handles.h"
#include "platform.h"
#include "system_clock.h"

namespace {

// The longest a whole write may take (a full pipe, a port held by XOFF).
constexpr int64_t kWriteStallNs = int64_t{2000} * 1000000;

constexpr int64_t kNever = INT64_MAX;

// Reads until wanted bytes, the quiet gap after a byte (kNever for none), or
// totalDeadline. Sets *hungUp when the line went away.
void ReadLine(int fd, BYTE *buffer, DWORD wanted, DWORD *got,
              int64_t totalDeadline, int64_t quietGap, bool *hungUp) {
  int64_t lastByte = 0;
  DWORD count = 0;
  while (count < wanted && !*hungUp) {
    int64_t deadline = totalDeadline;
    if (count > 0 && quietGap != kNever && lastByte + quietGap < deadline) {
      deadline = lastByte + quietGap;
    }
    int64_t now = NowNs();
    if (now >= deadline) {
      break;
    }
    pollfd line = {fd, POLLIN, 0};
    int ready = poll(&line, 1, CeilMs(deadline - now));
    if (ready < 0) {
      *hungUp = errno != EINTR;
      continue;
    }
    if (ready == 0) {
      continue;
    }
    if ((line.revents & POLLIN) == 0) {
      *hungUp = true; // POLLHUP, POLLERR or POLLNVAL with nothing to read
      continue;
    }
    // Read even when poll also reported a hang-up: what the line still holds
    // belongs to this block.
    ssize_t n = read(fd, buffer + count, wanted - count);
    if (n > 0) {
      count += static_cast<DWORD>(n);
      lastByte = NowNs();
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      *hungUp = true; // end of file after "readable", or EIO
    }
  }
  *got = count;
}

BOOL ReadPort(FileRecord *port, BYTE *buffer, DWORD wanted, DWORD *got) {
  if (IsHungUp(port)) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  const COMMTIMEOUTS timeouts = TimeoutsOf(port);
  const int64_t now = NowNs();
  const int64_t total = int64_t{timeouts.ReadTotalTimeoutMultiplier} * wanted +
                        timeouts.ReadTotalTimeoutConstant;
  int64_t deadline = total > 0 ? now + total * 1000000 : kNever;
  const int64_t quietGap = timeouts.ReadIntervalTimeout > 0
                               ? int64_t{timeouts.ReadIntervalTimeout} * 1000000
                               : kNever;
  if (timeouts.ReadIntervalTimeout == 0xFFFFFFFFu && total == 0) {
    deadline = now; // only what has arrived
  }
  bool hungUp = false;
  ReadLine(port->fd, buffer, wanted, got, deadline, quietGap, &hungUp);
  if (!hungUp) {
    return TRUE;
  }
  MarkHungUp(port);
  SetLastError(ERROR_GEN_FAILURE);
  return FALSE;
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

// True once the descriptor can take more, or has an error or hang-up for
// the next write to report (a FIFO whose reader left: EPIPE).
bool WaitWritable(int fd, int64_t deadline) {
  for (int64_t now = NowNs(); now < deadline; now = NowNs()) {
    pollfd out = {fd, POLLOUT, 0};
    int ready = poll(&out, 1, CeilMs(deadline - now));
    if (ready > 0) {
      return true;
    }
    if (ready < 0 && errno != EINTR) {
      return false;
    }
  }
  return false;
}

bool WriteAll(int fd, const BYTE *bytes, DWORD count, DWORD *written) {
  const int64_t deadline = NowNs() + kWriteStallNs;
  while (*written < count) {
    ssize_t n = write(fd, bytes + *written, count - *written);
    if (n > 0) {
      *written += static_cast<DWORD>(n);
    } else if (n < 0 && errno == EAGAIN) {
      if (!WaitWritable(fd, deadline)) {
        return false;
      }
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

// SIGPIPE and SIGXFSZ, held back in this thread only while a write runs:
// one system call to hold them (which also hands back the host's mask) and
// one to restore the mask.
struct HeldSignals {
  sigset_t previousMask;
  sigset_t pendingBefore;
};

sigset_t WriteSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGPIPE);
  sigaddset(&signals, SIGXFSZ);
  return signals;
}

void HoldWriteSignals(HeldSignals *held) {
  const sigset_t writeSignals = WriteSignals();
  pthread_sigmask(SIG_BLOCK, &writeSignals, &held->previousMask);
  // Only a signal the host itself blocks can be pending already, and then it
  // is the host's, to be left pending: noted before the write can raise its
  // own. One the host does not block would have been delivered.
  sigemptyset(&held->pendingBefore);
  if (sigismember(&held->previousMask, SIGPIPE) ||
      sigismember(&held->previousMask, SIGXFSZ)) {
    sigpending(&held->pendingBefore);
  }
}

// After a write that failed with EPIPE or EFBIG, takes out what it raised
// (never one the host already had pending); then restores the thread's mask.
void ReleaseWriteSignals(const HeldSignals &held, bool raised) {
  sigset_t pendingNow;
  if (raised && sigpending(&pendingNow) == 0) {
    const int kWriteSignals[] = {SIGPIPE, SIGXFSZ};
    for (int number : kWriteSignals) {
      if (sigismember(&pendingNow, number) &&
          !sigismember(&held.pendingBefore, number)) {
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, number);
        const timespec now = {0, 0};
        sigtimedwait(&one, nullptr, &now);
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &held.previousMask, nullptr);
}

} // namespace

BOOL ReadFile(HANDLE file, void *buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *) {
  DWORD ignored;
  DWORD *got = bytesRead != nullptr ? bytesRead : &ignored;
  *got = 0;
  if (buffer == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HandleUse use(file);
  FileRecord *descriptor = use.record();
  if (descriptor == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  BYTE *bytes = static_cast<BYTE *>(buffer);
  return descriptor->isLine
             ? ReadPort(descriptor, bytes, bytesToRead, got)
             : ReadPlain(descriptor->fd, bytes, bytesToRead, got);
}

BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite,
               DWORD *bytesWritten, OVERLAPPED *) {
  DWORD ignored;
  DWORD *written = bytesWritten != nullptr ? bytesWritten : &ignored;
  *written = 0;
  if (buffer == nullptr && bytesToWrite > 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HandleUse use(file);
  const FileRecord *descriptor = use.record();
  if (descriptor == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (bytesToWrite == 0) {
    return TRUE; // nothing written, nothing to hold back
  }
  HeldSignals held;
  HoldWriteSignals(&held);
  bool done = WriteAll(descriptor->fd, static_cast<const BYTE *>(buffer),
                       bytesToWrite, written);
  ReleaseWriteSignals(held, !done && (errno == EPIPE || errno == EFBIG));
  if (!done) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  return TRUE;
}
