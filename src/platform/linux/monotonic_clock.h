// SPDX-License-Identifier: MIT
// The monotonic clock the layer's waits are measured on.
#pragma once

#include <stdint.h>

int64_t NowNs();
