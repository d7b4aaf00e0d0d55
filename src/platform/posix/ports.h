// SPDX-License-Identifier: MIT
// What a port does beyond a plain descriptor: its line settings, and the
// pseudo-terminal that hung up last.
#pragma once

#include "handles.h"

// Applies a DCB to a terminal; false when any field did not take. The line
// is left raw whatever was refused (see comm_state.cpp).
bool ApplyDcb(int fd, const DCB &dcb);

// Remembers the descriptor's device when it is a pseudo-terminal whose line
// has hung up (see LeadsToLostTerminal).
void RememberLostTerminal(int fd);
