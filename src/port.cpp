// GPSOpen and GPSClose: the port's lifetime and its line settings.
#include "TolvaneGPS.h"
#include "module_state.h"
#include "receiver_line.h"
#include "wide_copy.h"

namespace {

// 4800 8N1 with XON/XOFF both ways, no hardware flow control, DTR and RTS
// held off, and the usual start and stop characters: a port left with other
// ones would swallow receiver bytes, or refuse XON/XOFF when they are equal.
// Every other field is the platform's starting value.
void ApplyReceiverLineSettings(HANDLE port) {
  DCB dcb = {};
  ReadStartingLineSettings(port, &dcb);
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 4800;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fOutX = 1;
  dcb.fInX = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  SetCommState(port, &dcb);
  SetReceiverReadTimeouts(port);
}

void CloseHeldPort() {
  if (SlotHoldsPort()) {
    CloseHandle(portSlot);
  }
  // Never 0 again: a later call must not mistake a reused handle for ours.
  portSlot = INVALID_HANDLE_VALUE;
}

} // namespace

extern "C" int GPSOpen(const GPSWideChar *portName) {
  // The port is opened without sharing: a port left open here would keep the
  // host from ever opening it again.
  CloseHeldPort();
  if (!CopyWideBounded(portNameBuffer, kPortNameUnits, portName)) {
    return GPS_COMPLETION_CODE;
  }
  portSlot = CreateFileW(portNameBuffer, GENERIC_READ | GENERIC_WRITE, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
  if (portSlot != INVALID_HANDLE_VALUE) {
    ApplyReceiverLineSettings(portSlot);
  }
  return GPS_COMPLETION_CODE;
}

extern "C" int GPSClose(void) {
  CloseHeldPort();
  return GPS_COMPLETION_CODE;
}
