#include "pe_support.h"

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "test_support.h"

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

Exports SevenExports(const std::string &constructor,
                     const std::string &assignment) {
  return {{1, "GPSOpen"},          {2, "GPSWrite"}, {3, "GPSClose"},
          {4, constructor},        {5, assignment}, {6, "?fnTolvaneGPS@@YAHXZ"},
          {7, "?nTolvaneGPS@@3HA"}};
}

ScriptedHost::ScriptedHost(const std::vector<std::string> &argv) {
  int in[2], out[2];
  if (pipe(in) != 0 || pipe(out) != 0) {
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    int quiet = open("/dev/null", O_WRONLY);
    dup2(quiet, 2);
    std::vector<char *> args;
    for (const std::string &arg : argv) {
      args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  in_ = in[1];
  out_ = out[0];
}

ScriptedHost::~ScriptedHost() {
  close(in_);
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(out_);
}

std::string ScriptedHost::Ask(const std::string &command) {
  std::string line = std::string(command) + "\n";
  if (write(in_, line.data(), line.size()) !=
      static_cast<ssize_t>(line.size())) {
    return "";
  }
  return NextLine();
}

std::string ScriptedHost::NextLine() {
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

double ScriptedHost::CpuSeconds() const {
  std::string stat = ReadWhole("/proc/" + std::to_string(pid_) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    ticks += (i == 14 || i == 15) ? std::stol(field) : 0; // utime, stime
  }
  return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}
