// What a port does beyond a plain descriptor: its exclusive hold, its line
// settings, and coming back after the receiver was unplugged.
#pragma once

#include "handles.h"

// Closes the descriptor of a port whose line has hung up, giving up the
// hold, so that the device can come back under the same name. The handle
// stays the host's.
void DropHungUpLine(OpenDescriptor *port);

// Opens a dropped port's path again, with the hold and the last settings it
// was given. False while the device is not there (or was never a port).
bool ReopenPort(OpenDescriptor *port);

// Applies a DCB to a terminal; false when any field did not take. The line
// is left raw whatever was refused (see comm_state.cpp).
bool ApplyDcb(int fd, const DCB &dcb);
