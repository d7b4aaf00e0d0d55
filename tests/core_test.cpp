// SPDX-License-Identifier: MIT
// The three calls against a recording platform: what they hand the platform,
// in what order, and what the port slot holds afterwards.
#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "TolvaneGPS.h"
#include "module_state.h"
#include "recording_platform.h"

namespace {

using Names = std::vector<std::string>;

HANDLE const kPort = reinterpret_cast<HANDLE>(0x1001);
HANDLE const kOtherPort = reinterpret_cast<HANDLE>(0x1002);
HANDLE const kFile = reinterpret_cast<HANDLE>(0x2001);

const PlatformCall &LastCall(const std::string &name) {
  static const PlatformCall none;
  for (auto call = platformCalls.rbegin(); call != platformCalls.rend();
       ++call) {
    if (call->name == name) {
      return *call;
    }
  }
  return none;
}

class Core : public testing::Test {
protected:
  void SetUp() override { ResetPlatformAndCore(); }

  void OpenPort(HANDLE port = kPort) {
    platformScript.openResults = {port};
    EXPECT_EQ(GPSOpen(u"COM3"), GPS_COMPLETION_CODE);
    platformCalls.clear();
  }
};

TEST_F(Core, OpenCopiesTheNameOpensStoresThenAppliesTheLine) {
  platformScript.openResults = {kPort};
  EXPECT_EQ(GPSOpen(u"COM3"), GPS_COMPLETION_CODE);

  ASSERT_EQ(CallNames(), (Names{"CreateFileW", "GetCommState", "SetCommState",
                                "SetCommTimeouts"}));
  const PlatformCall &open = platformCalls[0];
  EXPECT_EQ(open.pointer, portNameBuffer); // opened from the copy
  EXPECT_EQ(open.text, u"COM3");
  EXPECT_EQ(open.access, 0xC0000000u);
  EXPECT_EQ(open.share, 0u);
  EXPECT_EQ(open.disposition, 3u);
  EXPECT_EQ(open.attributes, 0u);
  EXPECT_TRUE(open.extrasNull);
  for (int i = 1; i <= 2; ++i) {
    EXPECT_EQ(platformCalls[i].handle, kPort);
    EXPECT_EQ(platformCalls[i].slotAtCall, kPort); // stored before applying
  }
  EXPECT_EQ(portSlot, kPort);
}

TEST_F(Core, SettingsRecordChangesOnlyTheLineFieldsAndFlowCharacters) {
  DCB reported;
  std::memset(&reported, 0x5A,
              sizeof reported); // fBinary off, fAbortOnError on
  platformScript.portDcb = reported;
  platformScript.openResults = {kPort};
  GPSOpen(u"COM3");

  unsigned char expected[28];
  std::memcpy(expected, &reported, sizeof expected);
  const uint32_t length = 28, baud = 4800;
  uint32_t flags;
  std::memcpy(&flags, expected + 8, 4);
  // The line fields and flow control, fBinary always set and fAbortOnError
  // always cleared.
  flags = (flags & ~0x703Cu) | 0x301u;
  std::memcpy(expected + 0, &length, 4);
  std::memcpy(expected + 4, &baud, 4);
  std::memcpy(expected + 8, &flags, 4);
  expected[18] = 8;    // ByteSize
  expected[19] = 0;    // Parity
  expected[20] = 0;    // StopBits
  expected[21] = 0x11; // XonChar
  expected[22] = 0x13; // XoffChar
  const DCB &applied = LastCall("SetCommState").dcb;
  EXPECT_EQ(std::memcmp(&applied, expected, sizeof expected), 0);
  EXPECT_EQ(applied.fOutX, 1u);
  EXPECT_EQ(applied.fInX, 1u);
  EXPECT_EQ(applied.fOutxCtsFlow, 0u);
  EXPECT_EQ(applied.fOutxDsrFlow, 0u);
  EXPECT_EQ(applied.fDtrControl, 0u);
  EXPECT_EQ(applied.fRtsControl, 0u);
}

TEST_F(Core, SettingsStillGoOutWhenThePortCannotReportItsOwn) {
  platformScript.getCommStateSucceeds = false;
  platformScript.openResults = {kPort};
  EXPECT_EQ(GPSOpen(u"COM3"), GPS_COMPLETION_CODE);
  const DCB &applied = LastCall("SetCommState").dcb;
  EXPECT_EQ(applied.DCBlength, 28u);
  EXPECT_EQ(applied.BaudRate, 4800u);
  EXPECT_EQ(applied.ByteSize, 8);
  EXPECT_EQ(applied.fOutX, 1u);
  EXPECT_EQ(applied.XonLim, 0);
}

// How many calls of one name, and the waits the core slept in all.
int Count(const std::string &name) {
  Names names = CallNames();
  return static_cast<int>(std::count(names.begin(), names.end(), name));
}

DWORD SleptMs() {
  DWORD slept = 0;
  for (const PlatformCall &call : platformCalls) {
    slept += call.name == "Sleep" ? call.count : 0;
  }
  return slept;
}

// The count of bytes the capture file was given.
DWORD Written() {
  for (const PlatformCall &call : platformCalls) {
    if (call.name == "WriteFile") {
      return call.count;
    }
  }
  return ~0u;
}

TEST_F(Core, APortThatIsGoneIsClosedAtOnceWaitedForAndTakenBackByName) {
  OpenPort();
  // Pulled in the middle of a block: that block keeps what it had, and the
  // dead handle is closed before anything else.
  platformScript.reads = {{"$GPGGA,", FALSE}};
  platformScript.portGone = true;
  platformScript.openResults = {kFile};
  GPSWrite(u"a");
  EXPECT_EQ(CallNames(), (Names{"ReadFile", "ClearCommError", "CloseHandle",
                                "CreateFileW", "WriteFile", "CloseHandle"}));
  EXPECT_EQ(platformCalls[2].handle, kPort);
  EXPECT_EQ(Written(), 7u);
  EXPECT_EQ(portSlot, INVALID_HANDLE_VALUE);

  // While it is away, each call waits out the read time-out, trying the
  // name every 100 ms, and leaves an empty file.
  for (int call = 0; call < 2; ++call) {
    platformCalls.clear();
    platformScript.openResults.assign(20, INVALID_HANDLE_VALUE);
    platformScript.openResults.push_back(kFile);
    GPSWrite(u"a");
    EXPECT_EQ(SleptMs(), 2000u);
    EXPECT_EQ(Count("CreateFileW"), 20 + 1); // the tries, then the file
    EXPECT_EQ(Count("ReadFile"), 0);
    EXPECT_EQ(Written(), 0u);
  }

  // Back under its name: the line is set again and the block read in the
  // same call.
  platformCalls.clear();
  platformClockMs += 50;
  platformScript.portGone = false;
  platformScript.openResults = {INVALID_HANDLE_VALUE, kOtherPort, kFile};
  platformScript.reads = {{"$GPRMC\r\n", TRUE}};
  GPSWrite(u"a");
  EXPECT_EQ(CallNames(),
            (Names{"CreateFileW", "Sleep", "CreateFileW", "GetCommState",
                   "SetCommState", "SetCommTimeouts", "ReadFile", "CreateFileW",
                   "WriteFile", "CloseHandle"}));
  EXPECT_EQ(platformCalls[2].text, u"COM3");
  EXPECT_EQ(platformCalls[4].handle, kOtherPort);
  EXPECT_EQ(platformCalls[4].dcb.BaudRate, 4800u);
  EXPECT_EQ(platformCalls[4].dcb.fOutX + platformCalls[4].dcb.fInX, 2u);
  EXPECT_EQ(platformCalls[5].handle, kOtherPort);
  EXPECT_EQ(Written(), 8u);
  EXPECT_EQ(portSlot, kOtherPort);
}

TEST_F(Core, ALineErrorKeepsThePortAndTheReadGoesOn) {
  OpenPort();
  platformScript.reads = {{"$GP", FALSE}, {"GGA\r\n", TRUE}};
  platformScript.openResults = {kFile};
  GPSWrite(u"a");
  EXPECT_EQ(CallNames(), (Names{"ReadFile", "ClearCommError", "ReadFile",
                                "CreateFileW", "WriteFile", "CloseHandle"}));
  EXPECT_EQ(platformCalls[2].pointer, transferBuffer + 3); // after the first
  EXPECT_EQ(Written(), 8u);
  EXPECT_EQ(portSlot, kPort);

  // One that keeps failing with nothing read waits between tries, and the
  // call still ends with the time-out.
  platformCalls.clear();
  platformScript.readResult = FALSE;
  platformScript.openResults = {kFile};
  GPSWrite(u"a");
  EXPECT_EQ(Count("CloseHandle"), 1); // the file's only
  EXPECT_LE(Count("ReadFile"), 21);
  EXPECT_GE(SleptMs(), 2000u);
}

// A read that comes back empty at once, as at the end of a regular file,
// never ends the call early: it is tried again every 100 ms until the
// time-out, and bytes that come meanwhile are the block. A read that takes
// the whole time-out is not tried again.
TEST_F(Core, AnEmptyReadIsTriedAgainUntilTheTimeOutAndNeverEndsTheCallEarly) {
  OpenPort();
  platformScript.emptyReadsReturnAtOnce = true;
  platformScript.openResults = {kFile};
  GPSWrite(u"a");
  EXPECT_EQ(SleptMs(), 2000u);
  EXPECT_EQ(Count("ReadFile"), 20);
  EXPECT_EQ(Written(), 0u);

  platformCalls.clear();
  platformScript.reads = {{"", TRUE}, {"", TRUE}, {"$GPGGA\r\n", TRUE}};
  platformScript.openResults = {kFile};
  GPSWrite(u"a");
  EXPECT_EQ(SleptMs(), 200u);
  EXPECT_EQ(Written(), 8u);

  platformCalls.clear();
  platformScript.emptyReadsReturnAtOnce = false;
  platformScript.openResults = {kFile};
  GPSWrite(u"a");
  EXPECT_EQ(CallNames(),
            (Names{"ReadFile", "CreateFileW", "WriteFile", "CloseHandle"}));
}

TEST_F(Core, AFailedOpenIsTriedAgainByEachWriteAndAMalformedNameNever) {
  platformScript.openResults = {INVALID_HANDLE_VALUE};
  GPSOpen(u"COM3");
  platformCalls.clear();
  platformScript.openResults = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
                                kPort, kFile};
  platformScript.reads = {{"late\r\n", TRUE}};
  GPSWrite(u"a");
  EXPECT_EQ(Count("CreateFileW"), 3 + 1);
  EXPECT_EQ(SleptMs(), 200u);
  EXPECT_EQ(Written(), 6u);

