// SPDX-License-Identifier: MIT
// The monotonic clock the layer's waits are measured on.
#pragma once

#include <stdint.h>

int64_t NowNs();

// Milliseconds for poll(), rounded up, so a wait never wakes just before its
// deadline and spins.
int CeilMs(int64_t ns);

// Sleeps until the monotonic clock reaches when; signals do not cut it short.
void SleepUntil(int64_t when);
