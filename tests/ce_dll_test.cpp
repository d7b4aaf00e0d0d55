// The Windows CE DLLs: their headers and tables read from each binary, and
// each run on emulated ARM CPUs of the kinds CE devices carry, loaded by a
// small CE loader under qemu-arm against a pseudo-terminal.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "../src/platform/ce/coredll_imports.h"
#include "../src/platform/win32_subset.h"
#include "pe_support.h"
#include "test_support.h"

namespace {

struct CeTarget {
  const char *name; // build/windows/<name>
  const char *machine;
  const char *subsystem; // Windows CE GUI, and its version
};

const CeTarget kCeTargets[] = {{"ce-armv4", "0x1C0", "9 3.0"},
                               {"ce-armv7", "0x1C4", "9 8.0"}};

void PrintTo(const CeTarget &target, std::ostream *out) { *out << target.name; }

std::string DllOf(const std::string &target) {
  return std::string(WINDOWS_DIR "/") + target + "/TolvaneGPS.dll";
}

class CeDll : public testing::TestWithParam<CeTarget> {};

TEST_P(CeDll, IsASmallRelocatableWindowsCeImageForItsMachine) {
  PeImage image = ReadPe(DllOf(GetParam().name));
  EXPECT_EQ(image.machine, GetParam().machine);
  EXPECT_EQ(image.subsystem, GetParam().subsystem);
  EXPECT_GT(image.relocations, 0);
  EXPECT_GT(image.size, 0);
  EXPECT_LE(image.size, 8192);
  std::printf("%s: %ld bytes, %d base relocations\n", GetParam().name,
              image.size, image.relocations);
}

TEST_P(CeDll, ExportsTheSevenItemsUnderTheArmNames) {
  PeImage image = ReadPe(DllOf(GetParam().name));
  EXPECT_EQ(image.dllName, "TolvaneGPS.dll");
  EXPECT_EQ(image.ordinalBase, "1");
  EXPECT_EQ(image.exports, SevenExports("??0CTolvaneGPS@@QAA@XZ",
                                        "??4CTolvaneGPS@@QAAAAV0@ABV0@@Z"));
}

TEST_P(CeDll, ImportsFromCoreDllByOrdinalOnlyTheCallsItMakes) {
#define ORDINAL(name, number) "#" #number,
  const std::vector<std::string> ordinals = {COREDLL_IMPORTS(ORDINAL)};
#undef ORDINAL
  EXPECT_EQ(ReadPe(DllOf(GetParam().name)).imports,
            (Imports{{"COREDLL.dll", ordinals}}));
}

INSTANTIATE_TEST_SUITE_P(Ce, CeDll, testing::ValuesIn(kCeTargets),
                         [](const auto &info) {
                           return std::string(info.param.name).substr(3);
                         });

// StrongARM, the CPU of the first CE 3.00 devices, has neither Thumb nor
// the ARMv5 instructions.
TEST(CeArmV4, TheImageUsesArmV4InstructionsOnly) {
  std::string code =
      RunCommand(ARM_OBJDUMP " -d " WINDOWS_DIR "/ce-armv4/TolvaneGPS_elf");
  ASSERT_NE(code.find("<GPSWrite>:"), std::string::npos);
  std::istringstream lines(code);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, word, mnemonic;
    fields >> address >> word >> mnemonic;
    for (const char *later : {"bx", "blx", "clz", "ldrd", "strd", "pld"}) {
      EXPECT_NE(mnemonic, later) << line;
    }
  }
}

struct Run {
  const char *target;
  const char *cpu;
};

void PrintTo(const Run &run, std::ostream *out) {
  *out << run.target << " on " << run.cpu;
}

const Run kRuns[] = {
    {"ce-armv4", "arm926"}, {"ce-armv4", "pxa270"}, {"ce-armv7", "cortex-a8"}};

