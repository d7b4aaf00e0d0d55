// SPDX-License-Identifier: MIT
// Sleep, GetTickCount and the last error, over the monotonic clock and a
// per-thread word.
#include <limits.h>
#include <poll.h>
#include <time.h>

#include "platform.h"
#include "system_clock.h"

namespace {

// Per thread, as on Windows. Initial-exec: four bytes of the static TLS room
// glibc keeps for libraries loaded later, and no dependency on the dynamic
// loader's __tls_get_addr, so libc stays the only library needed.
__attribute__((tls_model("initial-exec"))) thread_local DWORD lastError;

} // namespace

int64_t NowNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

int CeilMs(int64_t ns) {
  int64_t ms = (ns + 999999) / 1000000;
  return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void SleepUntil(int64_t when) {
  for (int64_t now = NowNs(); now < when; now = NowNs()) {
    poll(nullptr, 0, CeilMs(when - now));
  }
}

void SetLastError(DWORD error) { lastError = error; }

DWORD GetLastError(void) { return lastError; }

// Wraps after 49.7 days, as on Windows; callers subtract.
DWORD GetTickCount(void) { return static_cast<DWORD>(NowNs() / 1000000); }

void Sleep(DWORD milliseconds) {
  SleepUntil(NowNs() + int64_t{milliseconds} * 1000000);
}
