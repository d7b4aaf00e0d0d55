// SPDX-License-Identifier: MIT
// What the tests of the Windows and CE DLLs share: what llvm-readobj and
// llvm-objdump read from a PE image, and the story of a pulled port told to
// a host program driven one command at a time.
#pragma once

#include <map>
#include <string>
#include <vector>

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

// The seven exports, with the names the platform's compiler gives the class
// members at 4 and 5.
Exports SevenExports(const std::string &constructor,
                     const std::string &assignment);

class ChildProcess;
class FakeReceiver;
class TempDir;

// A host of a DLL whose port calls go through the stand-ins of
// unplugged_port.h, answering o (GPSOpen), w NAME (GPSWrite of dir/NAME),
// c (GPSClose) and the stand-ins' u, p, e, n and s. The story: a receiver
// absent at GPSOpen and plugged in later, a line error, reads that come back
// empty at once, a port closed and
// opened again at once, then one pulled for two calls and plugged back. No
// call spins or returns early, the dead handle is closed before the port is
// opened again, the line is set again, and each block comes back whole
// within two calls. Prints the figures under label.
void TellThePulledPortStory(ChildProcess &host, FakeReceiver &receiver,
                            const TempDir &dir, const std::string &label);
