// SPDX-License-Identifier: MIT
// gpscapture: a host program for libTolvaneGPS. It loads the library at run
// time, as a host does, and captures block after block from a receiver: a real
// port, or by default a simulated receiver on a pseudo-terminal.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "TolvaneGPS.h"
#include "file_bytes.h"
#include "receiver/nmea.h"
#include "receiver/simulator.h"
#include "utf16.h"

namespace {

enum ExitStatus {
  kDone = 0,
  kNoData = 1,
  kUsageError = 2,
  kBadOutput = 3,
  kBadPort = 4,
  kNoLibrary = 5,
};

// The signal that asked us to stop, or 0.
std::atomic<int> stopSignal{0};

// A line that has had data is reported quiet once, after this long.
constexpr double kQuietSeconds = 10;

const char kUsage[] =
    "usage: gpscapture [--port NAME] [--out PATH | --keep DIR] [--blocks N]\n"
    "                  [--seconds S] [--rate BAUD] [--quiet] [--library FILE]\n"
    "       gpscapture --help | --version\n"
    "\n"
    "Captures what a GPS receiver sends through libTolvaneGPS: GPSOpen once,\n"
    "GPSWrite for each block, GPSClose at the end. Each block's bytes go to\n"
    "stdout as they came, and one status line per block to stderr. Without\n"
    "--blocks or --seconds it runs until Ctrl-C. When the receiver goes\n"
    "quiet it says so once and waits for it to come back.\n"
    "\n"
    "  --port NAME     the receiver's port: /dev/ttyUSB0, "
    "/dev/serial/by-id/...,\n"
    "                  or COM1..COM256 for /dev/ttyS0..255. Without it, a\n"
    "                  simulated receiver on a pseudo-terminal is used.\n"
    "  --out PATH      the capture file, replaced by every block\n"
    "                  (default: capture.nmea)\n"
    "  --keep DIR      keep every block as DIR/block-000001.nmea and so on\n"
    "  --blocks N      stop after N blocks with data\n"
    "  --seconds S     stop after S seconds\n"
    "  --rate BAUD     the simulated receiver's line speed (default 4800;\n"
    "                  0 sends as fast as the port takes it)\n"
    "  --quiet         do not copy the NMEA to stdout\n"
    "  --library FILE  the library to load (default: libTolvaneGPS.so.1)\n"
    "\n"
    "Exit status: 0 done; 1 no data in the first block; 2 usage error;\n"
    "3 the capture file or folder cannot be written; 4 the port cannot be\n"
    "used; 5 the library cannot be loaded; 130 Ctrl-C; 143 SIGTERM.\n";

struct Settings {
  std::string port;
  bool simulated = true;
  std::string out = "capture.nmea";
  std::string keepDir;
  long blocks = -1;
  double seconds = -1;
  unsigned baud = 4800;
  bool quiet = false;
  std::string library = "libTolvaneGPS.so.1";
};

// The library's three calls, bound by name.
struct Library {
  int (*open)(const GPSWideChar *) = nullptr;
  int (*write)(const GPSWideChar *) = nullptr;
  int (*close)(void) = nullptr;
};

bool Load(const std::string &file, Library *library) {
  void *handle = dlopen(file.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    std::fprintf(stderr, "gpscapture: cannot load %s: %s\n", file.c_str(),
                 dlerror());
    return false;
  }
  library->open =
      reinterpret_cast<int (*)(const GPSWideChar *)>(dlsym(handle, "GPSOpen"));
  library->write =
      reinterpret_cast<int (*)(const GPSWideChar *)>(dlsym(handle, "GPSWrite"));
  library->close = reinterpret_cast<int (*)()>(dlsym(handle, "GPSClose"));
  if (!library->open || !library->write || !library->close) {
    std::fprintf(stderr, "gpscapture: %s lacks GPSOpen/GPSWrite/GPSClose\n",
                 file.c_str());
    return false;
  }
  return true;
}

bool UsageError(const std::string &message) {
  std::fprintf(stderr, "gpscapture: %s\n\n%s", message.c_str(), kUsage);
  return false;
}

// Whole decimal numbers only: "abc", "-5", "3x" and "" are not counts.
bool ParseCount(const std::string &text, unsigned long *value) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::strtoul(text.c_str(), nullptr, 10);
  return true;
}

