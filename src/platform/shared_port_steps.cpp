// SPDX-License-Identifier: MIT
// The two steps of GPSOpen that desktop Windows and the POSIX layer share:
// both report a port's settings, and both start a port with all read
// time-outs zero, so that a read would wait for the whole 5000 bytes:
// minutes at 4800 baud, for ever on a silent line. A CE driver keeps its own
// (platform/ce/port_steps.cpp).
#include "constants.h"
#include "port_steps.h"

void ReadStartingLineSettings(HANDLE port, DCB *dcb) {
  GetCommState(port, dcb);
}

void SetReceiverReadTimeouts(HANDLE port) {
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = kReadIntervalMs;
  timeouts.ReadTotalTimeoutConstant = kReadTotalMs;
  SetCommTimeouts(port, &timeouts);
}