  platformScript.openError = ERROR_INVALID_NAME;
  GPSOpen(u"COM300");
  platformCalls.clear();
  GPSWrite(u"a");
  EXPECT_EQ(CallNames(), (Names{"Sleep", "CreateFileW"}));
  EXPECT_EQ(SleptMs(), 2000u);
}

TEST_F(Core, AfterCloseAWriteReturnsAtOnceAndTriesNothing) {
  platformScript.openResults = {INVALID_HANDLE_VALUE};
  GPSOpen(u"COM3");
  GPSClose();
  platformCalls.clear();
  GPSWrite(u"a");
  EXPECT_EQ(CallNames(), Names{"CreateFileW"});
  EXPECT_EQ(platformCalls[0].text, u"a");
}

TEST_F(Core, AFailedOpenLeavesTheInvalidHandleAndConfiguresNothing) {
  platformScript.openResults = {INVALID_HANDLE_VALUE};
  EXPECT_EQ(GPSOpen(u"/dev/none"), GPS_COMPLETION_CODE);
  EXPECT_EQ(CallNames(), Names{"CreateFileW"});
  EXPECT_EQ(portSlot, INVALID_HANDLE_VALUE);
}

TEST_F(Core, OpeningAgainClosesThePortItHeldFirst) {
  OpenPort(kPort);
  platformScript.openResults = {kOtherPort};
  GPSOpen(u"COM3");
  ASSERT_EQ(CallNames(), (Names{"CloseHandle", "CreateFileW", "GetCommState",
                                "SetCommState", "SetCommTimeouts"}));
  EXPECT_EQ(platformCalls[0].handle, kPort);
  EXPECT_EQ(portSlot, kOtherPort);
}

