// SPDX-License-Identifier: MIT
// A C++ host linked against the library through its header and CMake
// package (see CMakeLists.txt here):
//
//   host PORT DIR BLOCKS
//
// captures BLOCKS blocks from PORT into DIR/fix.nmea, which should be a
// folder only this user can write, and prints each block's size.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cuchar>
#include <cwchar>
#include <fstream>
#include <string>

#include "TolvaneGPS.h"

namespace {

// The locale's multibyte text (UTF-8, as a rule) as UTF-16; text that is not
// valid in the locale becomes the empty name, which opens nothing.
std::u16string Widen(const std::string &text) {
  std::u16string wide;
  std::mbstate_t state{};
  const char *at = text.c_str();
  size_t left = text.size() + 1;
  for (char16_t unit = 0;;) {
    size_t used = std::mbrtoc16(&unit, at, left, &state);
    if (used == 0) {
      return wide;
    }
    if (used > left && used != static_cast<size_t>(-3)) {
      return u"";
    }
    wide += unit;
    if (used != static_cast<size_t>(-3)) { // -3: a pair's second half
      at += used;
      left -= used;
    }
  }
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: host PORT DIR BLOCKS\n");
    return 2;
  }
  std::setlocale(LC_ALL, ""); // the command line is in the locale's encoding
  const std::string path = std::string(argv[2]) + "/fix.nmea";
  GPSOpen(Widen(argv[1]).c_str());
  for (int block = 1; block <= std::atoi(argv[3]); ++block) {
    std::remove(path.c_str()); // a lost block is never taken for the last
    GPSWrite(Widen(path).c_str());
    std::ifstream capture(path, std::ios::binary | std::ios::ate);
    std::printf("block %d: %ld bytes\n", block,
                capture ? static_cast<long>(capture.tellg()) : 0L);
  }
  GPSClose();

  // The items that carry the module's name copy without a warning.
  CTolvaneGPS first;
  CTolvaneGPS second(first);
  second = first;
  return fnTolvaneGPS() == 42 ? 0 : 1;
}
