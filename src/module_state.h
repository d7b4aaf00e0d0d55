// SPDX-License-Identifier: MIT
// The state the three calls share: one of each per process, zero at load.
#pragma once

#include "constants.h"

// Declarations alone: zero-initialised where they are defined, which
// clang-tidy 14 cannot see from here.
// NOLINTBEGIN(bugprone-dynamic-static-initializers)

// Filled from its start by each port read; only the bytes of the last read are
// ever written out.
extern BYTE transferBuffer[kTransferBufferBytes];

// The last name handed to GPSOpen, terminator included.
extern WCHAR portNameBuffer[kPortNameUnits];

// 0 before the first GPSOpen; INVALID_HANDLE_VALUE after a failed open, a
// lost port or a GPSClose; otherwise the open port.
extern HANDLE portSlot;

// True from GPSOpen to GPSClose: while the slot holds no port, GPSWrite then
// waits out the read time-out and tries the name again, instead of returning
// at once.
extern bool portWanted;

// NOLINTEND(bugprone-dynamic-static-initializers)

inline bool SlotHoldsPort() {
  return portSlot != nullptr && portSlot != INVALID_HANDLE_VALUE;
}
