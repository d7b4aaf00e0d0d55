// SPDX-License-Identifier: MIT
// The numbers the library is built around, each written once: the
// receiver's line, the buffers, and how long a block read waits. The core,
// the platforms, the tests and the benchmarks all take them from here.
#pragma once

#include <stddef.h>

#include "platform.h"

// The receiver's line: 4800 baud, 8 data bits, no parity, one stop bit,
// XON/XOFF flow control with the usual characters.
constexpr DWORD kReceiverBaud = 4800;
constexpr BYTE kReceiverByteSize = 8;
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;

// The most one block holds.
constexpr DWORD kTransferBufferBytes = 5000;
// The longest port name, terminator included.
constexpr size_t kPortNameUnits = 100;

// How long a block read waits. The library sets these on every platform
// whose ports it configures (desktop Windows and POSIX); a CE driver keeps its
// own. A block ends once the line has been quiet this long after a byte...
constexpr DWORD kReadIntervalMs = 100;
// ...or this long after the read began, whatever has arrived.
constexpr DWORD kReadTotalMs = 2000;
// While the port is away, its name is tried again this often; a read that
// came back empty early is tried again this often too.
constexpr DWORD kReopenIntervalMs = 100;
