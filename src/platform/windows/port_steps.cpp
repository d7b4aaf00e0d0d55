// SPDX-License-Identifier: MIT
#include "port_steps.h"
#include "constants.h"

namespace {

// "COMn" with n of two or more digits: Windows opens those only as
// "\\.\COMn" (COM1 to COM9 are also reserved DOS names, and open either
// way).
bool IsBareHighComName(const WCHAR *name) {
  if ((name[0] | 0x20) != 'c' || (name[1] | 0x20) != 'o' ||
      (name[2] | 0x20) != 'm') {
    return false;
  }
  int digits = 0;
  for (const WCHAR *at = name + 3; *at != 0; ++at, ++digits) {
    if (*at < '0' || *at > '9') {
      return false;
    }
  }
  return digits >= 2;
}

} // namespace

HANDLE OpenReceiverPort(const WCHAR *name, bool) {
  // Room for the prefix and the longest name the port-name buffer holds.
  // Filled by hand: a zeroed array would call a memset no C runtime brings.
  WCHAR device[4 + kPortNameUnits];
  const WCHAR *open = name;
  if (IsBareHighComName(name)) {
    device[0] = device[1] = device[3] = '\\';
    device[2] = '.';
    size_t i = 0;
    for (; i + 1 < kPortNameUnits && name[i] != 0; ++i) {
      device[4 + i] = name[i];
    }
    device[4 + i] = 0;
    open = device;
  }
  return CreateFileW(open, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

void CloseReceiverPort(HANDLE port) { CloseHandle(port); }

// Windows keeps nothing for the retries but the name in the core's buffer.
void ForgetReceiverPort() {}
