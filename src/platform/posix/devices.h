// SPDX-License-Identifier: MIT
// What the layer knows of devices beyond a plain descriptor: a terminal's
// line settings, which node a path is, and the open beneath CreateFileW that
// the receiver's port steps call with a POSIX path of their own.
#pragma once

#include <sys/stat.h>

#include "handles.h"

// Applies a DCB to a terminal; false when any field did not take. The line
// is left raw whatever was refused (see termios_dcb.cpp).
bool ApplyDcb(int fd, const DCB &dcb);

// Fills dcb from the terminal's settings; false when it has none.
bool ReadDcb(int fd, DCB *dcb);

// CreateFileW's open of a POSIX path. With expected given, only that device
// node (the same device, born at the same moment) is taken: anything else
// now at the path is closed again untouched, with ERROR_FILE_NOT_FOUND.
HANDLE OpenPath(const char *path, DWORD desiredAccess, DWORD shareMode,
                DWORD creationDisposition, const struct stat *expected);

// A Unix 98 pseudo-terminal slave. Its node's ctime is the moment the
// terminal was allocated, and a later terminal under the same number has a
// later one.
bool IsPseudoTerminal(const struct stat &status);

// The same device node: the same device, with the same change time.
bool SameNode(const struct stat &a, const struct stat &b);
