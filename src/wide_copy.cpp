// SPDX-License-Identifier: MIT
#include "wide_copy.h"

bool CopyWideBounded(WCHAR *destination, size_t destinationUnits,
                     const WCHAR *source) {
  if (destination == nullptr || destinationUnits == 0) {
    return false;
  }
  if (source != nullptr) {
    for (size_t i = 0; i < destinationUnits; ++i) {
      destination[i] = source[i];
      if (source[i] == 0) {
        return true;
      }
    }
  }
  destination[0] = 0;
  return false;
}
