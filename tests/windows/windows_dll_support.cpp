// SPDX-License-Identifier: MIT
#include "windows_dll_support.h"

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>

namespace {

uint32_t Get(const std::string &bytes, size_t at, int size) {
  uint32_t value = 0;
  for (int i = size - 1; i >= 0 && at + i < bytes.size(); --i) {
    value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
  }
  return value;
}

// A UTF-16 string of ASCII text from at, up to its terminator.
std::string Utf16At(const std::string &bytes, size_t at) {
  std::string text;
  for (; at + 1 < bytes.size() && Get(bytes, at, 2) != 0; at += 2) {
    text += static_cast<char>(Get(bytes, at, 2));
  }
  return text;
}

// The blocks of a version resource: length, value length, type, key,
// value, children, each aligned to 4 bytes.
void ReadVersionBlocks(const std::string &data, size_t at, size_t end,
                       std::map<std::string, std::string> *strings) {
  while (at + 6 <= end) {
    size_t length = Get(data, at, 2), valueLength = Get(data, at + 2, 2);
    if (length == 0) {
      return;
    }
    std::string key = Utf16At(data, at + 6);
    size_t value = (at + 6 + 2 * (key.size() + 1) + 3) / 4 * 4;
    if (key == "VS_VERSION_INFO" && Get(data, value, 4) == 0xFEEF04BD) {
      uint32_t high = Get(data, value + 8, 4), low = Get(data, value + 12, 4);
      (*strings)["fixed"] =
          std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) +
          "." + std::to_string(low >> 16) + "." + std::to_string(low & 0xFFFF);
    } else if (Get(data, at + 4, 2) == 1 && valueLength > 0) {
      (*strings)[key] = Utf16At(data, value);
    }
    size_t valueBytes =
        Get(data, at + 4, 2) == 1 ? 2 * valueLength : valueLength;
    ReadVersionBlocks(data, (value + valueBytes + 3) / 4 * 4, at + length,
                      strings);
    at = (at + length + 3) / 4 * 4;
  }
}

} // namespace

