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
    "  --seed S       choose another repeatable track (default 1)\n";

} // namespace

int main(int argc, char **argv) {
  gpssim::Options options;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (value == nullptr) {
      std::fprintf(stderr, "gps-sim: unknown or incomplete option %s\n%s",
                   flag.c_str(), kUsage);
      return 2;
    }
    ++i;
    if (flag == "--rate") {
      options.baud = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (flag == "--epochs") {
      options.epochs = std::strtol(value, nullptr, 10);
    } else if (flag == "--replay") {
      options.replayFile = value;
    } else if (flag == "--pattern") {
      options.patternBytes = std::strtoll(value, nullptr, 10);
    } else if (flag == "--seed") {
      options.seed = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
    } else {
      std::fprintf(stderr, "gps-sim: unknown option %s\n%s", flag.c_str(),
                   kUsage);
      return 2;
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
