// SPDX-License-Identifier: MIT
// The port in the slot: opened by name with the receiver's line, and closed.
#pragma once

// Opens the port named in the port-name buffer into the slot and gives it
// the receiver's line settings (and read time-outs where the library sets
// them). False, with the invalid handle in the slot, when nothing opened.
// again: a retry after the port was lost, not the host's GPSOpen.
bool OpenNamedPort(bool again);

// Closes the port the slot holds, if any; the slot never names it again.
void CloseHeldPort();
