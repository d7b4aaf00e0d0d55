// SPDX-License-Identifier: MIT
// How long a block read waits. The library sets these on every platform
// whose ports it configures (desktop Windows and POSIX); a CE driver keeps its
// own.
#pragma once

#include "platform.h"

// A block ends once the line has been quiet this long after a byte...
constexpr DWORD kReadIntervalMs = 100;
// ...or this long after the read began, whatever has arrived.
constexpr DWORD kReadTotalMs = 2000;
// While the port is away, its name is tried again this often; a read that
// came back empty early is tried again this often too.
constexpr DWORD kReopenIntervalMs = 100;
