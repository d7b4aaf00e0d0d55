// SPDX-License-Identifier: MIT
// The three calls against a recording platform: what they hand the platform,
// in what order, and what the port slot holds afterwards.
#include <algorithm>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "TolvaneGPS.h"
#include "module_state.h"
#include "receiver_line.h"
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

// How many calls of one name.
int Count(const std::string &name) {
  Names names = CallNames();
  return static_cast<int>(std::count(names.begin(), names.end(), name));
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

// The port GPSOpen opened gets the line settings and read time-outs, and is
// held even when it refuses the settings. The name is the library's own
// copy: the host may reuse its buffer, and a retry still opens the port it
// named.
TEST_F(Core, OpenAppliesTheLineToThePortItHoldsAndKeepsTheName) {
  for (BOOL applies : {TRUE, FALSE}) {
    ResetPlatformAndCore();
    platformScript.setCommStateSucceeds = applies;
    platformScript.openResults = {kPort};
    EXPECT_EQ(GPSOpen(u"COM3"), GPS_COMPLETION_CODE);
    EXPECT_EQ(LastCall("CreateFileW").text, u"COM3");
    EXPECT_EQ(LastCall("SetCommState").handle, kPort);
    EXPECT_EQ(LastCall("SetCommTimeouts").handle, kPort);
    EXPECT_EQ(portSlot, kPort) << "settings taken: " << applies;
  }

  char16_t name[] = u"COM3";
  platformScript.openResults = {INVALID_HANDLE_VALUE};
  GPSOpen(name);
  name[3] = u'9'; // the host reuses its buffer
  platformCalls.clear();
  platformScript.openResults = {kPort, kFile};
  GPSWrite(u"a");
  ASSERT_FALSE(platformCalls.empty());
  EXPECT_EQ(platformCalls[0].text, u"COM3");
}

// Every other field is the port's own, whatever bits it reported.
TEST_F(Core, SettingsRecordChangesOnlyTheLineFieldsAndFlowCharacters) {
  for (int fill : {0x00, 0x5A, 0xA5, 0xFF}) {
    SCOPED_TRACE(fill);
    ResetPlatformAndCore();
    DCB port;
    std::memset(&port, fill, sizeof port);
    platformScript.portDcb = port;
    platformScript.openResults = {kPort};
    GPSOpen(u"COM3");
    const DCB &applied = LastCall("SetCommState").dcb;
    ExpectReceiverLine(applied);
    EXPECT_EQ(applied.fParity, port.fParity);
    EXPECT_EQ(applied.fDsrSensitivity, port.fDsrSensitivity);
    EXPECT_EQ(applied.fTXContinueOnXoff, port.fTXContinueOnXoff);
    EXPECT_EQ(applied.fErrorChar, port.fErrorChar);
    EXPECT_EQ(applied.fNull, port.fNull);
    EXPECT_EQ(applied.fDummy2, port.fDummy2);
    EXPECT_EQ(applied.wReserved, port.wReserved);
    EXPECT_EQ(applied.XonLim, port.XonLim);
    EXPECT_EQ(applied.XoffLim, port.XoffLim);
    EXPECT_EQ(applied.ErrorChar, port.ErrorChar);
    EXPECT_EQ(applied.EofChar, port.EofChar);
    EXPECT_EQ(applied.EvtChar, port.EvtChar);
    EXPECT_EQ(applied.wReserved1, port.wReserved1);
  }
}

TEST_F(Core, SettingsStillGoOutWhenThePortCannotReportItsOwn) {
  platformScript.getCommStateSucceeds = false;
  platformScript.openResults = {kPort};
  EXPECT_EQ(GPSOpen(u"COM3"), GPS_COMPLETION_CODE);
  const DCB &applied = LastCall("SetCommState").dcb;
  ExpectReceiverLine(applied);
  EXPECT_EQ(applied.XonLim, 0);
}

// The waits the core slept in all.
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

// One read of up to 5000 bytes, and only then the file: an earlier capture
// file keeps its block until the new one is in. The file is made anew, never
// appended to, and holds exactly the bytes read.
TEST_F(Core, WriteReadsTheBlockThenMakesItTheWholeFile) {
  OpenPort();
  platformScript.readBytes = "$GPGGA\r\n";
  platformScript.readCount = 8;
  platformScript.openResults = {kFile};
  EXPECT_EQ(GPSWrite(u"/tmp/fix.nmea"), GPS_COMPLETION_CODE);

  ASSERT_EQ(CallNames(),
            (Names{"ReadFile", "CreateFileW", "WriteFile", "CloseHandle"}));
  const PlatformCall &read = platformCalls[0];
  EXPECT_EQ(read.handle, kPort);
  EXPECT_EQ(read.count, 5000u);
  EXPECT_TRUE(read.extrasNull); // a plain blocking read
  const PlatformCall &create = platformCalls[1];
  EXPECT_EQ(create.text, u"/tmp/fix.nmea");
  EXPECT_EQ(create.access, GENERIC_WRITE);
  EXPECT_EQ(create.share, 0u);
  EXPECT_EQ(create.disposition, CREATE_ALWAYS);
  EXPECT_EQ(create.attributes, FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(create.extrasNull);
  const PlatformCall &write = platformCalls[2];
  EXPECT_EQ(write.handle, kFile);
  EXPECT_EQ(write.bytes, "$GPGGA\r\n");
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
