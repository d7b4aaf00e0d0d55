// SPDX-License-Identifier: MIT
// gcc may zero a local record (the settings record, for one) with a call to
// memset, even in a freestanding build, and the device gives the DLL no C
// runtime to find one in. This is the only such helper the core needs.
#include <stddef.h>

extern "C" void *memset(void *destination, int value, size_t count) {
  unsigned char *bytes = static_cast<unsigned char *>(destination);
  for (size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<unsigned char>(value);
  }
  return destination;
}
