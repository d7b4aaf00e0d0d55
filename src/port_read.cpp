// SPDX-License-Identifier: MIT
// The read of one block, on every platform, and what it does when the port
// is not there.
//
// A port whose read fails and whose ClearCommError fails too is gone: a USB
// adapter pulled, a CE card removed or a device resumed, all of which leave
// the handle dead for good. The call keeps the bytes it had, and the handle
// is closed at once, since on Windows a handle left open shadows the device
// when it comes back under the same name.
//
// While the slot holds no port between GPSOpen and GPSClose (lost, or never
// opened because the receiver was absent or busy), a call waits out the read
// time-out without using the CPU and tries the name every
// kReopenIntervalMs, so a host's capture loop never spins and a receiver
// that comes back is captured without a new GPSOpen.
//
// A read that fails while ClearCommError succeeds met a line error (an
// overrun, a framing error): the port stays and the read goes on.
//
// A read that brings nothing back before the time-out (the end of a regular
// file named as the port, a driver that ignores the time-outs, a line error)
// is tried again every kReopenIntervalMs until the time-out has passed, so a
// call that reads no byte always lasts the whole read time-out and a host's
// loop never spins.
#include "module_state.h"
#include "port.h"

namespace {

bool PortIsGone(HANDLE port) {
  DWORD errors = 0;
  COMSTAT status = {};
  return !ClearCommError(port, &errors, &status);
}

DWORD Shorter(DWORD a, DWORD b) { return a < b ? a : b; }

} // namespace

DWORD ReadBlockFromPort() {
  if (!portWanted) {
    return 0;
  }
  const DWORD start = GetTickCount();
  // Tries of the name are kReopenIntervalMs apart by the tick count, even
  // where a Sleep ends early (Wine's); the first goes at once.
  DWORD lastTry = start - kReopenIntervalMs;
  DWORD count = 0;
  // A GPSClose from another thread, which the contract rules out, still
  // ends the retries: a closed port is never opened again.
  for (DWORD elapsed = 0; elapsed < kReadTotalMs && portWanted;
       elapsed = GetTickCount() - start) {
    const DWORD left = kReadTotalMs - elapsed;
    if (!SlotHoldsPort()) {
      if (portNameBuffer[0] == 0) {
        Sleep(left);
        return count;
      }
      const DWORD sinceTry = GetTickCount() - lastTry;
      if (sinceTry < kReopenIntervalMs) {
        Sleep(Shorter(left, kReopenIntervalMs - sinceTry));
        continue;
      }
      lastTry = GetTickCount();
      if (!OpenNamedPort(true)) {
        continue;
      }
    }
    const DWORD room = kTransferBufferBytes - count;
    DWORD got = 0;
    BOOL read = ReadFile(portSlot, transferBuffer + count, room, &got, nullptr);
    // The count comes from outside the library; it never reaches past the
    // buffer.
    count += Shorter(got, room);
    if (count == kTransferBufferBytes || (read && count > 0)) {
      return count;
    }
    if (!read && PortIsGone(portSlot)) {
      CloseHeldPort();
      if (count > 0) {
        return count;
      }
    } else if (got == 0) {
      // Back early with nothing: wait one retry interval, never past the
      // time-out, so that a read that waited nearly all of it starts no
      // second full wait.
      const DWORD rest =
          kReadTotalMs - Shorter(GetTickCount() - start, kReadTotalMs);
      if (rest <= kReopenIntervalMs) {
        if (rest > 0) {
          Sleep(rest);
        }
        return count;
      }
      Sleep(kReopenIntervalMs);
    }
  }
  return count;
}
