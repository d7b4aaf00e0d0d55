// SPDX-License-Identifier: MIT
// GPSWrite's read of one block from the port.
#pragma once

#include "platform.h"

// Reads one block into the transfer buffer and returns its byte count.
// Before the first GPSOpen and after GPSClose it reads nothing at once.
DWORD ReadBlockFromPort();
