// SPDX-License-Identifier: MIT
// Sleep, GetTickCount and the last error, over the monotonic clock and a
// per-thread word.
#include <poll.h>
#include <time.h>

#include "layer.h"

// Per thread, as on Windows. The TLS model is the build's choice: one that
// needs no dynamic loader where the C library allows it.
static thread_local DWORD lastError;

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

void SetLastError(DWORD error) { lastError = error; }

DWORD GetLastError(void) { return lastError; }

// Wraps after 49.7 days, as on Windows; callers subtract.
DWORD GetTickCount(void) { return static_cast<DWORD>(NowNs() / 1000000); }

// Signals do not cut it short.
void Sleep(DWORD milliseconds) {
  const int64_t until = NowNs() + int64_t{milliseconds} * 1000000;
  for (int64_t now = NowNs(); now < until; now = NowNs()) {
    poll(nullptr, 0, static_cast<int>((until - now + 999999) / 1000000));
  }
}
