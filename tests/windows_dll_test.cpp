// Each TolvaneGPS.dll as Windows sees it: its headers, export and import
// tables read from the binary, and under Wine a Windows host capturing
// through it from a pseudo-terminal mapped as COM7.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "receiver/nmea.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using Exports = std::map<int, std::string>;
using Imports = std::map<std::string, std::vector<std::string>>;

struct WindowsTarget {
  const char *name; // build/windows/<name>
  const char *machine;
  const char *constructor;
  const char *assignment;
  const char *wine; // the Wine loader that runs it, or null
};

const WindowsTarget kDesktopTargets[] = {
    {"x86_64", "0x8664", "??0CTolvaneGPS@@QEAA@XZ",
     "??4CTolvaneGPS@@QEAAAEAV0@AEBV0@@Z", WINE64},
    {"i686", "0x14C", "??0CTolvaneGPS@@QAE@XZ",
     "??4CTolvaneGPS@@QAEAAV0@ABV0@@Z", WINE32},
    {"arm64", "0xAA64", "??0CTolvaneGPS@@QEAA@XZ",
     "??4CTolvaneGPS@@QEAAAEAV0@AEBV0@@Z", nullptr},
};

void PrintTo(const WindowsTarget &target, std::ostream *out) {
  *out << target.name;
}

std::string TargetDir(const WindowsTarget &target) {
  return std::string(WINDOWS_DIR "/") + target.name;
}

std::string DllOf(const WindowsTarget &target) {
  return TargetDir(target) + "/TolvaneGPS.dll";
}

// What llvm-readobj and llvm-objdump tell of a PE image.
struct PeImage {
  std::string machine; // "0x8664"
  int relocations = 0; // base relocations, padding not counted
  std::string dllName; // the export directory's name
  std::string ordinalBase;
  Exports exports; // ordinal -> name
  Imports imports; // DLL -> names, "#n" for an import by ordinal
  long size = 0;
};

PeImage ReadPe(const std::string &path) {
  PeImage image;
  std::string headers = RunCommand(LLVM_READOBJ " --file-headers "
                                                "--coff-basereloc " +
                                   path);
  std::smatch match;
  if (std::regex_search(headers, match,
                        std::regex(R"(Machine: \S+ \((0x[0-9A-F]+)\))"))) {
    image.machine = match[1];
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
                   std::regex(R"(^\s+(\d+)\s+0x[0-9a-f]+\s+(\S+))"))) {
      image.exports[std::stoi(match[1])] = match[2];
    } else if (!dll.empty() &&
               std::regex_match(line, match,
                                std::regex(R"(^\s+(\d+)\s*(\S*)$)"))) {
      std::string name = match[2];
      image.imports[dll].push_back(name.empty() ? "#" + match[1].str() : name);
    } else if (line.empty() || line.rfind("  lookup", 0) == 0) {
      dll.clear();
    }
  }
  struct stat status;
  image.size = stat(path.c_str(), &status) == 0 ? status.st_size : -1;
  return image;
}

class WindowsDll : public testing::TestWithParam<WindowsTarget> {};

TEST_P(WindowsDll, IsASmallRelocatableImageForItsMachine) {
  PeImage image = ReadPe(DllOf(GetParam()));
  EXPECT_EQ(image.machine, GetParam().machine);
  EXPECT_GT(image.relocations, 0); // a host may load it at any address
  EXPECT_GT(image.size, 0);
  EXPECT_LE(image.size, 8192);
  std::printf("%s: %ld bytes, %d base relocations\n", GetParam().name,
              image.size, image.relocations);
}

TEST_P(WindowsDll, ExportsTheSevenItemsUnderThePlatformsOwnNames) {
  PeImage image = ReadPe(DllOf(GetParam()));
  EXPECT_EQ(image.dllName, "TolvaneGPS.dll");
  EXPECT_EQ(image.ordinalBase, "1");
  EXPECT_EQ(image.exports, (Exports{
                               {1, "GPSOpen"},
                               {2, "GPSWrite"},
                               {3, "GPSClose"},
                               {4, GetParam().constructor},
                               {5, GetParam().assignment},
                               {6, "?fnTolvaneGPS@@YAHXZ"},
                               {7, "?nTolvaneGPS@@3HA"},
                           }));
}

TEST_P(WindowsDll, ImportsByNameOnlyTheKernel32CallsItMakes) {
  EXPECT_EQ(ReadPe(DllOf(GetParam())).imports,
            (Imports{{"KERNEL32.dll",
                      {"CloseHandle", "CreateFileW", "GetCommState", "ReadFile",
                       "SetCommState", "SetCommTimeouts", "WriteFile"}}}));
}

INSTANTIATE_TEST_SUITE_P(Desktop, WindowsDll,
                         testing::ValuesIn(kDesktopTargets),
                         [](const auto &info) { return info.param.name; });

