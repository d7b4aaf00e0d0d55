#include "receiver_line.h"

// COREDLL.dll has no GetCommState ordinal known to us, so the record starts
// from fixed values rather than from the port: binary mode (the only mode CE
// drivers support), the usual start and stop characters, and flow-control
// limits that suit a driver input buffer of 2 KiB or more: XOFF goes out
// when 512 bytes of room are left, XON when 512 bytes or fewer wait.
void ReadStartingLineSettings(HANDLE, DCB *dcb) {
  dcb->fBinary = 1;
  dcb->XonChar = 0x11;
  dcb->XoffChar = 0x13;
  dcb->XonLim = 512;
  dcb->XoffLim = 512;
}

// The device's driver keeps its own read time-outs.
void SetReceiverReadTimeouts(HANDLE) {}
