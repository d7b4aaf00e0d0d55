// SPDX-License-Identifier: MIT
// The ARM DLLs' headers and tables read from each binary, and each DLL whose
// processor this machine only emulates (the ARM ones, and the i686 one where
// 32-bit Wine cannot start) run on CPUs of the kinds its devices carry,
// loaded by a small loader under qemu-arm, qemu-aarch64 or qemu-i386 against
// a pseudo-terminal.
#include <cstdio>
#include <cstring>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "../src/platform/ce/coredll_imports.h"
#include "receiver_line.h"
#include "windows_dll_support.h"

namespace {

const std::vector<WindowsTarget> kCeTargets = TargetsImporting("COREDLL.dll");

class CeDll : public testing::TestWithParam<WindowsTarget> {};

// Laid out as CE's own linkers do: uninitialised data at the end of .data
// (no section without file data), room in the headers, the link time in
// the file header and the export directory.
TEST_P(CeDll, IsASmallRelocatableWindowsCeImageForItsMachine) {
  PeImage image = ReadPe(DllOf(GetParam().name));
  EXPECT_EQ(image.machine, GetParam().machine);
  EXPECT_EQ(image.subsystem, std::string("9 ") + GetParam().subsystem);
  EXPECT_GT(image.relocations, 0);
  EXPECT_GT(image.size, 0);
  EXPECT_LE(image.size, 8192);
  EXPECT_EQ(image.sections,
            (std::vector<std::string>{".text", ".data", ".rdata", ".pdata",
                                      ".rsrc", ".reloc"}));
  EXPECT_FALSE(image.emptySection);
  EXPECT_EQ(image.headersSize, 0x400);
  EXPECT_NE(image.timeStamp, 0u);
  EXPECT_EQ(image.exportTimeStamp, image.timeStamp);
  std::printf("%s: %ld bytes, %d base relocations, headers %ld bytes\n",
              GetParam().name, image.size, image.relocations,
              image.headersSize);
}

TEST_P(CeDll, CarriesTheProjectsVersionResource) {
  ExpectTheProjectsVersionResource(ReadPe(DllOf(GetParam().name)));
}

// One .pdata entry for each function of the link, at its start and of its
// length, in address order.
TEST_P(CeDll, CarriesUnwindDataForEveryFunction) {
  std::string symbols =
      RunCommand(ARM_OBJDUMP " -t " WINDOWS_DIR "/" +
                 std::string(GetParam().name) + "/TolvaneGPS_elf");
  std::set<std::pair<unsigned long, unsigned long>> functions;
  std::regex function(R"((?:^|\n)([0-9a-f]{8}) .{6}F \.text\s+([0-9a-f]{8}))");
  for (std::sregex_iterator i(symbols.begin(), symbols.end(), function), end;
       i != end; ++i) {
    unsigned long start =
        (std::stoul((*i)[1], nullptr, 16) & ~1ul) - 0x10000000;
    functions.insert({start, start + std::stoul((*i)[2], nullptr, 16)});
  }
  PeImage image = ReadPe(DllOf(GetParam().name));
  ASSERT_GT(functions.size(), 10u);
  EXPECT_EQ(image.unwound,
            (std::vector<std::pair<unsigned long, unsigned long>>(
                functions.begin(), functions.end())));
  std::printf("%s: %zu .pdata entries\n", GetParam().name,
              image.unwound.size());
}

TEST_P(CeDll, ExportsTheSevenItemsUnderTheArmNames) {
  ExpectTheSevenExports(GetParam());
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

// The mnemonics of an image's code, one a line, with the line.
std::vector<std::pair<std::string, std::string>>
Instructions(const std::string &target) {
  std::string code = RunCommand(ARM_OBJDUMP " -d " WINDOWS_DIR "/" + target +
                                "/TolvaneGPS_elf");
  EXPECT_NE(code.find("<GPSWrite>:"), std::string::npos);
  std::vector<std::pair<std::string, std::string>> instructions;
  std::istringstream lines(code);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string address, word, mnemonic;
    fields >> address >> word >> mnemonic;
    instructions.push_back({mnemonic, line});
  }
  return instructions;
}

// StrongARM, the CPU of the first CE 3.00 devices, has neither Thumb nor
// the ARMv5 instructions.
TEST(CeArmV4, TheImageUsesArmV4InstructionsOnly) {
  for (const auto &[mnemonic, line] : Instructions("ce-armv4")) {
    for (const char *later : {"bx", "blx", "clz", "ldrd", "strd", "pld"}) {
      EXPECT_NE(mnemonic, later) << line;
    }
  }
}

// ARMV4I code returns and calls through registers by bx, the one ARMv4T
// branch that switches to Thumb: never by writing pc, which on ARMv4T
// stays in ARM state.
TEST(CeArmV4I, TheImageInterworksWithThumbOnArmV4T) {
  for (const auto &[mnemonic, line] : Instructions("ce-armv4i")) {
    for (const char *later : {"blx", "clz", "ldrd", "strd", "pld"}) {
      EXPECT_NE(mnemonic, later) << line;
    }
    bool writesPc =
        (mnemonic.rfind("mov", 0) == 0 &&
         line.find("pc,") != std::string::npos) ||
        ((mnemonic.rfind("pop", 0) == 0 || mnemonic.rfind("ldm", 0) == 0) &&
         line.find("pc}") != std::string::npos);
    EXPECT_FALSE(writesPc) << line;
  }
}

// Windows on ARM64 keeps its thread block in x18: the DLL never touches it.
TEST(Arm64Dll, NeverTouchesX18) {
  std::string code =
      RunCommand(LLVM_OBJDUMP " -d " WINDOWS_DIR "/arm64/TolvaneGPS.dll");
  ASSERT_NE(code.find("ret"), std::string::npos);
  EXPECT_EQ(std::regex_search(code, std::regex(R"(\b[xw]18\b)")), false);
}

// The emulator and the loader for a run, from -cpu on.
std::vector<std::string> LoaderFor(const Run &run, const TempDir &dir,
                                   const FakeReceiver &receiver) {
  const std::string mode = run.loader;
  return {mode == "arm64" ? QEMU_ARM64
          : mode == "x86" ? QEMU_I386
                          : QEMU_ARM,
          "-cpu",
          run.cpu,
          std::string(LOADER_DIR "/pe_loader_") + run.loader,
          DllOf(run.target),
          receiver.path(),
          dir.path()};
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
  DllHost host(LoaderFor(GetParam(), dir, receiver));
  ASSERT_TRUE(host.CheckNamedItems(TargetNamed(GetParam().target)));
  std::optional<DCB> record = host.Open();
  ASSERT_TRUE(record);
  ExpectReceiverLine(*record);
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
  EXPECT_TRUE(host.Write("long"));
  feed.join();
  EXPECT_EQ(File("long"), full);
  receiver.Send("$GPRMC,1\r\n");
  ASSERT_TRUE(receiver.WaitUntilHolding(10));
  EXPECT_TRUE(host.Write("short"));
  EXPECT_EQ(File("short"), "$GPRMC,1\r\n");

  EXPECT_TRUE(host.Write("empty")); // the 2 s time-out
  EXPECT_EQ(File("empty"), "");
  receiver.Send("lost\r\n");
  ASSERT_TRUE(receiver.WaitUntilHolding(6));
  EXPECT_TRUE(host.Write("missing/lost"));
  EXPECT_FALSE(Exists(dir.File("missing")));

  EXPECT_TRUE(host.Close());
  EXPECT_TRUE(host.Write("after"));
  EXPECT_EQ(File("after"), "");
  EXPECT_TRUE(host.Close());

  // Every COREDLL call unwound back to the loader's call site: see
  // pe_loader.cpp.
  if (std::string(TargetNamed(GetParam().target).imports) == "COREDLL.dll") {
    int calls = 0, frames = 0;
    std::string unwound = host.Unwound();
    EXPECT_EQ(std::sscanf(unwound.c_str(), "unwound %d calls through %d frames",
                          &calls, &frames),
              2)
        << unwound;
    EXPECT_GT(calls, 10);
    EXPECT_GT(frames, calls);
    std::printf("%s on %s: %s\n", GetParam().target, GetParam().cpu,
                unwound.c_str());
  }
}

// The twin of the check above: the items answer to their own platform's
// names only, so the nearest other names are refused: x86's (QAE, thiscall)
// on ARM, ARM's (QAA) on x86.
TEST_P(OnAnEmulatedCpu, TheNamedItemsAnswerToNoOtherPlatformsNames) {
  DllHost host(LoaderFor(GetParam(), dir, receiver));
  const bool x86 = std::string(GetParam().loader) == "x86";
  EXPECT_FALSE(host.CheckNamedItems(TargetNamed(x86 ? "ce-armv4" : "i686")));
}

// CE's faults, played by the loader's stand-ins: see TellThePulledPortStory.
TEST_P(OnAnEmulatedCpu, APulledOrLateReceiverNeverSpinsAndComesBackByItself) {
  DllHost host(LoaderFor(GetParam(), dir, receiver));
  TellThePulledPortStory(host, receiver, dir,
                         std::string(GetParam().target) + " on " +
                             GetParam().cpu);
}

INSTANTIATE_TEST_SUITE_P(Emulated, OnAnEmulatedCpu,
                         testing::ValuesIn(RunsUnderWine(false)),
                         [](const auto &info) {
                           std::string name = std::string(info.param.target) +
                                              "_" + info.param.cpu;
                           for (char &c : name) {
                             c = c == '-' ? '_' : c;
                           }
                           return name;
                         });

} // namespace