// A Windows host under Wine, driven one command at a time: "w" captures the
// next block, "c" closes. Its answers are read line by line.
class WineHost {
public:
  WineHost(const WindowsTarget &target, const std::string &dir) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
      return;
    }
    std::string windowsDir = "Z:" + dir;
    for (char &c : windowsDir) {
      c = c == '/' ? '\\' : c;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      // The wineserver inherits this too: a hang-up makes it dump its state.
      int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, 2);
      setenv("WINEPREFIX", WINE_PREFIX, 1);
      setenv("WINEDEBUG", "-all", 1);
      setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
      std::string host = TargetDir(target) + "/wine_host.exe";
      execl(target.wine, target.wine, host.c_str(), "COM7", windowsDir.c_str(),
            static_cast<char *>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    in_ = in[1];
    out_ = out[0];
  }

  ~WineHost() {
    close(in_);
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    std::system("WINEPREFIX='" WINE_PREFIX "' '" WINESERVER "' -k");
  }

  // Sends a command and returns the host's answer.
  std::string Ask(const char *command) {
    std::string line = std::string(command) + "\n";
    if (write(in_, line.data(), line.size()) !=
        static_cast<ssize_t>(line.size())) {
      return "";
    }
    return NextLine();
  }

  // The next line the host prints, or "" after 30 s or at its end.
  std::string NextLine() {
    while (buffer_.find('\n') == std::string::npos) {
      pollfd ready = {out_, POLLIN, 0};
      char chunk[256];
      ssize_t n = 0;
      if (poll(&ready, 1, 30000) <= 0 || (n = read(out_, chunk, 256)) <= 0) {
        return "";
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    size_t end = buffer_.find('\n');
    std::string line = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') {
      line.pop_back(); // Windows line ends
    }
    return line;
  }

  // The CPU seconds the host process has used so far.
  double CpuSeconds() const {
    std::string stat = ReadWhole("/proc/" + std::to_string(pid_) + "/stat");
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      ticks += (i == 14 || i == 15) ? std::stol(field) : 0; // utime, stime
    }
    return static_cast<double>(ticks) /
           static_cast<double>(sysconf(_SC_CLK_TCK));
  }

private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string buffer_;
};

std::string Block(int number) {
  std::string block;
  for (int i = 0; block.size() < 5000; ++i) {
    char c = static_cast<char>((i * 7 + number * 31) & 0xFF);
    if (c != 0x11 && c != 0x13) {
      block += c;
    }
  }
  return block;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class UnderWine : public testing::TestWithParam<WindowsTarget> {
protected:
  void SetUp() override {
    std::string link = WINE_PREFIX "/dosdevices/com7";
    unlink(link.c_str());
    ASSERT_EQ(symlink(receiver.path().c_str(), link.c_str()), 0);
  }

  std::string BlockFile(int number) {
    return ReadWhole(dir.File("block" + std::to_string(number) + ".nmea"));
  }

  FakeReceiver receiver;
  TempDir dir;
};

TEST_P(UnderWine, AHostCapturesEveryBlockExactlyFromTheLineItSet) {
  WineHost host(GetParam(), dir.path());
  ASSERT_EQ(host.NextLine(), "opened");
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
    EXPECT_EQ(host.Ask("w"), "block " + std::to_string(b));
    EXPECT_EQ(BlockFile(b), Block(b)) << "block " << b;
  }
  feed.join();
  EXPECT_EQ(host.Ask("c"), "closed");
}

// The read time-outs GPSOpen sets: 2 s in all, 100 ms of quiet after a byte.
TEST_P(UnderWine, ReadsEndOnTheTimeOutsSilentPacedAndUnplugged) {
  WineHost host(GetParam(), dir.path());
  ASSERT_EQ(host.NextLine(), "opened");

  Clock::time_point start = Clock::now();
  EXPECT_EQ(host.Ask("w"), "block 1");
  double silent = SecondsSince(start);
  EXPECT_NEAR(silent, 2.0, 0.3);
  EXPECT_EQ(BlockFile(1), "");

  // One receiver epoch at 4800 baud: one file, whole, soon after its end.
  std::string epoch = gpssim::Track(1).NextEpoch();
  std::string answer;
  std::thread ask([&] { answer = host.Ask("w"); });
  Clock::time_point lastByte = receiver.SendPaced(epoch, 4800);
  ask.join();
  double paced = SecondsSince(lastByte);
  EXPECT_EQ(answer, "block 2");
  EXPECT_EQ(BlockFile(2), epoch);
  EXPECT_LT(paced, 0.3);

  // Unplugged mid-read: that block keeps its bytes, and every later call
  // still ends within the total time-out.
  receiver.Send("$GPGGA,");
  ASSERT_TRUE(receiver.WaitUntilHolding(7));
  std::thread read([&] { answer = host.Ask("w"); });
  EXPECT_TRUE(receiver.WaitUntilTaken()); // the read has begun
  receiver.Unplug();
  read.join();
  EXPECT_EQ(answer, "block 3");
  EXPECT_EQ(BlockFile(3), "$GPGGA,");
  double slowest = 0, cpu = 0;
  for (int b = 4; b <= 6; ++b) {
    double cpuBefore = host.CpuSeconds();
    start = Clock::now();
    EXPECT_EQ(host.Ask("w"), "block " + std::to_string(b));
    slowest = std::max(slowest, SecondsSince(start));
    cpu += host.CpuSeconds() - cpuBefore;
    EXPECT_EQ(BlockFile(b), "");
  }
  EXPECT_LT(slowest, 2.3);
  EXPECT_EQ(host.Ask("c"), "closed");
  std::printf("%s under Wine: silent line %.3f s, paced epoch of %zu bytes "
              "%.0f ms after its last byte, after unplug slowest call "
              "%.3f s, %.2f s CPU over 3 calls\n",
              GetParam().name, silent, epoch.size(), paced * 1000, slowest,
              cpu);
}

INSTANTIATE_TEST_SUITE_P(Desktop, UnderWine,
                         testing::ValuesIn(kDesktopTargets,
                                           kDesktopTargets + 2),
                         [](const auto &info) { return info.param.name; });

} // namespace
