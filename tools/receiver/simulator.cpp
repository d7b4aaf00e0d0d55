// SPDX-License-Identifier: MIT
#include "simulator.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "line_speeds.h"
#include "nmea.h"

namespace gpssim {

namespace {

using Clock = std::chrono::steady_clock;

// Writes bytes at the line's pace: a byte takes 10 bit times (start, 8 data,
// stop), and a chunk leaves only when the line has finished the one before.
class PacedLine {
public:
  PacedLine(int fd, unsigned baud, const std::atomic<bool> &stop)
      : fd_(fd), baud_(baud), stop_(stop), start_(Clock::now()),
        lineFreeAt_(start_) {}

  bool Send(const std::string &bytes) {
    // Chunks of about 10 ms of line time keep the pace smooth.
    size_t chunk = baud_ == 0 ? bytes.size() : std::max(1u, baud_ / 1000);
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      if (stop_) {
        return false;
      }
      size_t length = std::min(chunk, bytes.size() - at);
      if (baud_ != 0) {
        lineFreeAt_ = std::max(lineFreeAt_, Clock::now());
        std::this_thread::sleep_until(lineFreeAt_);
        lineFreeAt_ += ByteTime(static_cast<long long>(length));
      }
      if (!WriteAll(bytes.data() + at, length)) {
        return false;
      }
      sent_ += static_cast<long long>(length);
    }
    return true;
  }

  // Waits until the line has been running for the given time, or stop.
  void WaitUntil(Clock::duration sinceStart) {
    while (baud_ != 0 && !stop_ && Clock::now() < start_ + sinceStart) {
      std::this_thread::sleep_for(std::min<Clock::duration>(
          start_ + sinceStart - Clock::now(), std::chrono::milliseconds(100)));
    }
  }

  long long sent() const { return sent_; }

private:
  Clock::duration ByteTime(long long bytes) const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(bytes * 10 * 1000000000LL / baud_));
  }

  // Waits for room in short steps, so that a line nobody reads any more
  // cannot hold the sender once it is told to stop. The descriptor is
  // non-blocking meanwhile (see Emit): a terminal's blocking write waits for
  // room for all of it, however little poll() promised.
  bool WriteAll(const char *data, size_t length) {
    while (length > 0) {
      pollfd room = {fd_, POLLOUT, 0};
      if (poll(&room, 1, 100) == 0) {
        if (stop_) {
          return false;
        }
        continue;
      }
      ssize_t n = write(fd_, data, length);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        continue;
      }
      if (n <= 0) {
        return false;
      }
      data += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  int fd_;
  unsigned baud_;
  const std::atomic<bool> &stop_;
  Clock::time_point start_;
  Clock::time_point lineFreeAt_;
  long long sent_ = 0;
};

void EmitEpochs(PacedLine &line, const Options &options) {
  Track track(options.seed);
  for (long epoch = 0; options.epochs < 0 || epoch < options.epochs; ++epoch) {
    line.WaitUntil(std::chrono::seconds(epoch)); // one epoch a second
    if (!line.Send(track.NextEpoch())) {
      return;
    }
  }
}

// A receiver starts every epoch with the same sentence, so each line of the
// log's first type begins the next second.
void EmitReplay(PacedLine &line, const Options &options) {
  std::ifstream log(options.replayFile, std::ios::binary);
  std::string first; // "$GPGGA": the type that begins an epoch
  long epoch = 0;
  for (std::string text; std::getline(log, text);) {
    if (!text.empty() && text.back() == '\r') {
      text.pop_back();
    }
    std::string type = text.substr(0, text.find(','));
    if (first.empty()) {
      first = type;
    } else if (type == first) {
      line.WaitUntil(std::chrono::seconds(++epoch));
    }
    if (!line.Send(text + "\r\n")) {
      return;
    }
  }
}

void EmitPattern(PacedLine &line, const Options &options) {
  std::string chunk;
  for (long long i = 0; i < options.patternBytes;) {
    chunk.clear();
    for (; i < options.patternBytes && chunk.size() < 4096; ++i) {
      chunk += PatternByte(i);
    }
    if (!line.Send(chunk)) {
      return;
    }
  }
}

} // namespace

bool IsPacingRate(unsigned long long baud) {
  for (const LineSpeed &speed : kLineSpeeds) {
    if (speed.baud == baud) {
      return true;
    }
  }
  return baud == 0;
}

std::string PacingRates() {
  return "a serial line speed from " + std::to_string(kLineSpeeds[0].baud) +
         " to " + std::to_string(std::end(kLineSpeeds)[-1].baud) +
         ", such as 4800 or 9600, or 0 for unpaced";
}

char PatternByte(long long i) {
  static const char *const kValues = [] {
    static char values[254];
    int n = 0;
    for (int v = 0; v < 256; ++v) {
      if (v != 0x11 && v != 0x13) {
        values[n++] = static_cast<char>(v);
      }
    }
    return values;
  }();
  return kValues[i % 254];
}

PseudoTerminal::PseudoTerminal() {
  char name[256];
  if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
    slavePath_ = name;
    // A program started meanwhile must not hold the line up after a hang-up.
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
  } else {
    master_ = slave_ = -1;
  }
}

PseudoTerminal::~PseudoTerminal() {
  Hangup();
  if (slave_ >= 0) {
    close(slave_);
  }
}

void PseudoTerminal::WaitUntilDrained(const std::atomic<bool> &stop) const {
  // Bytes just written may still be on their way to the queue, so the queue
  // must stay empty for a while, longer than a host's quiet-gap wait. A host
  // reading takes something at least every read time-out (2 s); one that has
  // taken nothing for 5 s has stopped, and is waited for no longer.
  int emptyChecks = 0, stillChecks = 0, lastQueued = -1;
  while (!stop && emptyChecks < 30 && stillChecks < 500) {
    int queued = 0;
    bool empty = ioctl(slave_, TIOCINQ, &queued) == 0 && queued == 0;
    emptyChecks = empty ? emptyChecks + 1 : 0;
    stillChecks = !empty && queued == lastQueued ? stillChecks + 1 : 0;
    lastQueued = queued;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void PseudoTerminal::Hangup() {
  if (master_ >= 0) {
    close(master_);
    master_ = -1;
  }
}

bool WaitForRawLine(int master, const std::atomic<bool> &stop,
                    std::chrono::seconds patience) {
  const auto start = Clock::now();
  termios line;
  // Whole seconds, so that no patience overflows the clock's ticks.
  while (!stop && std::chrono::duration_cast<std::chrono::seconds>(
                      Clock::now() - start) < patience) {
    if (tcgetattr(master, &line) == 0 && (line.c_lflag & ICANON) == 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

long long Emit(int fd, const Options &options, const std::atomic<bool> &stop) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  PacedLine line(fd, options.baud, stop);
  if (!options.replayFile.empty()) {
    EmitReplay(line, options);
  } else if (options.patternBytes >= 0) {
    EmitPattern(line, options);
  } else {
    EmitEpochs(line, options);
  }
  fcntl(fd, F_SETFL, flags);
  return line.sent();
}

} // namespace gpssim
