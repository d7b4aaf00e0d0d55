// SPDX-License-Identifier: MIT
// gpscapture: a host program for libTolvaneGPS. It loads the library at run
// time, as a host does, and captures block after block from a receiver: a real
// port, or by default a simulated receiver on a pseudo-terminal.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <thread>
#include <unistd.h>

#include "capture.h"
#include "checks.h"
#include "options.h"
#include "receiver/simulator.h"

namespace {

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
  std::string pace = settings.baud == 0
                         ? std::string("unpaced")
                         : "at " + std::to_string(settings.baud) + " baud";
  std::fprintf(stderr, "gpscapture: simulated receiver, %s, on %s\n",
               pace.c_str(), line.slavePath().c_str());
  int status = Capture(library, settings, line.slavePath());
  receiverStop = true;
  receiver.join();
  return status;
}