PeImage ReadPe(const std::string &path) {
  PeImage image;
  std::string headers = RunCommand(LLVM_READOBJ " --file-headers --sections "
                                                "--coff-basereloc " +
                                   path);
  std::smatch match;
  if (std::regex_search(headers, match,
                        std::regex(R"(Machine: \S+ \((0x[0-9A-F]+)\))"))) {
    image.machine = match[1];
  }
  std::smatch major, minor;
  if (std::regex_search(
          headers, match,
          std::regex(R"(\n  Subsystem: \S+ \(0x([0-9A-F]+)\))")) &&
      std::regex_search(headers, major,
                        std::regex(R"(MajorSubsystemVersion: (\d+))")) &&
      std::regex_search(headers, minor,
                        std::regex(R"(MinorSubsystemVersion: (\d+))"))) {
    image.subsystem = std::to_string(std::stoi(match[1], nullptr, 16)) + " " +
                      major[1].str() + "." + minor[1].str();
  }
  std::regex relocation(R"(Type: (\w+))");
  for (std::sregex_iterator i(headers.begin(), headers.end(), relocation), end;
       i != end; ++i) {
    image.relocations += (*i)[1] != "ABSOLUTE";
  }

  std::istringstream lines(RunCommand(LLVM_OBJDUMP " -p " + path));
  std::string line, dll;
  bool inExports = false;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, std::regex(R"(^\s+DLL Name: (\S+))"))) {
      dll = match[1];
      image.imports[dll];
    } else if (line.rfind("Export Table:", 0) == 0) {
      inExports = true;
      dll.clear();
    } else if (std::regex_match(line, match,
                                std::regex(R"(^ DLL name: (\S+))"))) {
      image.dllName = match[1];
    } else if (std::regex_match(line, match,
                                std::regex(R"(^ Ordinal base: (\d+))"))) {
      image.ordinalBase = match[1];
    } else if (inExports &&
               std::regex_match(
                   line, match,
                   std::regex(R"(^\s+(\d+)\s+0x([0-9a-f]+)\s+(\S+))"))) {
      image.exports[std::stoi(match[1])] = match[3];
      image.exportRvas[match[3]] = std::stoul(match[2], nullptr, 16);
    } else if (!dll.empty() &&
               std::regex_match(line, match,
                                std::regex(R"(^\s+(\d+)\s*(\S*)$)"))) {
      std::string name = match[2];
      image.imports[dll].push_back(name.empty() ? "#" + match[1].str() : name);
    } else if (line.empty() || line.rfind("  lookup", 0) == 0) {
      dll.clear();
    }
  }
  // .pdata: x64 gives each function's start and end, ARM64 its start and
  // length.
  unsigned long base = 0;
  if (std::regex_search(headers, match,
                        std::regex(R"(ImageBase: 0x([0-9A-F]+))"))) {
    base = std::stoul(match[1], nullptr, 16);
  }
  std::string unwind = RunCommand(LLVM_READOBJ " --unwind " + path);
  std::regex x64(
      R"(StartAddress: \(0x([0-9A-F]+)\)\s+EndAddress: \(0x([0-9A-F]+)\))");
  std::regex arm64(R"(Function: 0x([0-9A-F]+)[^}]*?FunctionLength: (\d+))");
  for (std::sregex_iterator i(unwind.begin(), unwind.end(), x64), end; i != end;
       ++i) {
    image.unwound.push_back({std::stoul((*i)[1], nullptr, 16) - base,
                             std::stoul((*i)[2], nullptr, 16) - base});
  }
  // ARM64, and ARMNT with the Thumb bit.
  for (std::sregex_iterator i(unwind.begin(), unwind.end(), arm64), end;
       i != end; ++i) {
    unsigned long start = (std::stoul((*i)[1], nullptr, 16) & ~1ul) - base;
    image.unwound.push_back({start, start + std::stoul((*i)[2])});
  }
  // The layout, and what only the file's bytes show: the export
  // directory's time stamp and CE's own .pdata entries (0x1C0, 0x1C2).
  const std::string file = ReadWhole(path);
  std::map<unsigned long, unsigned long> fileOffsets; // RVA -> offset
  std::regex section(R"(Name: (\S+) \([^)]*\)\s+VirtualSize: 0x[0-9A-F]+\s+)"
                     R"(VirtualAddress: 0x([0-9A-F]+)\s+RawDataSize: (\d+)\s+)"
                     R"(PointerToRawData: 0x([0-9A-F]+))");
  for (std::sregex_iterator i(headers.begin(), headers.end(), section), end;
       i != end; ++i) {
    image.sections.push_back((*i)[1]);
    image.emptySection |= std::stol((*i)[3]) == 0;
    fileOffsets[std::stoul((*i)[2], nullptr, 16)] =
        std::stoul((*i)[4], nullptr, 16);
  }
  auto offsetOf = [&](unsigned long rva) {
    auto in = fileOffsets.upper_bound(rva);
    return in == fileOffsets.begin()
               ? 0
               : std::prev(in)->second + rva - std::prev(in)->first;
  };
  auto field = [&](const char *name) {
    std::smatch found;
    return std::regex_search(headers, found,
                             std::regex(std::string(name) +
                                        R"(: .*?\(?(?:0x)?([0-9A-F]+)\)?\n)"))
               ? std::stoul(found[1], nullptr, 16)
               : 0;
  };
  image.timeStamp = field("TimeDateStamp");
  if (std::regex_search(headers, match,
                        std::regex(R"(SizeOfHeaders: (\d+))"))) {
    image.headersSize = std::stol(match[1]);
  }
  image.exportTimeStamp = Get(file, offsetOf(field("ExportTableRVA")) + 4, 4);
  if (image.machine == "0x1C0" || image.machine == "0x1C2") {
    unsigned long at = offsetOf(field("ExceptionTableRVA"));
    for (unsigned long n = 0; n < field("ExceptionTableSize"); n += 8) {
      unsigned long start = Get(file, at + n, 4) - base;
      image.unwound.push_back(
          {start, start + ((Get(file, at + n + 4, 4) >> 8) & 0x3FFFFF) * 4});
    }
  }

  std::string resources = RunCommand(LLVM_READOBJ " --coff-resources " + path);
  std::string data;
  std::regex row(R"(\n\s+[0-9A-F]{4}: ((?:[0-9A-F]{8} ?){1,4}))");
  for (std::sregex_iterator i(resources.begin(), resources.end(), row), end;
       i != end; ++i) {
    std::istringstream words((*i)[1].str());
    for (std::string word; words >> word;) {
      for (size_t b = 0; b < word.size(); b += 2) {
        data += static_cast<char>(std::stoi(word.substr(b, 2), nullptr, 16));
      }
    }
  }
  if (resources.find("Type: VERSIONINFO (ID 16)") != std::string::npos) {
    ReadVersionBlocks(data, 0, data.size(), &image.version);
  }
  struct stat status;
  image.size = stat(path.c_str(), &status) == 0 ? status.st_size : -1;
  return image;
}

