#include "receiver_line.h"

void ReadStartingLineSettings(HANDLE port, DCB *dcb) {
  GetCommState(port, dcb);
}

// Windows starts a port with all time-outs zero, so a read would wait for the
// whole 5000 bytes: minutes at 4800 baud, for ever on a silent line. These
// are the POSIX build's: a block ends 100 ms after the receiver's last byte,
// and a silent line gives an empty block after 2 s.
void SetReceiverReadTimeouts(HANDLE port) {
  COMMTIMEOUTS timeouts = {};
  timeouts.ReadIntervalTimeout = 100;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = 2000;
  SetCommTimeouts(port, &timeouts);
}
