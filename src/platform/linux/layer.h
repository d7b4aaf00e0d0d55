// SPDX-License-Identifier: MIT
// What the layer's files share: the open of a path, which the receiver's
// port steps and CreateFileW both make, what Linux calls a pseudo-terminal,
// and the clock the waits are measured on.
#pragma once

#include <stdint.h>
#include <sys/stat.h>

#include "platform.h"

// CreateFileW's open of a POSIX path, with its Win32 meanings.
HANDLE OpenPath(const char *path, DWORD desiredAccess, DWORD shareMode,
                DWORD creationDisposition);

// A Unix 98 pseudo-terminal slave, /dev/pts/N.
bool IsPseudoTerminal(const struct stat &status);

// A descriptor that took 0, 1 or 2 moved above them, so that with the
// host's standard streams closed its printf never reaches the receiver.
int AboveStandardStreams(int fd);

// The monotonic clock, in nanoseconds.
int64_t NowNs();
