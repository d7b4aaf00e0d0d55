// SPDX-License-Identifier: MIT
// NMEA 0183 as a GPS receiver speaks it: sentences with checksums and CR LF,
// a deterministic track to report, and the reading a host does of a block.
#pragma once

#include <cstdint>
#include <string>

namespace gpssim {

// "$" body "*" checksum CR LF, the checksum being the XOR of the body.
std::string Sentence(const std::string &body);

// True for a whole sentence whose checksum matches (CR LF optional).
bool ChecksumMatches(const std::string &line);

// A receiver moving along a made-up but repeatable track, one epoch a second:
// GGA, GSA, three GSV, RMC and VTG, about 400 bytes in all.
class Track {
public:
  explicit Track(uint32_t seed = 1);
  std::string NextEpoch();

private:
  uint32_t Random();    // the same sequence for the same seed
  int Wander(int most); // -most..most

  uint32_t state_;
  long epoch_ = 0;
  double latitude_ = 59.4370;  // degrees north
  double longitude_ = 24.7536; // degrees east
  double course_ = 45.0;       // degrees true
  double knots_ = 11.5;
  double altitude_ = 32.0; // metres
};

// What a host makes of the sentences it has read.
struct Reading {
  long sentences = 0;
  long checksumFailures = 0;
  long fixes = 0;       // RMC and GGA sentences with a position
  std::string fixTime;  // hhmmss.ss from the latest RMC or GGA
  std::string position; // "59.43700 N 24.75360 E"
};

// Reads each whole line of text into reading; returns what is left over
// (an unfinished line, to be continued by the next block).
std::string ReadSentences(const std::string &text, Reading *reading);

} // namespace gpssim
