// SPDX-License-Identifier: MIT
// The settings record every platform's port is handed for the receiver.
#pragma once

#include <gtest/gtest.h>

#include "../src/platform/win32_subset.h"

// The receiver's line whatever the port had: a 28-byte record, 4800 8N1,
// XON/XOFF both ways with the usual characters, no hardware flow control,
// DTR and RTS off, binary mode, and reads that go on after a line error.
inline void ExpectReceiverLine(const DCB &dcb) {
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 4800u);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.fOutX, 1u);
  EXPECT_EQ(dcb.fInX, 1u);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
  EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
  EXPECT_EQ(dcb.fDtrControl, 0u); // DTR_CONTROL_DISABLE
  EXPECT_EQ(dcb.fRtsControl, 0u); // RTS_CONTROL_DISABLE
  EXPECT_EQ(dcb.fBinary, 1u);
  EXPECT_EQ(dcb.fAbortOnError, 0u);
}
