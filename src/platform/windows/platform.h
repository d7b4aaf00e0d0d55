// SPDX-License-Identifier: MIT
// On Windows the library calls the system itself.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
