#include "receiver_line.h"

void ReadStartingLineSettings(HANDLE port, DCB *dcb) {
  GetCommState(port, dcb);
}

// Every port this layer opens already reads with kPortReadTimeouts.
void SetReceiverReadTimeouts(HANDLE) {}
