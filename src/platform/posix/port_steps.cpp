// SPDX-License-Identifier: MIT
#include "port_steps.h"

namespace {

// The name GPSOpen was given, made absolute against the working directory
// of that moment: a port that is tried again after a hang-up is the same
// path whatever directory the host has moved to since.
constexpr DWORD kFullNameUnits = 1024;
WCHAR fullName[kFullNameUnits];

} // namespace

HANDLE OpenReceiverPort(const WCHAR *name, bool again) {
  if (!again) {
    ForgetLostTerminal(); // the host names the port anew
    DWORD length = GetFullPathNameW(name, kFullNameUnits, fullName, nullptr);
    if (length == 0 || length >= kFullNameUnits) {
      fullName[0] = 0; // then the name as it was given
    }
  }
  const WCHAR *path = fullName[0] != 0 ? fullName : name;
  // A pseudo-terminal whose line hung up is never the receiver again, even
  // when another program gets its number; a link pointed at a new one is.
  if (again && LeadsToLostTerminal(path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}
