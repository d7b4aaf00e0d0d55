/* SPDX-License-Identifier: MIT */
/* A tiny C host built against the installed package. */
#include <stdio.h>
#include <uchar.h>

#include <TolvaneGPS.h>

int main(int argc, char **argv) {
  char16_t path[256];
  size_t i = 0;
  for (; argc > 1 && argv[1][i] != 0 && i < 255; ++i) {
    path[i] = (char16_t)argv[1][i];
  }
  path[i] = 0;
  /* No port yet: an empty capture file, and 999 all the same. */
  if (GPSWrite(path) != GPS_COMPLETION_CODE || GPSClose() != 999) {
    return 1;
  }
  puts("consumer ok");
  return 0;
}
