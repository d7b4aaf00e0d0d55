// SPDX-License-Identifier: MIT
#pragma once

#include <stddef.h>

#include "platform.h"

// Copies the zero-terminated string at source, terminator included, into
// destination, which holds destinationUnits units. Reads at most that many
// units of source and never writes past the end. A null source, or one whose
// terminator does not fit, leaves destination empty and returns false.
bool CopyWideBounded(WCHAR *destination, size_t destinationUnits,
                     const WCHAR *source);
