// SPDX-License-Identifier: MIT
// From the UTF-16 names the library is given to the paths POSIX opens.
#pragma once

#include <stddef.h>

#include "platform.h"

// Room for the longest path Linux opens, terminator included.
constexpr size_t kPathBytes = 4096;

// UTF-16 to UTF-8. Fails on a null or empty name, a lone surrogate, or a
// result that does not fit outSize bytes with its terminator; reads no further
// into name than the conversion needs.
bool Utf8FromUtf16(const WCHAR *name, char *out, size_t outSize);

// "COMn" and "COMn:" (n from 1 to 256, any case, also behind "\\.\") name the
// serial port /dev/ttyS<n-1>, as Windows programs on POSIX usually see it.
// Returns n, or 0 when name is no such port. *comForm, when given, tells
// whether name has that form at all: "COM0", "COM01" and "COM257" have it
// and name no port, "COM1x" is an ordinary name.
unsigned ComPortNumber(const WCHAR *name, bool *comForm = nullptr);

// The POSIX path for a Win32 name: the ttyS device for a COM port name, the
// name itself in UTF-8 otherwise. Fails on a COM name out of range.
bool PosixPathFromName(const WCHAR *name, char *out, size_t outSize);