void ExpectTheProjectsVersionResource(const PeImage &image) {
  std::string license = ReadWhole(LICENSE_FILE);
  size_t copyright = license.find("Copyright");
  std::string line =
      license.substr(copyright, license.find('\n', copyright) - copyright);
  EXPECT_EQ(image.version.at("FileVersion"), TOLVANE_VERSION);
  EXPECT_EQ(image.version.at("ProductVersion"), TOLVANE_VERSION);
  EXPECT_EQ(image.version.at("fixed"), TOLVANE_VERSION ".0");
  EXPECT_EQ(image.version.at("ProductName"), "TolvaneGPS");
  EXPECT_EQ(image.version.at("OriginalFilename"), "TolvaneGPS.dll");
  EXPECT_EQ(image.version.at("LegalCopyright"), line + ". MIT License.");
  EXPECT_NE(image.version.at("FileDescription"), "");
}

std::vector<WindowsTarget> TargetsImporting(const std::string &dll) {
  std::vector<WindowsTarget> targets;
  for (const WindowsTarget &target : kWindowsTargets) {
    if (target.imports == dll) {
      targets.push_back(target);
    }
  }
  return targets;
}

std::vector<Run> RunsUnderWine(bool underWine) {
  std::vector<Run> runs;
  for (const Run &run : kRuns) {
    if ((std::string(run.loader).rfind("wine", 0) == 0) == underWine) {
      runs.push_back(run);
    }
  }
  return runs;
}

const WindowsTarget &TargetNamed(const std::string &name) {
  for (const WindowsTarget &target : kWindowsTargets) {
    if (target.name == name) {
      return target;
    }
  }
  ADD_FAILURE() << "no target " << name;
  return kWindowsTargets[0];
}

void PrintTo(const WindowsTarget &target, std::ostream *out) {
  *out << target.name;
}

void PrintTo(const Run &run, std::ostream *out) {
  *out << run.target << " in " << run.loader << " " << run.cpu;
}

std::string DllOf(const std::string &target) {
  return WINDOWS_DIR "/" + target + "/TolvaneGPS.dll";
}

Exports SevenExports(const WindowsTarget &target) {
  return {{1, "GPSOpen"},          {2, "GPSWrite"},        {3, "GPSClose"},
          {4, target.constructor}, {5, target.assignment}, {6, kFunctionName},
          {7, kVariableName}};
}

void ExpectTheSevenExports(const WindowsTarget &target) {
  PeImage image = ReadPe(DllOf(target.name));
  EXPECT_EQ(image.dllName, "TolvaneGPS.dll");
  EXPECT_EQ(image.ordinalBase, "1");
  EXPECT_EQ(image.exports, SevenExports(target));
  std::istringstream def(ReadWhole(std::string(WINDOWS_DIR "/") + target.name +
                                   "/src/sdk/TolvaneGPS.def"));
  Exports listed;
  const std::regex line(R"(  (\S+) @(\d+)( DATA)?)");
  std::smatch match;
  for (std::string text; std::getline(def, text);) {
    if (std::regex_match(text, match, line)) {
      listed[std::stoi(match[2])] = match[1];
    }
  }
  EXPECT_EQ(listed, image.exports);
}

testing::AssertionResult DllHost::Expect(const std::string &command,
                                         const std::string &answer) {
  std::string got = Ask(command);
  if (got == answer) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure()
         << command << " answered \"" << got << "\", not \"" << answer << '"';
}

std::optional<DCB> DllHost::Open() {
  std::istringstream answer(Ask("o"));
  std::string word;
  if (!(answer >> word) || word != "opened") {
    return std::nullopt;
  }
  unsigned char bytes[sizeof(DCB)] = {};
  for (unsigned char &byte : bytes) {
    unsigned value = 0;
    answer >> std::hex >> value;
    byte = static_cast<unsigned char>(value);
  }
  DCB dcb;
  std::memcpy(&dcb, bytes, sizeof dcb);
  return dcb;
}

testing::AssertionResult DllHost::Write(const std::string &name) {
  return Expect("w " + name, "wrote " + name);
}
testing::AssertionResult DllHost::Close() { return Expect("c", "closed"); }
testing::AssertionResult DllHost::CheckNamedItems(const WindowsTarget &target) {
  return Expect(std::string("i ") + target.constructor + " " +
                    target.assignment + " " + kFunctionName + " " +
                    kVariableName,
                "items");
}
testing::AssertionResult DllHost::Unplug() { return Expect("u", "unplugged"); }
testing::AssertionResult DllHost::Plug() { return Expect("p", "plugged"); }
testing::AssertionResult DllHost::LineError() {
  return Expect("e", "line error");
}
testing::AssertionResult DllHost::EmptyReads() {
  return Expect("n", "empty reads");
}
std::string DllHost::Counts() { return Ask("s"); }
std::string DllHost::Unwound() { return Ask("f"); }

