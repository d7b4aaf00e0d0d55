// SPDX-License-Identifier: MIT
// On Windows CE the core calls COREDLL.dll, imported by ordinal only; the
// calls are reached through coredll.cpp.
#pragma once

#include "../win32_subset.h"
