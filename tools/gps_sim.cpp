// SPDX-License-Identifier: MIT
// gps-sim: plays a GPS receiver on a new pseudo-terminal.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "receiver/simulator.h"

namespace {

std::atomic<bool> stopRequested{false};

const char kUsage[] =
    "usage: gps-sim [--rate BAUD] [--epochs N] [--replay FILE] [--pattern N]\n"
    "               [--seed S]\n"
    "\n"
    "Plays a GPS receiver on a new pseudo-terminal and prints the port's path\n"
    "on the first line. Sending starts once a host has opened the port and\n"
    "made it raw (as GPSOpen does).\n"
    "\n"
    "  --rate BAUD    line speed to pace at, 10 bits a byte (default 4800);\n"
    "                 0 sends as fast as the port takes it\n"
    "  --epochs N     stop after N one-second NMEA epochs (default: never)\n"
    "  --replay FILE  send an NMEA log line by line instead\n"
    "  --pattern N    send N raw bytes of a fixed pattern instead (every byte\n"
    "                 value but XON and XOFF), for soak tests\n"
    "  --seed S       choose another repeatable track (default 1)\n"
    "\n"
    "Exit status: 0 done or stopped; 1 the replay file or a pseudo-terminal\n"
    "cannot be opened; 2 usage error.\n";

int UsageError(const std::string &message) {
  std::fprintf(stderr, "gps-sim: %s\n\n%s", message.c_str(), kUsage);
  return 2;
}

// Whole decimal numbers only: "fast", "-3" and "" are none.
bool ParseWhole(const std::string &text, unsigned long long *value) {
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return true;
}

} // namespace

int main(int argc, char **argv) {
  gpssim::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (flag == "--version") {
      std::printf("gps-sim %s\n", TOLVANE_VERSION);
      return 0;
    }
    if (flag != "--rate" && flag != "--epochs" && flag != "--replay" &&
        flag != "--pattern" && flag != "--seed") {
      return UsageError("unknown option " + flag);
    }
    if (i + 1 >= argc) {
      return UsageError(flag + " needs a value");
    }
    std::string value = argv[++i];
    unsigned long long number = 0;
    if (flag == "--replay") {
      options.replayFile = value;
      continue;
    }
    bool above0 = flag == "--epochs" || flag == "--pattern";
    if (!ParseWhole(value, &number) || (above0 && number == 0) ||
        (flag != "--pattern" && number > 0xFFFFFFFFu)) {
      return UsageError(flag + " needs a whole number" +
                        (above0 ? " above 0" : "") + ", not '" + value + "'");
    }
    if (flag == "--rate") {
      options.baud = static_cast<unsigned>(number);
    } else if (flag == "--epochs") {
      options.epochs = static_cast<long>(number);
    } else if (flag == "--pattern") {
      options.patternBytes = static_cast<long long>(number);
    } else {
      options.seed = static_cast<uint32_t>(number);
    }
  }

  if (!options.replayFile.empty() &&
      access(options.replayFile.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "gps-sim: cannot read %s: %s\n",
                 options.replayFile.c_str(), std::strerror(errno));
    return 1;
  }
  gpssim::PseudoTerminal line;
  if (!line.ok()) {
    std::perror("gps-sim: openpty");
    return 1;
  }
  std::printf("%s\n", line.slavePath().c_str());
  std::fflush(stdout);
  std::signal(SIGINT, [](int) { stopRequested = true; });
  std::signal(SIGTERM, [](int) { stopRequested = true; });
  if (!gpssim::WaitForRawLine(line.master(), stopRequested)) {
    return 0;
  }
  long long sent = gpssim::Emit(line.master(), options, stopRequested);
  std::fprintf(stderr, "gps-sim: sent %lld bytes\n", sent);
  // Leave the line up until the host has read what is still queued.
  line.WaitUntilDrained(stopRequested);
  return 0;
}