bool ParseArguments(int argc, char **argv, Settings *settings) {
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(kDone);
    }
    if (flag == "--version") {
      std::printf("gpscapture %s\n", TOLVANE_VERSION);
      std::exit(kDone);
    }
    if (flag == "--quiet") {
      settings->quiet = true;
      continue;
    }
    if (flag.rfind("--", 0) != 0) {
      return UsageError("unexpected argument " + flag);
    }
    if (i + 1 >= argc) {
      return UsageError(flag + " needs a value");
    }
    std::string value = argv[++i];
    unsigned long count = 0;
    char *end = nullptr;
    if (flag == "--port") {
      if (value.empty()) {
        return UsageError("--port needs a port name");
      }
      settings->port = value;
      settings->simulated = false;
    } else if (flag == "--out") {
      settings->out = value;
    } else if (flag == "--keep") {
      settings->keepDir = value;
    } else if (flag == "--blocks") {
      if (!ParseCount(value, &count) || count == 0) {
        return UsageError("--blocks needs a whole number above 0, not '" +
                          value + "'");
      }
      settings->blocks = static_cast<long>(count);
    } else if (flag == "--seconds") {
      settings->seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != 0 || !(settings->seconds > 0) ||
          settings->seconds > 1e9) {
        return UsageError("--seconds needs a number above 0, not '" + value +
                          "'");
      }
    } else if (flag == "--rate") {
      if (!ParseCount(value, &count)) {
        return UsageError("--rate needs a whole number, not '" + value + "'");
      }
      settings->baud = static_cast<unsigned>(count);
    } else if (flag == "--library") {
      settings->library = value;
    } else {
      return UsageError("unknown option " + flag);
    }
  }
  if (settings->out.empty()) {
    return UsageError("--out needs a path");
  }
  return true;
}

bool OutputError(const std::string &message) {
  std::fprintf(stderr, "gpscapture: %s\n", message.c_str());
  return false;
}

// Checked before the first block: the library reports nothing, and a capture
// file it cannot write would otherwise go unnoticed.
bool CheckOutput(const Settings &settings) {
  struct stat status;
  if (!settings.keepDir.empty()) {
    const std::string &dir = settings.keepDir;
    if (stat(dir.c_str(), &status) != 0 && mkdir(dir.c_str(), 0777) != 0) {
      return OutputError("cannot make the folder " + dir + ": " +
                         std::strerror(errno));
    }
    if (stat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return OutputError("--keep " + dir + " is not a folder");
    }
    if (access(dir.c_str(), W_OK | X_OK) != 0) {
      return OutputError("cannot write in " + dir + ": " +
                         std::strerror(errno));
    }
    return true;
  }
  const std::string &out = settings.out;
  size_t slash = out.rfind('/');
  std::string dir = slash == std::string::npos ? "."
                    : slash == 0               ? "/"
                                               : out.substr(0, slash);
  if (stat(dir.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
    return OutputError("no folder " + dir + " for " + out);
  }
  if (access(dir.c_str(), W_OK | X_OK) != 0) {
    return OutputError("cannot write in " + dir + ": " + std::strerror(errno));
  }
  if (lstat(out.c_str(), &status) == 0) {
    if (!S_ISREG(status.st_mode)) {
      return OutputError(out + " is not a regular file");
    }
    if (access(out.c_str(), W_OK) != 0) {
      return OutputError(out + " is read-only");
    }
  }
  return true;
}

// "COMn" as the library reads it: n from 1 to 256 is /dev/ttyS<n-1>. Sets
// *comForm for any COM name with a number, in range or not.
std::string PortPath(const std::string &port, bool *comForm) {
  std::string name = port.rfind("\\\\.\\", 0) == 0 ? port.substr(4) : port;
  if (!name.empty() && name.back() == ':') {
    name.pop_back();
  }
  *comForm = name.size() > 3 && (name[0] | 0x20) == 'c' &&
             (name[1] | 0x20) == 'o' && (name[2] | 0x20) == 'm' &&
             name.find_first_not_of("0123456789", 3) == std::string::npos;
  if (!*comForm) {
    return port;
  }
  unsigned long number = 0;
  if (name[3] == '0' || !ParseCount(name.substr(3), &number) || number < 1 ||
      number > 256) {
    return "";
  }
  return "/dev/ttyS" + std::to_string(number - 1);
}

// The process holding the device, as fuser finds it, or "".
std::string Holder(dev_t device) {
  DIR *processes = opendir("/proc");
  std::string holder;
  while (dirent *process = processes ? readdir(processes) : nullptr) {
    std::string pid = process->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos ||
        pid == std::to_string(getpid())) {
      continue;
    }
    std::string fds = "/proc/" + pid + "/fd";
    DIR *descriptors = opendir(fds.c_str());
    while (dirent *fd = descriptors ? readdir(descriptors) : nullptr) {
      struct stat status;
      if (stat((fds + "/" + fd->d_name).c_str(), &status) == 0 &&
          S_ISCHR(status.st_mode) && status.st_rdev == device) {
        std::string name = ReadWhole("/proc/" + pid + "/comm");
        holder =
            "process " + pid + " (" + name.substr(0, name.find('\n')) + ")";
        break;
      }
    }
    if (descriptors) {
      closedir(descriptors);
    }
    if (!holder.empty()) {
      break;
    }
  }
  if (processes) {
    closedir(processes);
  }
  return holder;
}

