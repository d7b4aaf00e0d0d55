// SPDX-License-Identifier: MIT
// The class, function and variable that carry the module's name.
#include "TolvaneGPS.h"

CTolvaneGPS::CTolvaneGPS() {}

// Defaulted out of line so that the compiler's copy assignment is emitted
// here and can be exported.
CTolvaneGPS &CTolvaneGPS::operator=(const CTolvaneGPS &) = default;

int fnTolvaneGPS(void) { return 42; }

int nTolvaneGPS;
