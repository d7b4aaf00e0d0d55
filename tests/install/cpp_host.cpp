// SPDX-License-Identifier: MIT
// A C++ host of the header, built with every warning an error, including
// -Wdeprecated-copy: copying the class must not warn.
#include "TolvaneGPS.h"

int main() {
  CTolvaneGPS first;
  CTolvaneGPS second(first);
  second = first;
  return fnTolvaneGPS() == 42 ? 0 : 1;
}
