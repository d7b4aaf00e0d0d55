// SPDX-License-Identifier: MIT
// The library's port and the same work done by hand, for the benchmarks and
// the system-call count.
#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "TolvaneGPS.h"
#include "constants.h"
#include "receiver/line_speeds.h"
#include "receiver/simulator.h"
#include "utf16.h"

namespace {

using Clock = std::chrono::steady_clock;

// tmpfs, so that the disk does not decide the numbers.
const std::string kCapture = "/dev/shm/tolvane-bench.nmea";

// The library's port, configured by GPSOpen.
class LibraryPort {
public:
  LibraryPort() { GPSOpen(Utf16(line.slavePath()).c_str()); }
  ~LibraryPort() { GPSClose(); }
  void Capture() { GPSWrite(path.c_str()); }

  gpssim::PseudoTerminal line;
  std::u16string path = Utf16(kCapture);
};

// The same work by hand: a raw, non-blocking port with the same settings and
// the same read time-outs, then open, write and close of the capture file.
class RawPort {
public:
  RawPort() {
    fd_ = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios settings;
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    for (const LineSpeed &speed : kLineSpeeds) {
      if (speed.baud == kReceiverBaud) {
        cfsetspeed(&settings, speed.code);
      }
    }
    settings.c_iflag |= IXON | IXOFF;
    settings.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~RawPort() { close(fd_); }

  void Capture() {
    size_t count = Read();
    int file =
        open(kCapture.c_str(),
             O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (write(file, buffer_, count) < 0) {
      std::perror("write");
    }
    close(file);
  }

  gpssim::PseudoTerminal line;

private:
  size_t Read() {
    auto end = Clock::now() + std::chrono::milliseconds(kReadTotalMs);
    size_t count = 0;
    while (count < sizeof buffer_) {
      auto deadline = end;
      if (count > 0) {
        deadline = std::min(deadline,
                            last_ + std::chrono::milliseconds(kReadIntervalMs));
      }
      auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) {
        break;
      }
      pollfd ready = {fd_, POLLIN, 0};
      if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
        continue;
      }
      ssize_t n = read(fd_, buffer_ + count, sizeof buffer_ - count);
      if (n <= 0) {
        break;
      }
      count += static_cast<size_t>(n);
      last_ = Clock::now();
    }
    return count;
  }

  int fd_;
  char buffer_[kTransferBufferBytes];
  Clock::time_point last_;
};

std::string Pattern(size_t size) {
  std::string bytes(size, 0);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = gpssim::PatternByte(static_cast<long long>(i));
  }
  return bytes;
}

// False when the line refuses the bytes: the benchmark stops, not hangs.
bool Feed(int master, const std::string &bytes) {
  for (size_t at = 0; at < bytes.size();) {
    ssize_t n = write(master, bytes.data() + at, bytes.size() - at);
    if (n > 0) {
      at += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return false;
    }
  }
  return true;
}

} // namespace