// The record GPSOpen handed to SetCommState, from the loader's hex line.
DCB RecordFrom(const std::string &opened) {
  std::istringstream hex(opened.substr(std::string("opened").size()));
  unsigned char bytes[sizeof(DCB)] = {};
  for (unsigned char &byte : bytes) {
    unsigned value = 0;
    hex >> std::hex >> value;
    byte = static_cast<unsigned char>(value);
  }
  DCB dcb;
  std::memcpy(&dcb, bytes, sizeof dcb);
  return dcb;
}

class OnAnEmulatedCpu : public testing::TestWithParam<Run> {
protected:
  std::string File(const std::string &name) {
    return ReadWhole(dir.File(name));
  }

  FakeReceiver receiver;
  TempDir dir;
};

TEST_P(OnAnEmulatedCpu, TheDeviceBinaryCapturesThroughThePosixLayer) {
  ScriptedHost host({QEMU_ARM, "-cpu", GetParam().cpu, CE_LOADER,
                     DllOf(GetParam().target), receiver.path(), dir.path()});
  std::string opened = host.Ask("o");
  ASSERT_EQ(opened.rfind("opened ", 0), 0u) << opened;
  DCB record = RecordFrom(opened);
  EXPECT_EQ(record.DCBlength, 28u);
  EXPECT_EQ(record.BaudRate, 4800u);
  EXPECT_EQ(record.ByteSize, 8);
  EXPECT_EQ(record.Parity, NOPARITY);
  EXPECT_EQ(record.StopBits, ONESTOPBIT);
  EXPECT_EQ(record.fBinary, 1u);
  EXPECT_EQ(record.fOutX, 1u);
  EXPECT_EQ(record.fInX, 1u);
  EXPECT_EQ(record.fOutxCtsFlow + record.fOutxDsrFlow + record.fDtrControl +
                record.fRtsControl,
            0u);
  EXPECT_EQ(record.XonChar, 0x11);
  EXPECT_EQ(record.XoffChar, 0x13);
  termios line = receiver.LineSettings();
  EXPECT_EQ(cfgetospeed(&line), B4800);
  EXPECT_EQ(line.c_lflag & ICANON, 0u);

  // A full block, more than the line holds at once, then a short one.
  std::string full;
  while (full.size() < 5000) {
    full += AllPassingBytes();
  }
  full.resize(5000);
  std::thread feed([&] { receiver.Send(full); });
  EXPECT_EQ(host.Ask("w long"), "wrote long");
  feed.join();
  EXPECT_EQ(File("long"), full);
  receiver.Send("$GPRMC,1\r\n");
  ASSERT_TRUE(receiver.WaitUntilHolding(10));
  EXPECT_EQ(host.Ask("w short"), "wrote short");
  EXPECT_EQ(File("short"), "$GPRMC,1\r\n");

  EXPECT_EQ(host.Ask("w empty"), "wrote empty"); // the 2 s time-out
  EXPECT_EQ(File("empty"), "");
  receiver.Send("lost\r\n");
  ASSERT_TRUE(receiver.WaitUntilHolding(6));
  EXPECT_EQ(host.Ask("w missing/lost"), "wrote missing/lost");
  EXPECT_FALSE(Exists(dir.File("missing")));

  EXPECT_EQ(host.Ask("c"), "closed");
  EXPECT_EQ(host.Ask("w after"), "wrote after");
  EXPECT_EQ(File("after"), "");
  EXPECT_EQ(host.Ask("c"), "closed");
}

