// SPDX-License-Identifier: MIT
// GPSOpen and GPSClose: the port's lifetime and its line settings.
#include "port.h"

#include "TolvaneGPS.h"
#include "module_state.h"
#include "port_steps.h"

namespace {

// Copies the zero-terminated name at source, terminator included, into
// destination, which holds destinationUnits units. Reads at most that many
// units of source and never writes past the end. A null source, or one whose
// terminator does not fit, leaves destination empty and returns false.
bool CopyWideBounded(WCHAR *destination, size_t destinationUnits,
                     const WCHAR *source) {
  if (source != nullptr) {
    for (size_t i = 0; i < destinationUnits; ++i) {
      destination[i] = source[i];
      if (source[i] == 0) {
        return true;
      }
    }
  }
  destination[0] = 0;
  return false;
}

// The receiver's line (constants.h): XON/XOFF both ways, no hardware flow
// control, DTR and RTS held off, and the usual start and stop characters: a
// port left with other ones would swallow receiver bytes, or refuse XON/XOFF
// when they are equal. Binary mode is the only one Win32 drivers take, and one
// overrun must not stop every later read until someone clears it, so fBinary is
// always set and fAbortOnError always cleared. Every other field is the
// platform's starting value.
void ApplyReceiverLineSettings(HANDLE port) {
  DCB dcb = {};
  ReadStartingLineSettings(port, &dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = kReceiverBaud;
  dcb.fBinary = 1;
  dcb.ByteSize = kReceiverByteSize;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.fAbortOnError = 0;
  dcb.XonChar = kXonChar;
  dcb.XoffChar = kXoffChar;
  SetCommState(port, &dcb);
  SetReceiverReadTimeouts(port);
}

} // namespace

bool OpenNamedPort(bool again) {
  portSlot = OpenReceiverPort(portNameBuffer, again);
  if (portSlot == INVALID_HANDLE_VALUE) {
    // A name the platform calls malformed is never tried again.
    if (GetLastError() == ERROR_INVALID_NAME) {
      portNameBuffer[0] = 0;
    }
    return false;
  }
  ApplyReceiverLineSettings(portSlot);
  return true;
}

void CloseHeldPort() {
  if (SlotHoldsPort()) {
    CloseReceiverPort(portSlot);
  }
  // Never 0 again: a later call must not mistake a reused handle for ours.
  portSlot = INVALID_HANDLE_VALUE;
}

extern "C" int GPSOpen(const GPSWideChar *portName) {
  // The port is opened without sharing: a port left open here would keep the
  // host from ever opening it again.
  CloseHeldPort();
  portWanted = true;
  // A name that does not fit, or that the platform calls malformed, is left
  // empty and never tried again; GPSWrite still waits out its time-out.
  if (!CopyWideBounded(portNameBuffer, kPortNameUnits, portName)) {
    return GPS_COMPLETION_CODE;
  }
  OpenNamedPort(false);
  return GPS_COMPLETION_CODE;
}

extern "C" int GPSClose(void) {
  // Not wanted first: a retry running on another thread then stops trying.
  portWanted = false;
  CloseHeldPort();
  ForgetReceiverPort();
  return GPS_COMPLETION_CODE;
}
