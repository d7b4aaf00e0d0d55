// SPDX-License-Identifier: MIT
// The port in the slot: opened by name with the receiver's line, read one
// block at a time, and closed.
#pragma once

#include "platform.h"

// Opens the port named in the port-name buffer into the slot and gives it
// the receiver's line settings (and read time-outs where the library sets
// them). False, with the invalid handle in the slot, when nothing opened.
// again: a retry after the port was lost, not the host's GPSOpen.
bool OpenNamedPort(bool again);

// Closes the port the slot holds, if any; the slot never names it again.
void CloseHeldPort();

// GPSWrite's read: one block into the transfer buffer, and its byte count.
// Before the first GPSOpen and after GPSClose it reads nothing at once.
DWORD ReadBlockFromPort();
