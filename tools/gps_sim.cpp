// SPDX-License-Identifier: MIT
// gps-sim: plays a GPS receiver on a new pseudo-terminal.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "command_line.h"
#include "receiver/simulator.h"

namespace {

std::atomic<bool> stopRequested{false};

const char kUsage[] =
    "usage: gps-sim [--rate BAUD] [--epochs N] [--replay FILE] [--pattern N]\n"
    "               [--seed S] [--wait S]\n"
    "       gps-sim --help | --version\n"
    "\n"
    "Plays a GPS receiver on a new pseudo-terminal and prints the port's path\n"
    "on the first line. Sending starts once a host has opened the port and\n"
    "made it raw (as GPSOpen does).\n"
    "\n"
    "  --rate BAUD    line speed to pace at, 10 bits a byte (default 4800):\n"
    "                 a standard one from 50 to 921600; 0 sends as fast as\n"
    "                 the port takes it\n"
    "  --epochs N     stop after N one-second NMEA epochs (default: never)\n"
    "  --replay FILE  send an NMEA log line by line instead, its epochs a\n"
    "                 second apart (but at --rate 0): each line of the log's\n"
    "                 first sentence type begins one\n"
    "  --pattern N    send N raw bytes of a fixed pattern instead (every byte\n"
    "                 value but XON and XOFF), for soak tests\n"
    "  --seed S       choose another repeatable track (default 1)\n"
    "  --wait S       give up if no host has come within S seconds\n"
    "                 (default 60)\n"
    "  --help         print this and exit\n"
    "  --version      print the version and exit\n"
    "\n"
    "Exit status: 0 done or stopped; 1 the replay file or a pseudo-terminal\n"
    "cannot be opened; 2 usage error; 3 no host came within the wait.\n";

enum ExitStatus { kDone = 0, kCannotOpen = 1, kUsageError = 2, kNoHost = 3 };

int UsageError(const std::string &problem) {
  PrintUsageError("gps-sim", problem);
  return kUsageError;
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
  unsigned long long waitSeconds = 60;
  for (int i = 1; i < argc; ++i) {
    std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      std::fputs(kUsage, stdout);
      return kDone;
    }
    if (flag == "--version") {
      std::printf("gps-sim %s\n", TOLVANE_VERSION);
      return kDone;
    }
    if (flag != "--rate" && flag != "--epochs" && flag != "--replay" &&
        flag != "--pattern" && flag != "--seed" && flag != "--wait") {
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
    if (flag == "--rate") {
      if (!ParseWhole(value, &number) || !gpssim::IsPacingRate(number)) {
        return UsageError("--rate needs " + gpssim::PacingRates() + ", not '" +
                          value + "'");
      }
      options.baud = static_cast<unsigned>(number);
      continue;
    }
    bool above0 = flag != "--seed";
    if (!ParseWhole(value, &number) || (above0 && number == 0) ||
        (flag != "--pattern" && number > 0xFFFFFFFFu)) {
      // Built once, as the loop ends: the check sees only the loop.
      // NOLINTBEGIN(performance-inefficient-string-concatenation)
      return UsageError(flag + " needs a whole number" +
                        (above0 ? " above 0" : "") + ", not '" + value + "'");
      // NOLINTEND(performance-inefficient-string-concatenation)
    }
    if (flag == "--epochs") {
      options.epochs = static_cast<long>(number);
    } else if (flag == "--pattern") {
      options.patternBytes = static_cast<long long>(number);
    } else if (flag == "--wait") {
      waitSeconds = number;
    } else {
      options.seed = static_cast<uint32_t>(number);
    }
  }

  if (!options.replayFile.empty() &&
      access(options.replayFile.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "gps-sim: cannot read %s: %s\n",
                 options.replayFile.c_str(), ErrorText(errno).c_str());
    return kCannotOpen;
  }
  gpssim::PseudoTerminal line;
  if (!line.ok()) {
    std::perror("gps-sim: openpty");
    return kCannotOpen;
  }
  std::printf("%s\n", line.slavePath().c_str());
  std::fflush(stdout);
  std::signal(SIGINT, [](int) { stopRequested = true; });
  std::signal(SIGTERM, [](int) { stopRequested = true; });
  if (!gpssim::WaitForRawLine(line.master(), stopRequested,
                              std::chrono::seconds(waitSeconds))) {
    if (stopRequested) {
      return kDone;
    }
    // A script that started us and then failed must not leave us running.
    std::fprintf(stderr,
                 "gps-sim: no host opened %s and made it raw within %llu s\n",
                 line.slavePath().c_str(), waitSeconds);
    return kNoHost;
  }
  long long sent = gpssim::Emit(line.master(), options, stopRequested);
  std::fprintf(stderr, "gps-sim: sent %s\n", Counted(sent, "byte").c_str());
  // Leave the line up until the host has read what is still queued.
  line.WaitUntilDrained(stopRequested);
  return kDone;
}
