// SPDX-License-Identifier: MIT
// gpscapture's command line: what it asks for, and its exit statuses.
#pragma once

#include <string>

enum ExitStatus {
  kDone = 0,
  kNoData = 1,
  kUsageError = 2,
  kBadOutput = 3,
  kBadPort = 4,
  kNoLibrary = 5,
};

struct Settings {
  std::string port;
  bool simulated = true;
  std::string out = "capture.nmea";
  std::string keepDir;
  long blocks = -1;
  double seconds = -1;
  unsigned baud = 4800;
  bool quiet = false;
  bool force = false; // --keep replaces the block files already there
  std::string library = "libTolvaneGPS.so.1";
};

extern const char kUsage[];

// Where block number block (from 1) goes: the --out file, or its own file in
// the --keep folder.
std::string CapturePath(const Settings &settings, long block);

// Fills settings from the command line; prints the problem and returns false
// on a usage error. --help and --version exit here.
bool ParseArguments(int argc, char **argv, Settings *settings);
