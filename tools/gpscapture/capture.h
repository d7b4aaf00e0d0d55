// SPDX-License-Identifier: MIT
// The capture itself: the library loaded as a host loads it, then block
// after block until the settings or a signal say stop.
#pragma once

#include <atomic>

#include "TolvaneGPS.h"
#include "options.h"

// The signal that asked the capture to stop, or 0.
extern std::atomic<int> stopSignal;

// The library's three calls, bound by name.
struct Library {
  GPSOpenProc open = nullptr;
  GPSWriteProc write = nullptr;
  GPSCloseProc close = nullptr;
};

// False, with the reason printed, when the library or a call is missing.
bool Load(const std::string &file, Library *library);
// GPSOpen(port), then GPSWrite for each block, then GPSClose; returns the
// exit status.
int Capture(const Library &library, const Settings &settings,
            const std::string &port);