TEST_F(Core, NamesThatDoNotFitAreRefusedWithoutOpeningAnything) {
  std::u16string fits(99, u'x');
  std::u16string tooLong(100, u'x');

  OpenPort(kPort);
  EXPECT_EQ(GPSOpen(nullptr), GPS_COMPLETION_CODE);
  EXPECT_EQ(CallNames(), Names{"CloseHandle"}); // the held port, nothing else
  EXPECT_EQ(portSlot, INVALID_HANDLE_VALUE);

  platformCalls.clear();
  EXPECT_EQ(GPSOpen(tooLong.c_str()), GPS_COMPLETION_CODE);
  EXPECT_TRUE(platformCalls.empty());
  EXPECT_EQ(portSlot, INVALID_HANDLE_VALUE);
  EXPECT_EQ(portNameBuffer[0], 0);

  platformScript.openResults = {kPort};
  GPSOpen(fits.c_str());
  ASSERT_FALSE(platformCalls.empty());
  EXPECT_EQ(platformCalls[0].text, fits);
  EXPECT_EQ(portSlot, kPort);
}

TEST_F(Core, CloseClosesThePortOnceAndNeverTouchesAnotherHandle) {
  EXPECT_EQ(GPSClose(), GPS_COMPLETION_CODE); // slot 0 at load
  EXPECT_TRUE(platformCalls.empty());

  OpenPort(kPort);
  EXPECT_EQ(GPSClose(), GPS_COMPLETION_CODE);
  ASSERT_EQ(CallNames(), Names{"CloseHandle"});
  EXPECT_EQ(platformCalls[0].handle, kPort);
  EXPECT_EQ(portSlot, INVALID_HANDLE_VALUE);

  platformCalls.clear();
  EXPECT_EQ(GPSClose(), GPS_COMPLETION_CODE);
  EXPECT_TRUE(platformCalls.empty());
}

