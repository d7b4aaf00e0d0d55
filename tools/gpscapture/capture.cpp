// SPDX-License-Identifier: MIT
#include "capture.h"

#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "command_line.h"
#include "constants.h"
#include "file_bytes.h"
#include "receiver/nmea.h"
#include "utf16.h"

std::atomic<int> stopSignal{0};

namespace {

// A line that has had data is reported quiet once, after this long.
constexpr double kQuietSeconds = 10;
// Blocks with data but no valid sentence before the line's speed is doubted.
constexpr long kBlocksBeforeDoubt = 3;

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
      .count();
}

} // namespace

bool Load(const std::string &file, Library *library) {
  void *handle = dlopen(file.c_str(), RTLD_NOW);
  if (handle == nullptr) {
    std::fprintf(stderr, "gpscapture: cannot load %s: %s\n", file.c_str(),
                 dlerror());
    return false;
  }
  library->open = reinterpret_cast<GPSOpenProc>(dlsym(handle, "GPSOpen"));
  library->write = reinterpret_cast<GPSWriteProc>(dlsym(handle, "GPSWrite"));
  library->close = reinterpret_cast<GPSCloseProc>(dlsym(handle, "GPSClose"));
  if (!library->open || !library->write || !library->close) {
    std::fprintf(stderr, "gpscapture: %s lacks GPSOpen/GPSWrite/GPSClose\n",
                 file.c_str());
    return false;
  }
  return true;
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
  double lastCall = 0; // seconds the last GPSWrite took
  int status = kDone;
  while (stopSignal == 0 && (settings.blocks < 0 || block < settings.blocks)) {
    // A call cannot be cut short: one expected to end past the limit is not
    // begun.
    if (settings.seconds >= 0 &&
        SecondsSince(start) + lastCall > settings.seconds) {
      break;
    }
    // Removed first, so that an old file is never taken for a new block.
    std::string path = CapturePath(settings, block + 1);
    unlink(path.c_str());
    const auto called = std::chrono::steady_clock::now();
    library.write(Utf16(path).c_str());
    lastCall = SecondsSince(called);
    struct stat written;
    if (stat(path.c_str(), &written) != 0) {
      std::fprintf(stderr, "gpscapture: the library could not write %s\n",
                   path.c_str());
      status = kBadOutput;
      break;
    }
    std::string bytes = ReadWhole(path);
    if (bytes.empty()) {
      unlink(path.c_str()); // an empty file is no block
      if (stopSignal != 0) {
        break;
      }
      if (block == 0) {
        std::fprintf(stderr,
                     "gpscapture: no data from %s in %u s: is the receiver "
                     "connected and the port right?\n",
                     port.c_str(), static_cast<unsigned>(kReadTotalMs / 1000));
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
    unfinished += bytes;
    unfinished = gpssim::ReadSentences(unfinished, &reading);
    // A block without a fix of its own shows none, not the last one's.
    const bool fixed = reading.fixes > before.fixes;
    std::fprintf(
        stderr, "block %ld: %s, %s, %s, fix %s at %s\n", block,
        Counted(static_cast<long long>(bytes.size()), "byte").c_str(),
        Counted(reading.sentences - before.sentences, "sentence").c_str(),
        Counted(reading.checksumFailures - before.checksumFailures,
                "checksum failure")
            .c_str(),
        fixed ? reading.fixTime.c_str() : "-",
        fixed ? reading.position.c_str() : "-");
    // Bytes but never a sentence: most often a receiver at another speed.
    if (block == kBlocksBeforeDoubt &&
        reading.sentences == reading.checksumFailures) {
      std::fprintf(stderr,
                   "gpscapture: %ld blocks and no valid NMEA sentence: is "
                   "the receiver at 4800 baud?\n",
                   block);
    }
  }
  library.close();
  return stopSignal != 0 ? 128 + stopSignal : status;
}