bool PortError(const std::string &port, const std::string &path,
               const std::string &problem) {
  std::string name = port == path ? port : port + " (" + path + " here)";
  std::fprintf(stderr, "gpscapture: %s: %s\n", name.c_str(), problem.c_str());
  return false;
}

bool PortInUse(const std::string &port, const std::string &path, dev_t device) {
  std::string holder = Holder(device);
  return PortError(
      port, path, "in use by " + (holder.empty() ? "another process" : holder));
}

// The library reports nothing about the port, so look at it first.
bool CheckPort(const std::string &port) {
  bool comForm = false;
  std::string path = PortPath(port, &comForm);
  if (path.empty()) {
    std::fprintf(stderr,
                 "gpscapture: %s names no port: COM1 to COM256 are "
                 "/dev/ttyS0 to /dev/ttyS255 here\n",
                 port.c_str());
    return false;
  }
  struct stat status;
  if (stat(path.c_str(), &status) != 0) {
    return PortError(port, path,
                     errno == ENOENT ? "no such device" : std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    return PortError(port, path, "a directory, not a serial port");
  }
  if (S_ISREG(status.st_mode)) {
    return PortError(port, path, "a regular file, not a serial port");
  }
  if (!S_ISCHR(status.st_mode)) {
    return PortError(port, path, "not a device");
  }
  if (status.st_rdev == makedev(1, 3)) {
    return PortError(port, path, "the null device, not a serial port");
  }
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EBUSY) {
      return PortInUse(port, path, status.st_rdev);
    }
    return PortError(port, path,
                     errno == EACCES ? "permission denied (is this user in "
                                       "the dialout group?)"
                                     : std::strerror(errno));
  }
  bool terminal = isatty(fd) != 0;
  bool free = terminal && flock(fd, LOCK_EX | LOCK_NB) == 0;
  close(fd);
  if (!terminal) {
    return PortError(port, path, "a device, but not a serial port");
  }
  if (!free) {
    return PortInUse(port, path, status.st_rdev);
  }
  return true;
}

