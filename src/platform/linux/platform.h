// SPDX-License-Identifier: MIT
// The Win32 subset the core calls, implemented over Linux with Win32
// meanings (see each .cpp here for where Linux differs).
#pragma once

#include "../win32_subset.h"

void SetLastError(DWORD error);
