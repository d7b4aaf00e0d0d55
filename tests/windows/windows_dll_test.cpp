// SPDX-License-Identifier: MIT
// Each desktop TolvaneGPS.dll as Windows sees it: its headers, export and
// import tables read from the binary, and under Wine a Windows host capturing
// through it from a pseudo-terminal mapped as COM7.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "receiver/nmea.h"
#include "receiver_line.h"
#include "windows_dll_support.h"

namespace {

const std::vector<WindowsTarget> kDesktopTargets =
    TargetsImporting("KERNEL32.dll");

std::string TargetDir(const WindowsTarget &target) {
  return std::string(WINDOWS_DIR "/") + target.name;
}

class WindowsDll : public testing::TestWithParam<WindowsTarget> {};

TEST_P(WindowsDll, IsASmallRelocatableImageForItsMachine) {
  PeImage image = ReadPe(DllOf(GetParam().name));
  EXPECT_EQ(image.machine, GetParam().machine);
  EXPECT_GT(image.relocations, 0); // a host may load it at any address
  EXPECT_GT(image.size, 0);
  EXPECT_LE(image.size, 8192);
  std::printf("%s: %ld bytes, %d base relocations\n", GetParam().name,
              image.size, image.relocations);
}

TEST_P(WindowsDll, ExportsTheSevenItemsUnderThePlatformsOwnNames) {
  ExpectTheSevenExports(GetParam());
}

TEST_P(WindowsDll, ImportsByNameOnlyTheKernel32CallsItMakes) {
  EXPECT_EQ(
      ReadPe(DllOf(GetParam().name)).imports,
      (Imports{{"KERNEL32.dll",
                {"ClearCommError", "CloseHandle", "CreateFileW", "GetCommState",
                 "GetLastError", "GetTickCount", "ReadFile", "SetCommState",
                 "SetCommTimeouts", "Sleep", "WriteFile"}}}));
}

TEST_P(WindowsDll, CarriesTheProjectsVersionResource) {
  ExpectTheProjectsVersionResource(ReadPe(DllOf(GetParam().name)));
}

// x64 and ARM64 walk the stack by .pdata: every function the DLL exports
// has its unwind data there. x86 has no such table.
TEST_P(WindowsDll, CarriesUnwindDataForEveryCallOn64BitTargets) {
  PeImage image = ReadPe(DllOf(GetParam().name));
  if (std::string(GetParam().unwind) == "none") {
    EXPECT_TRUE(image.unwound.empty());
    return;
  }
  for (const char *call : {"GPSOpen", "GPSWrite", "GPSClose"}) {
    unsigned long rva = image.exportRvas[call];
    EXPECT_TRUE(std::any_of(image.unwound.begin(), image.unwound.end(),
                            [&](const auto &range) {
                              return rva >= range.first && rva < range.second;
                            }))
        << call;
  }
  std::printf("%s: %zu functions with unwind data\n", GetParam().name,
              image.unwound.size());
}

INSTANTIATE_TEST_SUITE_P(Desktop, WindowsDll,
                         testing::ValuesIn(kDesktopTargets),
                         [](const auto &info) { return info.param.name; });

// The import library shipped beside each DLL that LLVM writes one for (the
// desktop ones and Compact 2013's). An MSVC linker looks every import up as
// __imp_<name>, with x86's leading underscore on the C names only.
std::vector<WindowsTarget> TargetsWithImportLibraries() {
  std::vector<WindowsTarget> targets;
  for (const WindowsTarget &target : kWindowsTargets) {
    if (*target.msvc != '\0') {
      targets.push_back(target);
    }
  }
  return targets;
}

class ImportLibrary : public testing::TestWithParam<WindowsTarget> {};

TEST_P(ImportLibrary, OffersEveryExportUnderMsvcsName) {
  std::string symbols =
      RunCommand(LLVM_NM " " + TargetDir(GetParam()) + "/src/TolvaneGPS.lib");
  const bool x86 = std::string(GetParam().name) == "i686";
  for (const auto &[ordinal, name] : SevenExports(GetParam())) {
    std::string imported =
        "__imp_" + std::string(x86 && name[0] != '?' ? "_" : "") + name;
    EXPECT_NE(symbols.find(" " + imported + "\n"), std::string::npos)
        << imported << " (ordinal " << ordinal << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(Shipped, ImportLibrary,
                         testing::ValuesIn(TargetsWithImportLibraries()),
                         [](const auto &info) {
                           std::string name = info.param.name;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// A Windows host under Wine in the test's prefix, with COM7 mapped to the
// receiver.
class WineHost : public DllHost {
public:
  WineHost(const Run &run, const std::string &dir,
           const std::string &host = "wine_host.exe")
      : DllHost(WineCommand(run, dir, host)) {}
  ~WineHost() {
    std::system("WINEPREFIX='" WINE_PREFIX "' '" WINESERVER "' -k");
  }

private:
  static std::vector<std::string>
  WineCommand(const Run &run, const std::string &dir, const std::string &host) {
    setenv("WINEPREFIX", WINE_PREFIX, 1);
    setenv("WINEDEBUG", "-all", 1);
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    std::string windowsDir = "Z:" + dir;
    for (char &c : windowsDir) {
      c = c == '/' ? '\\' : c;
    }
    std::string wine = std::string(run.loader) == "wine64" ? WINE64 : WINE32;
    std::string program =
        std::string(WINDOWS_DIR "/") + run.target + "/" + host;
    if (host == "msvc_host.exe") { // its one argument: the capture file
      return {wine, program, windowsDir + "\\msvc.nmea"};
    }
    return {wine, program, "COM7", windowsDir};
  }
};

// A full block, each number's starting elsewhere in the pattern.
std::string Block(int number) { return PatternBytes(5000, number * 31); }

class UnderWine : public testing::TestWithParam<Run> {
protected:
  void SetUp() override {
    if (std::string(WINE64).empty()) {
      GTEST_SKIP() << "skipped: no wine64";
    }
    std::string link = WINE_PREFIX "/dosdevices/com7";
    unlink(link.c_str());
    ASSERT_EQ(symlink(receiver.path().c_str(), link.c_str()), 0);
  }

  // GPSWrite of blockN.nmea, and what it left there.
  static testing::AssertionResult Write(WineHost &host, int number) {
    return host.Write("block" + std::to_string(number) + ".nmea");
  }
  std::string BlockFile(int number) {
    return ReadWhole(dir.File("block" + std::to_string(number) + ".nmea"));
  }

  FakeReceiver receiver;
  TempDir dir;
};

TEST_P(UnderWine, AHostCapturesEveryBlockExactlyFromTheLineItSet) {
  WineHost host(GetParam(), dir.path());
  ASSERT_TRUE(host.CheckNamedItems(TargetNamed(GetParam().target)));
  std::optional<DCB> record = host.Open();
  ASSERT_TRUE(record);
  ExpectReceiverLine(*record);
  termios line = receiver.LineSettings();
  EXPECT_EQ(cfgetispeed(&line), B4800);
  EXPECT_EQ(cfgetospeed(&line), B4800);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t{CS8});
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});

  // Three full blocks back to back, more than the line holds: each read
  // takes exactly one.
  std::thread feed([&] {
    for (int b = 1; b <= 3; ++b) {
      receiver.Send(Block(b));
    }
  });
  for (int b = 1; b <= 3; ++b) {
    EXPECT_TRUE(Write(host, b));
    EXPECT_EQ(BlockFile(b), Block(b)) << "block " << b;
  }
  feed.join();
  EXPECT_TRUE(host.Close());
}

// The read time-outs GPSOpen sets: 2 s in all, 100 ms of quiet after a byte.
TEST_P(UnderWine, ReadsEndOnTheTimeOutsSilentPacedAndUnplugged) {
  WineHost host(GetParam(), dir.path());
  ASSERT_TRUE(host.Open());

  Clock::time_point start = Clock::now();
  EXPECT_TRUE(Write(host, 1));
  double silent = SecondsSince(start);
  EXPECT_NEAR(silent, 2.0, 0.3);
  EXPECT_EQ(BlockFile(1), "");

  // One receiver epoch at 4800 baud: one file, whole, soon after its end.
  std::string epoch = gpssim::Track(1).NextEpoch();
  testing::AssertionResult wrote = testing::AssertionFailure();
  std::thread ask([&] { wrote = Write(host, 2); });
  Clock::time_point lastByte = receiver.SendPaced(epoch, 4800);
  ask.join();
  double paced = SecondsSince(lastByte);
  EXPECT_TRUE(wrote);
  EXPECT_EQ(BlockFile(2), epoch);
  EXPECT_LT(paced, 0.3);

  // Unplugged mid-read: that block keeps its bytes, and every later call
  // still ends within the total time-out.
  receiver.Send("$GPGGA,");
  ASSERT_TRUE(receiver.WaitUntilHolding(7));
  std::thread read([&] { wrote = Write(host, 3); });
  EXPECT_TRUE(receiver.WaitUntilTaken()); // the read has begun
  receiver.Unplug();
  read.join();
  EXPECT_TRUE(wrote);
  EXPECT_EQ(BlockFile(3), "$GPGGA,");
  double slowest = 0, cpu = 0;
  for (int b = 4; b <= 6; ++b) {
    double cpuBefore = host.CpuSeconds();
    start = Clock::now();
    EXPECT_TRUE(Write(host, b));
    slowest = std::max(slowest, SecondsSince(start));
    cpu += host.CpuSeconds() - cpuBefore;
    EXPECT_EQ(BlockFile(b), "");
  }
  EXPECT_LT(slowest, 2.3);
  EXPECT_TRUE(host.Close());
  std::printf("%s under Wine: silent line %.3f s, paced epoch of %zu bytes "
              "%.0f ms after its last byte, after unplug slowest call "
              "%.3f s, %.2f s CPU over 3 calls\n",
              GetParam().target, silent, epoch.size(), paced * 1000, slowest,
              cpu);
}

// A host built for the MSVC ABI and linked through TolvaneGPS.lib: the
// constructor's returned pointer, copy assignment, thiscall on x86 (the
// stack unmoved over 1,000 member calls), the named function and variable,
// and a block captured from COM7.
TEST_P(UnderWine, AnMsvcBuiltHostLinksAndCallsEveryItem) {
  WineHost host(GetParam(), dir.path(), "msvc_host.exe");
  ASSERT_EQ(host.NextLine(), "checked");
  ASSERT_EQ(host.NextLine(), "opened");
  receiver.Send("$GPGGA,msvc\r\n");
  ASSERT_TRUE(receiver.WaitUntilHolding(13));
  EXPECT_EQ(host.Ask("w"), "wrote");
  EXPECT_EQ(ReadWhole(dir.File("msvc.nmea")), "$GPGGA,msvc\r\n");
  EXPECT_EQ(host.NextLine(), "closed");
}

// Wine never fails a read of a pty that went away, so the host's stand-ins
// play what Windows drivers do: see TellThePulledPortStory.
TEST_P(UnderWine, APulledOrLateReceiverNeverSpinsAndComesBackByItself) {
  WineHost host(GetParam(), dir.path());
  TellThePulledPortStory(host, receiver, dir,
                         std::string(GetParam().target) + " under Wine");
}

// The runs whose Wine starts here: tests/wine leaves 32-bit Wine out on a
// kernel that runs no 32-bit program, and says so in a skipped test.
std::vector<Run> RunsOfAWineThatStarts() {
  std::vector<Run> runs;
  for (const Run &run : RunsUnderWine(true)) {
    if (std::string(run.loader) == "wine64" || *WINE32 != '\0') {
      runs.push_back(run);
    }
  }
  return runs;
}

INSTANTIATE_TEST_SUITE_P(Desktop, UnderWine,
                         testing::ValuesIn(RunsOfAWineThatStarts()),
                         [](const auto &info) { return info.param.target; });

} // namespace
