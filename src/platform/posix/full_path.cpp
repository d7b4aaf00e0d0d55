// SPDX-License-Identifier: MIT
// GetFullPathNameW: a relative name made absolute against the working
// directory, in UTF-16.
#include <unistd.h>

#include "names.h"
#include "platform.h"

namespace {

// Appends UTF-8 text to out as UTF-16 at *used; false on a malformed
// sequence or when out has no room left for the terminator.
bool AppendUtf16(WCHAR *out, DWORD units, DWORD *used, const char *text) {
  for (const unsigned char *at = reinterpret_cast<const unsigned char *>(text);
       *at != 0;) {
    unsigned long code = *at;
    int more = code < 0x80 ? 0 : code >= 0xF0 ? 3 : code >= 0xE0 ? 2 : 1;
    code &= more == 0 ? 0x7F : 0x3F >> more;
    for (++at; more > 0; --more, ++at) {
      if ((*at & 0xC0) != 0x80) {
        return false;
      }
      code = (code << 6) | (*at & 0x3F);
    }
    WCHAR pair[2] = {static_cast<WCHAR>(code), 0};
    DWORD count = 1;
    if (code >= 0x10000) {
      pair[0] = static_cast<WCHAR>(0xD800 + ((code - 0x10000) >> 10));
      pair[1] = static_cast<WCHAR>(0xDC00 + ((code - 0x10000) & 0x3FF));
      count = 2;
    }
    for (DWORD i = 0; i < count; ++i) {
      if (*used + 1 >= units) {
        return false;
      }
      out[(*used)++] = pair[i];
    }
  }
  return true;
}

bool AppendWide(WCHAR *out, DWORD units, DWORD *used, const WCHAR *name) {
  for (; *name != 0; ++name) {
    if (*used + 1 >= units) {
      return false;
    }
    out[(*used)++] = *name;
  }
  return true;
}

} // namespace

DWORD GetFullPathNameW(const WCHAR *name, DWORD units, WCHAR *out,
                       WCHAR **filePart) {
  if (filePart != nullptr) {
    *filePart = nullptr;
  }
  bool comForm;
  ComPortNumber(name, &comForm);
  if (name == nullptr || name[0] == 0 || out == nullptr) {
    SetLastError(ERROR_INVALID_NAME);
    return 0;
  }
  DWORD used = 0;
  char here[kPathBytes];
  bool fits = true;
  if (!comForm && name[0] != u'/') {
    if (getcwd(here, sizeof here) == nullptr) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    fits = AppendUtf16(out, units, &used, here) &&
           (used > 0 && out[used - 1] == u'/'
                ? true
                : AppendWide(out, units, &used, u"/"));
  }
  fits = fits && AppendWide(out, units, &used, name);
  if (!fits) {
    return units + kPathBytes; // more than out holds: Win32 asks for a retry
  }
  out[used] = 0;
  return used;
}
