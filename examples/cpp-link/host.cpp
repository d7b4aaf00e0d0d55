// SPDX-License-Identifier: MIT
// A C++ host linked against the library through its header and CMake
// package (see CMakeLists.txt here):
//
//   host PORT DIR BLOCKS
//
// captures BLOCKS blocks from PORT into DIR/fix.nmea, which should be a
// folder only this user can write, and prints each block's size.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "TolvaneGPS.h"

namespace {

std::u16string Widen(const std::string &text) {
  return std::u16string(text.begin(), text.end()); // ASCII is enough here
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: host PORT DIR BLOCKS\n");
    return 2;
  }
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
