// SPDX-License-Identifier: MIT
// A simulated GPS receiver on the master side of a pseudo-terminal.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace gpssim {

struct Options {
  unsigned baud = 4800;        // line speed to pace at; 0 sends unpaced
  long epochs = -1;            // NMEA epochs to send; -1 for ever
  std::string replayFile;      // send this NMEA log line by line instead
  long long patternBytes = -1; // send this many raw pattern bytes instead
  uint32_t seed = 1;
};

// A rate to pace at: 0 (unpaced) or a speed a serial line runs at. Any other
// rate would not be a line a host could meet: at 7 baud a host's read gets
// one byte a block.
bool IsPacingRate(unsigned long long baud);
// What IsPacingRate takes, for a person: "a serial line speed from 50 to ...".
std::string PacingRates();

// Byte i of the raw pattern: every value but XON (0x11) and XOFF (0x13),
// which a line with XON/XOFF consumes.
char PatternByte(long long i);

// A pseudo-terminal whose slave is the port a host opens. It keeps a slave
// descriptor of its own, so the line stays up while hosts open and close it.
class PseudoTerminal {
public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal &) = delete;
  PseudoTerminal &operator=(const PseudoTerminal &) = delete;

  bool ok() const { return master_ >= 0; }
  int master() const { return master_; }
  int slave() const { return slave_; }
  const std::string &slavePath() const { return slavePath_; }
  // Waits until the host has read everything sent, or stop is set.
  void WaitUntilDrained(const std::atomic<bool> &stop) const;
  // Closes the master: the receiver is unplugged.
  void Hangup();

private:
  int master_ = -1;
  int slave_ = -1;
  std::string slavePath_;
};

// Waits until a host has opened the slave and made it raw: bytes sent before
// that would be changed by the terminal's line editing. False if stop is set
// or no host has come within patience.
bool WaitForRawLine(
    int master, const std::atomic<bool> &stop,
    std::chrono::seconds patience = std::chrono::seconds::max());

// Sends what options describe into fd, paced at the line speed, until done,
// stop is set or the line fails. Returns the bytes sent.
long long Emit(int fd, const Options &options, const std::atomic<bool> &stop);

} // namespace gpssim
