// SPDX-License-Identifier: MIT
// The Win32 subset the core calls, implemented over POSIX with Win32
// meanings (see each .cpp here for where POSIX differs).
#pragma once

#include "../win32_subset.h"

void SetLastError(DWORD error);

// The name made absolute against the working directory of this moment, as
// Win32's call does; COM names and absolute paths come back as they are.
// Returns the length without the terminator, or the units needed with it
// when out is too small, or 0 on a name that names nothing.
DWORD GetFullPathNameW(const WCHAR *name, DWORD units, WCHAR *out,
                       WCHAR **filePart);

// POSIX only: whether name now leads to the pseudo-terminal whose line last
// hung up in this process, since it was last forgotten. Pseudo-terminal
// numbers are reused by unrelated programs, so one that comes back under the
// same number is never the same receiver.
bool LeadsToLostTerminal(const WCHAR *name);
void ForgetLostTerminal();
