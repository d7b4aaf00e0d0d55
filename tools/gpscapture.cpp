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
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "TolvaneGPS.h"
#include "receiver/nmea.h"
#include "receiver/simulator.h"
#include "utf16.h"

namespace {

std::atomic<bool> stopRequested{false};

const char kUsage[] =
    "usage: gpscapture [--port NAME] [--out PATH | --keep DIR] [--blocks N]\n"
    "                  [--seconds S] [--rate BAUD] [--quiet] [--library FILE]\n"
    "\n"
    "Captures what a GPS receiver sends through libTolvaneGPS: GPSOpen once,\n"
    "GPSWrite for each block, GPSClose at the end (also on Ctrl-C). Each\n"
    "block's bytes go to stdout as they came, and one status line per block\n"
    "to stderr.\n"
    "\n"
    "  --port NAME     the receiver's port: /dev/ttyUSB0, "
    "/dev/serial/by-id/...,\n"
    "                  or COM1..COM256 for /dev/ttyS0..255. Without it, a\n"
    "                  simulated receiver on a pseudo-terminal is used.\n"
    "  --out PATH      the capture file, replaced by every block\n"
    "                  (default: capture.nmea)\n"
    "  --keep DIR      keep every block as DIR/block-000001.nmea and so on\n"
    "  --blocks N      stop after N blocks\n"
    "  --seconds S     stop after S seconds\n"
    "  --rate BAUD     the simulated receiver's line speed (default 4800;\n"
    "                  0 sends as fast as the port takes it)\n"
    "  --quiet         do not copy the NMEA to stdout\n"
    "  --library FILE  the library to load (default: libTolvaneGPS.so.1)\n";

struct Settings {
  std::string port;
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

std::string ReadWhole(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

bool ParseArguments(int argc, char **argv, Settings *settings) {
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    }
    if (flag == "--quiet") {
      settings->quiet = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "gpscapture: %s needs a value\n\n%s", flag.c_str(),
                   kUsage);
      return false;
    }
    std::string value = argv[++i];
    if (flag == "--port") {
      settings->port = value;
    } else if (flag == "--out") {
      settings->out = value;
    } else if (flag == "--keep") {
      settings->keepDir = value;
    } else if (flag == "--blocks") {
      settings->blocks = std::strtol(value.c_str(), nullptr, 10);
    } else if (flag == "--seconds") {
      settings->seconds = std::strtod(value.c_str(), nullptr);
    } else if (flag == "--rate") {
      settings->baud =
          static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (flag == "--library") {
      settings->library = value;
    } else {
      std::fprintf(stderr, "gpscapture: unknown option %s\n\n%s", flag.c_str(),
                   kUsage);
      return false;
    }
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

// The library reports nothing, so say what can be said before trying.
bool PortLooksUsable(const std::string &port) {
  if (port.empty() || port[0] != '/' ||
      access(port.c_str(), R_OK | W_OK) == 0) {
    return true;
  }
  std::fprintf(stderr, "gpscapture: cannot open %s: %s\n", port.c_str(),
               std::strerror(errno));
  return false;
}

int Capture(const Library &library, const Settings &settings,
            const std::string &port) {
  library.open(Utf16(port).c_str());
  gpssim::Reading reading;
  std::string unfinished;
  auto start = std::chrono::steady_clock::now();
  long block = 0;
  while (!stopRequested && (settings.blocks < 0 || block < settings.blocks)) {
    std::chrono::duration<double> elapsed =
        std::chrono::steady_clock::now() - start;
    if (settings.seconds >= 0 && elapsed.count() >= settings.seconds) {
      break;
    }
    std::string path = CapturePath(settings, ++block);
    library.write(Utf16(path).c_str());
    std::string bytes = ReadWhole(path);
    if (block == 1 && bytes.empty()) {
      std::fprintf(stderr,
                   "gpscapture: no data from %s in 2 s: is the receiver "
                   "connected and the port right?\n",
                   port.c_str());
      library.close();
      return 1;
    }
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
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  Settings settings;
  Library library;
  if (!ParseArguments(argc, argv, &settings) ||
      !Load(settings.library, &library)) {
    return 2;
  }
  if (!settings.keepDir.empty()) {
    mkdir(settings.keepDir.c_str(), 0777);
  }
  struct sigaction stop = {};
  stop.sa_handler = [](int) { stopRequested = true; };
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  if (!settings.port.empty()) {
    return PortLooksUsable(settings.port)
               ? Capture(library, settings, settings.port)
               : 1;
  }

  // The embedded default: a simulated receiver on a pseudo-terminal.
  gpssim::PseudoTerminal line;
  if (!line.ok()) {
    std::perror("gpscapture: openpty");
    return 1;
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