// The stand-ins play CE's faults: a receiver absent at GPSOpen, a line
// error, a port held for 2 s after it was closed, and an unplug or a resume
// that leaves the open handle dead.
TEST_P(OnAnEmulatedCpu, APulledOrLateReceiverNeverSpinsAndComesBackByItself) {
  ScriptedHost host({QEMU_ARM, "-cpu", GetParam().cpu, CE_LOADER,
                     DllOf(GetParam().target), receiver.path(), dir.path()});
  int calls = 0;
  auto awayCall = [&] {
    double cpu = host.CpuSeconds();
    auto start = std::chrono::steady_clock::now();
    std::string name = "away" + std::to_string(++calls);
    EXPECT_EQ(host.Ask("w " + name), "wrote " + name);
    double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_EQ(File(name), "");
    // At most 6 calls in 10 s; a spin would burn the whole 2 s of CPU.
    EXPECT_GE(wall, 1.9);
    EXPECT_LT(host.CpuSeconds() - cpu, 0.5);
    std::printf("%s on %s, port away: %.2f s, %.0f ms CPU, %s\n",
                GetParam().target, GetParam().cpu, wall,
                (host.CpuSeconds() - cpu) * 1000, host.Ask("s").c_str());
  };
  // The block goes out once the port is open and raw again, and must be
  // captured within two calls.
  auto sendThenCapture = [&](const std::string &block) {
    for (int call = 0; call < 2; ++call) {
      std::string name = "back" + std::to_string(++calls);
      std::string answer;
      std::thread ask([&] { answer = host.Ask("w " + name); });
      if (call == 0) {
        EXPECT_TRUE(receiver.WaitUntilRaw());
        receiver.Send(block);
      }
      ask.join();
      EXPECT_EQ(answer, "wrote " + name);
      if (!File(name).empty()) {
        return File(name);
      }
    }
    return std::string();
  };

  // Not there at GPSOpen, then plugged in.
  EXPECT_EQ(host.Ask("u"), "unplugged");
  ASSERT_EQ(host.Ask("o").rfind("opened", 0), 0u);
  awayCall();
  host.Ask("s");
  EXPECT_EQ(host.Ask("p"), "plugged");
  EXPECT_EQ(sendThenCapture("$GPGGA,late\r\n"), "$GPGGA,late\r\n");
  EXPECT_EQ(host.Ask("s"), "opens 1 settings 1 closes 0");

  // A line error fails one read: the port stays.
  EXPECT_EQ(host.Ask("e"), "line error");
  EXPECT_EQ(sendThenCapture("$GPRMC,1\r\n"), "$GPRMC,1\r\n");
  EXPECT_EQ(host.Ask("s"), "opens 0 settings 0 closes 0");

  // Closed and opened at once: CE holds the port for 2 s, and the retry
  // takes it then.
  EXPECT_EQ(host.Ask("c"), "closed");
  ASSERT_EQ(host.Ask("o").rfind("opened", 0), 0u);
  EXPECT_EQ(sendThenCapture("$GPGSA\r\n"), "$GPGSA\r\n");
  host.Ask("s");

  // Pulled, or the device suspended: the dead handle is closed first (the
  // stand-in fails any reopen before that), each call waits out 2 s, and
  // the receiver is back once plugged, its line set again.
  EXPECT_EQ(host.Ask("u"), "unplugged");
  awayCall();
  awayCall();
  EXPECT_EQ(host.Ask("p"), "plugged");
  auto replug = std::chrono::steady_clock::now();
  EXPECT_EQ(sendThenCapture(AllPassingBytes()), AllPassingBytes());
  std::printf(
      "%s on %s: replug to block %.2f s\n", GetParam().target, GetParam().cpu,
      std::chrono::duration<double>(std::chrono::steady_clock::now() - replug)
          .count());
  EXPECT_EQ(host.Ask("s"), "opens 1 settings 1 closes 0");
  EXPECT_EQ(host.Ask("c"), "closed");
}

INSTANTIATE_TEST_SUITE_P(Ce, OnAnEmulatedCpu, testing::ValuesIn(kRuns),
                         [](const auto &info) {
                           std::string name = std::string(info.param.target) +
                                              "_" + info.param.cpu;
                           for (char &c : name) {
                             c = c == '-' ? '_' : c;
                           }
                           return name;
                         });

} // namespace
