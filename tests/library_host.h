// SPDX-License-Identifier: MIT
// A host of the linked library with a receiver on a pseudo-terminal and a
// scratch directory for its capture files.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "TolvaneGPS.h"
#include "test_support.h"

class LibraryHost : public testing::Test {
protected:
  void TearDown() override { GPSClose(); }

  void Open() { EXPECT_EQ(GPSOpen(receiver.port().c_str()), 999); }

  std::string Capture(const std::string &name = "fix.nmea") {
    return CaptureTo(dir.File(name));
  }

  static std::string CaptureTo(const std::string &path) {
    EXPECT_EQ(GPSWrite(Utf16(path).c_str()), 999);
    return ReadWhole(path);
  }

  void SendAndSettle(const std::string &bytes) {
    receiver.Send(bytes);
    ASSERT_TRUE(receiver.WaitUntilHolding(static_cast<int>(bytes.size())));
  }

  FakeReceiver receiver;
  TempDir dir;
};
