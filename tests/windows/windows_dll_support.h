// SPDX-License-Identifier: MIT
// What the tests of the Windows and CE DLLs share: the targets as they
// expect them, what llvm-readobj and llvm-objdump read from a PE image, the
// driver of the hosts of dll_host.h, and the story of a pulled port told
// to one.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../src/platform/win32_subset.h"
#include "test_support.h"
#include "windows_targets.h"

// The targets whose DLL imports from dll (KERNEL32.dll or COREDLL.dll).
std::vector<WindowsTarget> TargetsImporting(const std::string &dll);
// The runs under Wine, or else those in the PE loader.
std::vector<Run> RunsUnderWine(bool underWine);
const WindowsTarget &TargetNamed(const std::string &name);
void PrintTo(const WindowsTarget &target, std::ostream *out);
void PrintTo(const Run &run, std::ostream *out);
std::string DllOf(const std::string &target); // build/windows/<target>/...

using Exports = std::map<int, std::string>;
using Imports = std::map<std::string, std::vector<std::string>>;

struct PeImage {
  std::string machine;   // "0x8664"
  std::string subsystem; // "9 3.0": the subsystem and its version
  int relocations = 0;   // base relocations, padding not counted
  std::string dllName;   // the export directory's name
  std::string ordinalBase;
  Exports exports;                                 // ordinal -> name
  std::map<std::string, unsigned long> exportRvas; // name -> RVA
  // The RVA ranges [first, second) that .pdata gives unwind data for.
  std::vector<std::pair<unsigned long, unsigned long>> unwound;
  Imports imports; // DLL -> names, "#n" for an import by ordinal
  long size = 0;
  // The layout: section names in order, any without file data, the
  // headers' size, and the time stamps of the file header and exports.
  std::vector<std::string> sections;
  bool emptySection = false;
  long headersSize = 0;
  unsigned long timeStamp = 0, exportTimeStamp = 0;
  // The version resource: its strings, and "fixed" for the binary
  // FileVersion as a.b.c.d.
  std::map<std::string, std::string> version;
};

PeImage ReadPe(const std::string &path);

// The version resource every DLL carries: the project's version, name,
// OriginalFilename and the copyright line of LICENSE.
void ExpectTheProjectsVersionResource(const PeImage &image);

// The seven exports, with the names the target's compiler gives the class
// members at 4 and 5.
Exports SevenExports(const WindowsTarget &target);

// The DLL's export table: TolvaneGPS.dll's seven exports from ordinal 1,
// and the same in the SDK's module definition (TolvaneGPS.def).
void ExpectTheSevenExports(const WindowsTarget &target);

// A host of dll_host.h, driven one command at a time.
class DllHost : public ChildProcess {
public:
  using ChildProcess::ChildProcess;
  // GPSOpen: the settings record SetCommState got last.
  std::optional<DCB> Open();
  testing::AssertionResult Write(const std::string &name);
  testing::AssertionResult Close();
  // Exports 4 to 7 under the target's names, called as its compiler calls
  // them.
  testing::AssertionResult CheckNamedItems(const WindowsTarget &target);
  // The stand-ins' faults: the port pulled and plugged back, a line error,
  // reads that come back empty at once.
  testing::AssertionResult Unplug();
  testing::AssertionResult Plug();
  testing::AssertionResult LineError();
  testing::AssertionResult EmptyReads();
  // "opens N settings N closes N" since the last count.
  std::string Counts();
  // The PE loader's "unwound N calls through F frames".
  std::string Unwound();

private:
  testing::AssertionResult Expect(const std::string &command,
                                  const std::string &answer);
};

// The story: a receiver absent at GPSOpen and plugged in later, a line
// error, reads that come back empty at once, a port closed and opened
// again at once, then one pulled for two calls and plugged back. No call
// spins or returns early, the dead handle is closed before the port is
// opened again, the line is set again, and each block comes back whole
// within two calls. Prints the figures under label.
void TellThePulledPortStory(DllHost &host, FakeReceiver &receiver,
                            const TempDir &dir, const std::string &label);