void TellThePulledPortStory(DllHost &host, FakeReceiver &receiver,
                            const TempDir &dir, const std::string &label) {
  int calls = 0;
  auto emptyCall = [&](const std::string &what) {
    double cpu = host.CpuSeconds();
    auto start = Clock::now();
    std::string name = "away" + std::to_string(++calls);
    EXPECT_TRUE(host.Write(name));
    double wall = SecondsSince(start);
    cpu = host.CpuSeconds() - cpu;
    EXPECT_EQ(ReadWhole(dir.File(name)), "");
    // At most 6 calls in 10 s; a spin would burn the whole 2 s of CPU.
    EXPECT_GE(wall, 1.9);
    EXPECT_LT(cpu, 0.5);
    std::string counts = host.Counts();
    int opens = 30;
    std::sscanf(counts.c_str(), "opens %d", &opens);
    EXPECT_LE(opens, 30);
    std::printf("%s, %s: a call takes %.2f s and %.0f ms CPU; %s\n",
                label.c_str(), what.c_str(), wall, cpu * 1000, counts.c_str());
  };
  auto awayCall = [&] { emptyCall("port away"); };
  // The block goes out once the port is open and raw again, and must be
  // captured within two calls.
  auto sendThenCapture = [&](const std::string &block) {
    for (int call = 0; call < 2; ++call) {
      std::string name = "back" + std::to_string(++calls);
      testing::AssertionResult wrote = testing::AssertionFailure();
      std::thread ask([&] { wrote = host.Write(name); });
      if (call == 0) {
        EXPECT_TRUE(receiver.WaitUntilRaw());
        receiver.Send(block);
      }
      ask.join();
      EXPECT_TRUE(wrote);
      if (!ReadWhole(dir.File(name)).empty()) {
        return ReadWhole(dir.File(name));
      }
    }
    return std::string();
  };

  // Not there at GPSOpen, then plugged in.
  EXPECT_TRUE(host.Unplug());
  ASSERT_TRUE(host.Open());
  awayCall();
  EXPECT_TRUE(host.Plug());
  EXPECT_EQ(sendThenCapture("$GPGGA,late\r\n"), "$GPGGA,late\r\n");
  EXPECT_EQ(host.Counts(), "opens 1 settings 1 closes 0");

  // A line error fails one read: the port stays.
  EXPECT_TRUE(host.LineError());
  EXPECT_EQ(sendThenCapture("$GPRMC,1\r\n"), "$GPRMC,1\r\n");
  EXPECT_EQ(host.Counts(), "opens 0 settings 0 closes 0");

  // Reads that come back empty at once, as at the end of a regular file:
  // the call still lasts the time-out, at no CPU, and the port stays.
  EXPECT_TRUE(host.EmptyReads());
  emptyCall("reads empty at once");
  EXPECT_TRUE(host.Plug());
  EXPECT_EQ(sendThenCapture("$GPVTG\r\n"), "$GPVTG\r\n");
  EXPECT_EQ(host.Counts(), "opens 0 settings 0 closes 0");

  // Closed and opened at once: where the platform holds the port a while
  // (CE, 2 s), the retry takes it then.
  EXPECT_TRUE(host.Close());
  ASSERT_TRUE(host.Open());
  EXPECT_EQ(sendThenCapture("$GPGSA\r\n"), "$GPGSA\r\n");
  host.Counts();

  // Pulled, or the device suspended: the dead handle is closed first (the
  // stand-ins fail the run on a reopen before that), each call waits out
  // 2 s, and the receiver is back once plugged in, its line set again.
  EXPECT_TRUE(host.Unplug());
  awayCall();
  awayCall();
  EXPECT_TRUE(host.Plug());
  auto replug = Clock::now();
  EXPECT_EQ(sendThenCapture(AllPassingBytes()), AllPassingBytes());
  std::printf("%s: from the replug to the block %.2f s\n", label.c_str(),
              SecondsSince(replug));
  EXPECT_EQ(host.Counts(), "opens 1 settings 1 closes 0");
  EXPECT_TRUE(host.Close());
}
