// SPDX-License-Identifier: MIT
// The Linux platform layer on its own: names, handles, exclusive ports, line
// settings and time-outs, against real pseudo-terminals and files.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "constants.h"
#include "names.h"
#include "platform.h"
#include "port_steps.h"
#include "test_support.h"

namespace {

HANDLE OpenPort(const std::u16string &name) {
  return CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

// The receiver's line, as GPSOpen asks for it.
DCB ReceiverLine() {
  DCB dcb = {};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 4800;
  dcb.fBinary = 1;
  dcb.ByteSize = 8;
  dcb.fOutX = dcb.fInX = 1;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return dcb;
}

// A port as the library leaves it: raw, 4800 8N1, XON/XOFF, reads ending
// 100 ms after the last byte or 2 s after they began.
HANDLE OpenRawPort(const std::u16string &name) {
  HANDLE port = OpenPort(name);
  DCB dcb = ReceiverLine();
  EXPECT_TRUE(SetCommState(port, &dcb));
  COMMTIMEOUTS timeouts = {kReadIntervalMs, 0, kReadTotalMs, 0, 0};
  EXPECT_TRUE(SetCommTimeouts(port, &timeouts));
  return port;
}

HANDLE CreateCapture(const std::string &path) {
  return CreateFileW(Utf16(path).c_str(), GENERIC_WRITE, 0, nullptr,
                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string PathFor(const std::u16string &name) {
  char path[kPathBytes];
  return PosixPathFromName(name.c_str(), path, sizeof path) ? path
                                                            : "<refused>";
}

TEST(Names, ComPortsMapToTtySWithinOneTo256) {
  EXPECT_EQ(PathFor(u"COM1"), "/dev/ttyS0");
  EXPECT_EQ(PathFor(u"com3:"), "/dev/ttyS2");
  EXPECT_EQ(PathFor(u"\\\\.\\COM10"), "/dev/ttyS9");
  EXPECT_EQ(PathFor(u"Com256"), "/dev/ttyS255");
  // A COM name out of range names no port, and never a file here.
  for (const char16_t *outOfRange :
       {u"COM0", u"COM257", u"COM01", u"\\\\.\\COM300:", u"com99999999999"}) {
    EXPECT_EQ(PathFor(outOfRange), "<refused>");
  }
  // Anything else is a path as it stands.
  for (const std::string other : {"COM", "COM1x", "COM1::", "xCOM1"}) {
    EXPECT_EQ(ComPortNumber(Utf16(other).c_str()), 0u);
    EXPECT_EQ(PathFor(Utf16(other)), other);
  }
  EXPECT_EQ(PathFor(u"/dev/serial/by-id/usb-GPS"), "/dev/serial/by-id/usb-GPS");
}

TEST(Names, Utf16BecomesUtf8AndMalformedOrOversizedNamesAreRefused) {
  EXPECT_EQ(PathFor(u"/tmp/\u00e9\u20ac\U0001D11E"),
            "/tmp/\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e");
  EXPECT_EQ(PathFor(u""), "<refused>");
  EXPECT_EQ(PathFor(std::u16string(u"/tmp/") + char16_t(0xD834)), "<refused>");
  EXPECT_EQ(PathFor(std::u16string(u"/tmp/") + char16_t(0xDD1E) + u"x"),
            "<refused>");

  char out[8];
  EXPECT_TRUE(Utf8FromUtf16(u"1234567", out, sizeof out)); // 7 + terminator
  EXPECT_FALSE(Utf8FromUtf16(u"12345678", out, sizeof out));
  EXPECT_FALSE(Utf8FromUtf16(u"123456\u00e9", out, sizeof out));
  EXPECT_FALSE(PosixPathFromName(u"COM200", out, sizeof out));
  EXPECT_EQ(PathFor(std::u16string(kPathBytes, u'a')), "<refused>");
}

// The way back, for the tools' command lines: strict, so that no malformed
// byte sequence becomes some other name.
TEST(Names, OnlyWellFormedUtf8BecomesUtf16) {
  EXPECT_EQ(Utf16("/tmp/\xc3\xa9\xe2\x82\xac\xf0\x9d\x84\x9e"),
            u"/tmp/\u00e9\u20ac\U0001D11E");
  EXPECT_EQ(Utf16("\xf4\x8f\xbf\xbf"), u"\U0010FFFF");
  for (const char *malformed :
       {"n\xc0\x80z", "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80",
        "caf\xe9", "\xc3", "\x80", "\xf8\x88\x80\x80\x80"}) {
    EXPECT_EQ(Utf16(malformed), u"") << malformed;
  }
}

TEST(Handles, OnlyHandlesTheLayerGaveOutAreHonoured) {
  TempDir dir;
  for (HANDLE foreign :
       {HANDLE{nullptr}, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(1)}) {
    DWORD count = 7;
    char byte;
    EXPECT_FALSE(CloseHandle(foreign));
    EXPECT_FALSE(ReadFile(foreign, &byte, 1, &count, nullptr));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(WriteFile(foreign, "x", 1, &count, nullptr));
  }

  // A closed handle stays dead even when its table entry is reused.
  HANDLE first = CreateCapture(dir.File("a"));
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(CloseHandle(first));
  HANDLE second = CreateCapture(dir.File("b"));
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);
  DWORD written = 0;
  EXPECT_FALSE(WriteFile(first, "x", 1, &written, nullptr));
  EXPECT_FALSE(CloseHandle(first));
  EXPECT_TRUE(WriteFile(second, "y", 1, &written, nullptr));
  EXPECT_TRUE(CloseHandle(second));
  EXPECT_EQ(ReadWhole(dir.File("a")), "");
  EXPECT_EQ(ReadWhole(dir.File("b")), "y");
}

TEST(Ports, AHeldPortCannotBeOpenedAgainHereOrElsewhere) {
  FakeReceiver receiver;
  HANDLE port = OpenPort(receiver.port());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  EXPECT_EQ(OpenPort(receiver.port()), INVALID_HANDLE_VALUE);

  EXPECT_EQ(ExitStatusOf([&] {
              _exit(OpenPort(receiver.port()) == INVALID_HANDLE_VALUE ? 0 : 1);
            }),
            0);

  EXPECT_TRUE(CloseHandle(port));
  port = OpenPort(receiver.port());
  EXPECT_NE(port, INVALID_HANDLE_VALUE);
  CloseHandle(port);
}

// The one line the library sets is taken, raw, over whatever the port was
// left with; any other record is refused and changes nothing.
TEST(Ports, TheReceiversLineIsTakenAndEveryOtherRefused) {
  FakeReceiver receiver;
  termios cooked = receiver.LineSettings();
  cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  cooked.c_iflag |= ICRNL;
  receiver.SetLineSettings(cooked);
  HANDLE port = OpenPort(receiver.port());
  auto refused = [&](void (*change)(DCB &)) {
    DCB wrong = ReceiverLine();
    change(wrong);
    return !SetCommState(port, &wrong);
  };
  EXPECT_TRUE(refused([](DCB &d) { d.BaudRate = 9600; }));
  EXPECT_TRUE(refused([](DCB &d) { d.ByteSize = 7; }));
  EXPECT_TRUE(refused([](DCB &d) { d.Parity = EVENPARITY; }));
  EXPECT_TRUE(refused([](DCB &d) { d.StopBits = TWOSTOPBITS; }));
  EXPECT_TRUE(refused([](DCB &d) { d.fOutxCtsFlow = 1; }));
  EXPECT_TRUE(refused([](DCB &d) { d.fDtrControl = DTR_CONTROL_ENABLE; }));
  EXPECT_TRUE(refused([](DCB &d) { d.fInX = 0; }));
  EXPECT_TRUE(refused([](DCB &d) { d.XoffChar = d.XonChar; }));
  EXPECT_FALSE(SetCommState(port, nullptr));
  EXPECT_NE(receiver.LineSettings().c_lflag & ICANON, 0u); // unchanged

  DCB line = ReceiverLine();
  line.XonLim = 512; // what a termios line has no use for is no reason
  EXPECT_TRUE(SetCommState(port, &line));
  termios raw = receiver.LineSettings();
  EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(raw.c_iflag & ICRNL, 0u);
  EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
  EXPECT_EQ(cfgetospeed(&raw), B4800);
  EXPECT_EQ(raw.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_TRUE(GetCommState(port, &line));
  CloseHandle(port);

  TempDir dir;
  HANDLE file = CreateCapture(dir.File("f"));
  EXPECT_FALSE(GetCommState(file, &line));
  EXPECT_FALSE(SetCommState(file, &line));
  CloseHandle(file);
}

// The receiver's port has one owner: closed once, whether the core lets it
// go or GPSClose forgets it, and a stale value never closes the handle that
// took its place.
TEST(Ports, TheReceiversPortIsClosedOnceAndAStaleValueClosesNothing) {
  FakeReceiver receiver;
  const std::u16string name = receiver.port();
  for (bool coreFirst : {true, false}) {
    HANDLE port = OpenReceiverPort(name.c_str(), false);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE); // held
    coreFirst ? CloseReceiverPort(port) : ForgetReceiverPort();
    HANDLE next = OpenPort(name); // free again
    ASSERT_NE(next, INVALID_HANDLE_VALUE);
    CloseReceiverPort(port);
    ForgetReceiverPort();
    EXPECT_FALSE(CloseHandle(port));
    EXPECT_TRUE(ClearCommError(next, nullptr, nullptr)) << coreFirst;
    EXPECT_TRUE(CloseHandle(next));
  }
}

TEST(Ports, AReadStopsAtTheCountAndAHungUpLineFailsAsARemovedDevice) {
  FakeReceiver receiver;
  HANDLE port = OpenRawPort(receiver.port());
  receiver.Send("0123456789");
  char bytes[5];
  DWORD count = 0, errors = 0;
  EXPECT_TRUE(ReadFile(port, bytes, 5, &count, nullptr));
  EXPECT_EQ(std::string(bytes, count), "01234");
  EXPECT_TRUE(ReadFile(port, bytes, 5, &count, nullptr));
  EXPECT_EQ(std::string(bytes, count), "56789");
  EXPECT_TRUE(ClearCommError(port, &errors, nullptr));

  // The read, and every later one, fails at once, and so does
  // ClearCommError: the caller closes the handle and opens the name again.
  receiver.Unplug();
  auto start = Clock::now();
  EXPECT_FALSE(ReadFile(port, bytes, 5, &count, nullptr));
  EXPECT_FALSE(ReadFile(port, bytes, 5, &count, nullptr));
  EXPECT_EQ(count, 0u);
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_FALSE(ClearCommError(port, &errors, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_TRUE(CloseHandle(port));
}

TEST(CaptureFiles, CreatedEmptiedOrRefusedWithoutHanging) {
  TempDir dir;
  WriteWhole(dir.File("old"), "earlier block");
  HANDLE file = CreateCapture(dir.File("old"));
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_EQ(ReadWhole(dir.File("old")), "");

  mode_t mask = umask(022);
  file = CreateCapture(dir.File("new"));
  umask(mask);
  CloseHandle(file);
  struct stat status;
  ASSERT_EQ(stat(dir.File("new").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);

  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  EXPECT_EQ(CreateCapture(dir.File("fifo")), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateCapture(dir.path()), INVALID_HANDLE_VALUE);
  EXPECT_EQ(CreateCapture(dir.File("missing/f")), INVALID_HANDLE_VALUE);
}

TEST(CaptureFiles, ARegularFileReadsPlainly) {
  TempDir dir;
  WriteWhole(dir.File("f"), "stored");
  HANDLE file = OpenPort(Utf16(dir.File("f"))); // as a port named by a file
  char bytes[16];
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(file, bytes, sizeof bytes, &count, nullptr));
  EXPECT_EQ(std::string(bytes, count), "stored");
  CloseHandle(file);
}

} // namespace
