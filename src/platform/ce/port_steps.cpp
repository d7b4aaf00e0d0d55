// SPDX-License-Identifier: MIT
#include "port_steps.h"

// CE names carry their colon ("COM1:") and open as given.
HANDLE OpenReceiverPort(const WCHAR *name, bool) {
  return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

void CloseReceiverPort(HANDLE port) { CloseHandle(port); }

// CE keeps nothing for the retries but the name in the core's buffer.
void ForgetReceiverPort() {}

// The DLL imports no GetCommState from COREDLL.dll, so the record starts
// from fixed values rather than from the port: flow-control limits that suit
// a driver input buffer of 2 KiB or more: XOFF goes out when 512 bytes of
// room are left, XON when 512 bytes or fewer wait.
void ReadStartingLineSettings(HANDLE, DCB *dcb) {
  dcb->XonLim = 512;
  dcb->XoffLim = 512;
}

// The device's driver keeps its own read time-outs.
void SetReceiverReadTimeouts(HANDLE) {}