TEST_F(Core, WriteReadsTheBlockThenMakesItTheWholeFile) {
  OpenPort();
  platformScript.readBytes = "$GPGGA\r\n";
  platformScript.readCount = 8;
  platformScript.openResults = {kFile};
  const GPSWideChar *path = u"/tmp/fix.nmea";
  EXPECT_EQ(GPSWrite(path), GPS_COMPLETION_CODE);

  ASSERT_EQ(CallNames(),
            (Names{"ReadFile", "CreateFileW", "WriteFile", "CloseHandle"}));
  const PlatformCall &read = platformCalls[0];
  EXPECT_EQ(read.handle, kPort);
  EXPECT_EQ(read.pointer, transferBuffer);
  EXPECT_EQ(read.count, 5000u);
  EXPECT_TRUE(read.extrasNull);
  const PlatformCall &create = platformCalls[1];
  EXPECT_EQ(create.pointer, path); // handed on, not copied
  EXPECT_EQ(create.access, 0x40000000u);
  EXPECT_EQ(create.share, 0u);
  EXPECT_EQ(create.disposition, 2u);
  EXPECT_EQ(create.attributes, 0x80u);
  EXPECT_TRUE(create.extrasNull);
  const PlatformCall &write = platformCalls[2];
  EXPECT_EQ(write.handle, kFile);
  EXPECT_EQ(write.pointer, transferBuffer);
  EXPECT_EQ(write.count, 8u);
  EXPECT_TRUE(write.extrasNull);
  EXPECT_EQ(platformCalls[3].handle, kFile);
  EXPECT_EQ(portSlot, kPort);
}

TEST_F(Core, WriteStoresWhatTheReadReportsButNeverMoreThanTheBuffer) {
  OpenPort();
  platformScript.readCount = 70000;
  platformScript.openResults = {kFile};
  GPSWrite(u"a");
  EXPECT_EQ(platformCalls[2].count, 5000u);
}

TEST_F(Core, WriteWithoutAPortMakesAnEmptyFileWithoutReading) {
  platformScript.openResults = {kFile};
  EXPECT_EQ(GPSWrite(u"before-open"), GPS_COMPLETION_CODE); // slot 0
  EXPECT_EQ(CallNames(), (Names{"CreateFileW", "WriteFile", "CloseHandle"}));
  EXPECT_EQ(platformCalls[1].count, 0u);

  OpenPort();
  GPSClose();
  platformCalls.clear();
  platformScript.openResults = {kFile};
  EXPECT_EQ(GPSWrite(u"after-close"), GPS_COMPLETION_CODE);
  EXPECT_EQ(CallNames(), (Names{"CreateFileW", "WriteFile", "CloseHandle"}));
}

TEST_F(Core, WriteToAPathThatCannotBeMadeOrIsNullStillReads) {
  OpenPort();
  platformScript.openResults = {INVALID_HANDLE_VALUE};
  EXPECT_EQ(GPSWrite(u"/no/such/dir/f"), GPS_COMPLETION_CODE);
  EXPECT_EQ(CallNames(), (Names{"ReadFile", "CreateFileW"}));

  platformCalls.clear();
  EXPECT_EQ(GPSWrite(nullptr), GPS_COMPLETION_CODE);
  EXPECT_EQ(CallNames(), Names{"ReadFile"});
}

} // namespace