std::string CapturePath(const Settings &settings, long block) {
  if (settings.keepDir.empty()) {
    return settings.out;
  }
  char name[32];
  std::snprintf(name, sizeof name, "/block-%06ld.nmea", block);
  return settings.keepDir + name;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

int Capture(const Library &library, const Settings &settings,
            const std::string &port) {
  library.open(Utf16(port).c_str());
  gpssim::Reading reading;
  std::string unfinished;
  const auto start = std::chrono::steady_clock::now();
  auto lastData = start;
  bool quietSaid = false;
  long block = 0;
  int status = kDone;
  while (stopSignal == 0 && (settings.blocks < 0 || block < settings.blocks)) {
    if (settings.seconds >= 0 && SecondsSince(start) >= settings.seconds) {
      break;
    }
    // Removed first, so that an old file is never taken for a new block.
    std::string path = CapturePath(settings, block + 1);
    unlink(path.c_str());
    library.write(Utf16(path).c_str());
    struct stat written;
    if (stat(path.c_str(), &written) != 0) {
      std::fprintf(stderr, "gpscapture: the library could not write %s\n",
                   path.c_str());
      status = kBadOutput;
      break;
    }
    std::string bytes = ReadWhole(path);
    if (bytes.empty()) {
      if (!settings.keepDir.empty()) {
        unlink(path.c_str());
      }
      if (stopSignal != 0) {
        break;
      }
      if (block == 0) {
        std::fprintf(stderr,
                     "gpscapture: no data from %s in 2 s: is the receiver "
                     "connected and the port right?\n",
                     port.c_str());
        status = kNoData;
        break;
      }
      double quiet = SecondsSince(lastData);
      if (!quietSaid && quiet >= kQuietSeconds) {
        std::fprintf(stderr,
                     "gpscapture: no data for %.0f s; waiting for the "
                     "receiver\n",
                     quiet);
        quietSaid = true;
      }
      continue;
    }
    if (quietSaid) {
      std::fprintf(stderr, "gpscapture: data again after %.0f s\n",
                   SecondsSince(lastData));
      quietSaid = false;
    }
    lastData = std::chrono::steady_clock::now();
    ++block;
    if (!settings.quiet) {
      std::fwrite(bytes.data(), 1, bytes.size(), stdout);
      std::fflush(stdout);
    }
    gpssim::Reading before = reading;
    unfinished = gpssim::ReadSentences(unfinished + bytes, &reading);
    std::fprintf(stderr,
                 "block %ld: %zu bytes, %ld sentences, %ld checksum failures, "
                 "fix %s at %s\n",
                 block, bytes.size(), reading.sentences - before.sentences,
                 reading.checksumFailures - before.checksumFailures,
                 reading.fixTime.empty() ? "-" : reading.fixTime.c_str(),
                 reading.position.empty() ? "-" : reading.position.c_str());
  }
  library.close();
  return stopSignal != 0 ? 128 + stopSignal : status;
}

// The first Ctrl-C ends the capture after the block in flight (at most the
// 2 s read time-out); a second one ends the program at once.
void OnStop(int signal) {
  if (stopSignal != 0) {
    _exit(128 + signal);
  }
  stopSignal = signal;
}

} // namespace

int main(int argc, char **argv) {
  Settings settings;
  if (!ParseArguments(argc, argv, &settings)) {
    return kUsageError;
  }
  if (!CheckOutput(settings)) {
    return kBadOutput;
  }
  if (!settings.simulated && !CheckPort(settings.port)) {
    return kBadPort;
  }
  Library library;
  if (!Load(settings.library, &library)) {
    return kNoLibrary;
  }
  struct sigaction stop = {};
  stop.sa_handler = OnStop;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  if (!settings.simulated) {
    return Capture(library, settings, settings.port);
  }

  // The embedded default: a simulated receiver on a pseudo-terminal.
  gpssim::PseudoTerminal line;
  if (!line.ok()) {
    std::perror("gpscapture: openpty");
    return kBadPort;
  }
  gpssim::Options options;
  options.baud = settings.baud;
  std::atomic<bool> receiverStop{false};
  std::thread receiver([&] {
    if (gpssim::WaitForRawLine(line.master(), receiverStop)) {
      gpssim::Emit(line.master(), options, receiverStop);
    }
  });
  std::fprintf(stderr, "gpscapture: simulated receiver at %u baud on %s\n",
               settings.baud, line.slavePath().c_str());
  int status = Capture(library, settings, line.slavePath());
  receiverStop = true;
  receiver.join();
  return status;
}
