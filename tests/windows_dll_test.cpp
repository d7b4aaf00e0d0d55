// TolvaneGPS.dll as Windows sees it: its export and import tables, and a
// Windows host capturing through it under Wine from a pseudo-terminal mapped
// as COM7.
#include <csignal>
#include <cstdlib>
#include <map>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

const std::string kDll = WINDOWS_BIN "/TolvaneGPS.dll";

std::string ObjdumpPrivateHeaders() {
  return RunCommand(MINGW_OBJDUMP " -p " + kDll);
}

TEST(WindowsDll, ExportsTheSevenItemsAtTheirOrdinalsAndNothingElse) {
  std::string headers = ObjdumpPrivateHeaders();
  std::smatch match;
  ASSERT_TRUE(std::regex_search(headers, match,
                                std::regex(R"(\nName\s+[0-9a-f]+ (\S+))")));
  EXPECT_EQ(match[1], "TolvaneGPS.dll");
  ASSERT_TRUE(
      std::regex_search(headers, match, std::regex(R"(Ordinal Base\s+(\d+))")));
  EXPECT_EQ(match[1], "1");
  EXPECT_NE(headers.find("Export Address Table \t\t00000007"),
            std::string::npos);

  size_t names = headers.find("[Ordinal/Name Pointer] Table");
  ASSERT_NE(names, std::string::npos);
  std::istringstream lines(headers.substr(names));
  std::map<int, std::string> exports;
  std::regex entry(R"(^\s*\[\s*(\d+)\] (\S+)$)");
  std::string line;
  std::getline(lines, line);
  while (std::getline(lines, line) && std::regex_match(line, match, entry)) {
    exports[std::stoi(match[1]) + 1] = match[2];
  }
  EXPECT_EQ(exports, (std::map<int, std::string>{
                         {1, "GPSOpen"},
                         {2, "GPSWrite"},
                         {3, "GPSClose"},
                         {4, "_ZN11CTolvaneGPSC1Ev"},
                         {5, "_ZN11CTolvaneGPSaSERKS_"},
                         {6, "_Z12fnTolvaneGPSv"},
                         {7, "nTolvaneGPS"},
                     }));
}

TEST(WindowsDll, ImportsOnlyTheSixKernel32CallsItMakes) {
  std::istringstream lines(ObjdumpPrivateHeaders());
  std::map<std::string, std::set<std::string>> imports;
  std::string dll, line;
  std::smatch match;
  while (std::getline(lines, line)) {
    if (std::regex_search(line, match, std::regex(R"(DLL Name: (\S+))"))) {
      dll = match[1];
    } else if (!dll.empty() &&
               std::regex_match(
                   line, match,
                   std::regex(R"(^\s+[0-9a-f]+\s+\d+\s+(\S+)$)"))) {
      imports[dll].insert(match[1]);
    } else if (line.find("export table") != std::string::npos) {
      break;
    }
  }
  EXPECT_EQ(imports, (std::map<std::string, std::set<std::string>>{
                         {"KERNEL32.dll",
                          {"CloseHandle", "CreateFileW", "GetCommState",
                           "ReadFile", "SetCommState", "WriteFile"}}}));
}

// The Windows host under Wine, with its output read line by line.
class WineHost {
public:
  WineHost(const std::string &dir, int blocks) {
    int out[2];
    if (pipe(out) != 0) {
      return;
    }
    std::string windowsDir = "Z:" + dir;
    for (char &c : windowsDir) {
      c = c == '/' ? '\\' : c;
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      setenv("WINEPREFIX", WINE_PREFIX, 1);
      setenv("WINEDEBUG", "-all", 1);
      setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
      std::string host = WINDOWS_BIN "/wine_host.exe";
      std::string count = std::to_string(blocks);
      execl(WINE64, WINE64, host.c_str(), "COM7", windowsDir.c_str(),
            count.c_str(), static_cast<char *>(nullptr));
      _exit(127);
    }
    close(out[1]);
    out_ = out[0];
  }

  ~WineHost() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
    // The wineserver holds the pseudo-terminal; let it go before the master
    // closes, or the hang-up floods its output.
    std::system("WINEPREFIX='" WINE_PREFIX "' '" WINESERVER "' -k");
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

  int Wait() {
    int status = -1;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
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

TEST(WindowsDll, UnderWineAHostCapturesEveryBlockFromACOMPort) {
  FakeReceiver receiver;
  TempDir dir;
  std::string link = WINE_PREFIX "/dosdevices/com7";
  unlink(link.c_str());
  ASSERT_EQ(symlink(receiver.path().c_str(), link.c_str()), 0);

  const int blocks = 3;
  WineHost host(dir.path(), blocks);
  ASSERT_EQ(host.NextLine(), "opened");
  termios line = receiver.LineSettings();
  EXPECT_EQ(cfgetispeed(&line), B4800);
  EXPECT_EQ(cfgetospeed(&line), B4800);
  EXPECT_EQ(line.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t{CS8});
  EXPECT_EQ(line.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});

  // Wine's default time-outs make each read wait for the whole 5000 bytes.
  for (int b = 1; b <= blocks; ++b) {
    receiver.Send(Block(b));
  }
  for (int b = 1; b <= blocks; ++b) {
    EXPECT_EQ(host.NextLine(), "block " + std::to_string(b));
  }
  EXPECT_EQ(host.NextLine(), "closed");
  EXPECT_EQ(host.Wait(), 0);
  for (int b = 1; b <= blocks; ++b) {
    EXPECT_EQ(ReadWhole(dir.File("block" + std::to_string(b) + ".nmea")),
              Block(b))
        << "block " << b;
  }
}

} // namespace
