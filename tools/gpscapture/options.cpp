// SPDX-License-Identifier: MIT
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "command_line.h"
#include "receiver/simulator.h"

extern const char kUsage[] =
    "usage: gpscapture [--port NAME] [--out PATH | --keep DIR [--force]]\n"
    "                  [--blocks N] [--seconds S] [--rate BAUD] [--quiet]\n"
    "                  [--library FILE]\n"
    "       gpscapture --help | --version\n"
    "\n"
    "Captures what a GPS receiver sends through libTolvaneGPS: GPSOpen once,\n"
    "GPSWrite for each block, GPSClose at the end. Each block's bytes go to\n"
    "stdout as they came, and one status line per block to stderr. Without\n"
    "--blocks or --seconds it runs until Ctrl-C. When the receiver goes\n"
    "quiet it says so once and waits for it to come back.\n"
    "\n"
    "A value may also follow an equals sign: --port=/dev/ttyUSB0.\n"
    "\n"
    "  --port NAME     the receiver's port: /dev/ttyUSB0, "
    "/dev/serial/by-id/...,\n"
    "                  or COM1..COM256 for /dev/ttyS0..255. Without it, a\n"
    "                  simulated receiver on a pseudo-terminal is used.\n"
    "  --out PATH      the capture file, replaced by every block\n"
    "                  (default: capture.nmea)\n"
    "  --keep DIR      keep every block as DIR/block-000001.nmea and so on;\n"
    "                  a folder that holds block-000001.nmea already is\n"
    "                  refused\n"
    "  --force         with --keep, replace the block files already there\n"
    "  --blocks N      stop after N blocks with data\n"
    "  --seconds S     stop at S seconds: no block is begun that would end\n"
    "                  later, going by how long the last one took\n"
    "  --rate BAUD     the simulated receiver's line speed (default 4800):\n"
    "                  a standard one from 50 to 921600; 0 sends as fast as\n"
    "                  the port takes it. Not with --port: a real line runs\n"
    "                  at the library's 4800\n"
    "  --quiet         do not copy the NMEA to stdout\n"
    "  --library FILE  the library to load (default: libTolvaneGPS.so.1, from\n"
    "                  where the loader searches); a name without a slash\n"
    "                  that is a file here is loaded from here\n"
    "  --help          print this and exit\n"
    "  --version       print the version and exit\n"
    "\n"
    "Exit status: 0 done; 1 no data in the first block; 2 usage error;\n"
    "3 the capture file or folder cannot be written; 4 the port cannot be\n"
    "used; 5 the library cannot be loaded; 130 Ctrl-C; 143 SIGTERM.\n";

namespace {

bool UsageError(const std::string &problem) {
  PrintUsageError("gpscapture", problem);
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

const char *const kValueOptions[] = {"--port",   "--out",     "--keep",
                                     "--blocks", "--seconds", "--rate",
                                     "--library"};

bool TakesValue(const std::string &flag) {
  for (const char *option : kValueOptions) {
    if (flag == option) {
      return true;
    }
  }
  return false;
}

} // namespace

std::string CapturePath(const Settings &settings, long block) {
  if (settings.keepDir.empty()) {
    return settings.out;
  }
  char name[32];
  std::snprintf(name, sizeof name, "/block-%06ld.nmea", block);
  return settings.keepDir + name;
}

bool ParseArguments(int argc, char **argv, Settings *settings) {
  bool outGiven = false, rateGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    // exit() only while parsing, before gpscapture starts its receiver thread.
    // NOLINTBEGIN(concurrency-mt-unsafe)
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(kDone);
    }
    if (flag == "--version") {
      std::printf("gpscapture %s\n", TOLVANE_VERSION);
      std::exit(kDone);
    }
    // NOLINTEND(concurrency-mt-unsafe)
    if (flag == "--quiet" || flag == "--force") {
      (flag == "--quiet" ? settings->quiet : settings->force) = true;
      continue;
    }
    if (flag.rfind("--", 0) != 0) {
      return UsageError("unexpected argument " + flag);
    }
    // --option value, or --option=value.
    std::string value;
    bool inlineValue = false;
    size_t equals = flag.find('=');
    if (equals != std::string::npos) {
      value = flag.substr(equals + 1);
      flag = flag.substr(0, equals);
      inlineValue = true;
    }
    if (!TakesValue(flag)) {
      return UsageError("unknown option " + flag);
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        return UsageError(flag + " needs a value");
      }
      value = argv[++i];
    }
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
      outGiven = true;
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
      if (!ParseCount(value, &count) || !gpssim::IsPacingRate(count)) {
        return UsageError("--rate needs " + gpssim::PacingRates() + ", not '" +
                          value + "'");
      }
      settings->baud = static_cast<unsigned>(count);
      rateGiven = true;
    } else if (value.find('/') == std::string::npos &&
               access(value.c_str(), F_OK) == 0) {
      // dlopen searches the library path for a name without a slash; a
      // person naming a file that is right here means that file.
      settings->library = "./" + value;
    } else {
      settings->library = value;
    }
  }
  if (outGiven && !settings->keepDir.empty()) {
    return UsageError("--out and --keep are alternatives: give one");
  }
  if (rateGiven && !settings->simulated) {
    return UsageError("--rate paces the simulated receiver: with --port the "
                      "line runs at 4800");
  }
  if (settings->force && settings->keepDir.empty()) {
    return UsageError("--force goes with --keep");
  }
  if (settings->out.empty()) {
    return UsageError("--out needs a path");
  }
  return true;
}
