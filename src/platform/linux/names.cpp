// SPDX-License-Identifier: MIT
#include "names.h"

#include <string.h>

bool Utf8FromUtf16(const WCHAR *name, char *out, size_t outSize) {
  if (name == nullptr || name[0] == 0) {
    return false;
  }
  size_t used = 0;
  for (; *name != 0; ++name) {
    unsigned long code = *name;
    if (code >= 0xDC00 && code <= 0xDFFF) {
      return false; // a low surrogate alone
    }
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (name[1] < 0xDC00 || name[1] > 0xDFFF) {
        return false;
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (*++name - 0xDC00u);
    }
    const unsigned tail = code < 0x80      ? 0
                          : code < 0x800   ? 1
                          : code < 0x10000 ? 2
                                           : 3;
    if (used + tail + 1 >= outSize) {
      return false; // no room for the bytes and the terminator
    }
    const unsigned char lead[] = {0, 0xC0, 0xE0, 0xF0};
    out[used++] = static_cast<char>(lead[tail] | (code >> (6 * tail)));
    for (unsigned i = tail; i-- > 0;) {
      out[used++] = static_cast<char>(0x80 | ((code >> (6 * i)) & 0x3F));
    }
  }
  out[used] = 0;
  return true;
}

unsigned ComPortNumber(const WCHAR *name, bool *comForm) {
  bool form = false;
  unsigned number = 0;
  if (name != nullptr) {
    if (name[0] == u'\\' && name[1] == u'\\' && name[2] == u'.' &&
        name[3] == u'\\') {
      name += 4;
    }
    // Any case: "com1" is COM1 to Windows.
    if ((name[0] | 0x20) == u'c' && (name[1] | 0x20) == u'o' &&
        (name[2] | 0x20) == u'm') {
      size_t i = 3;
      for (; name[i] >= u'0' && name[i] <= u'9'; ++i) {
        number = number > 256 ? number : number * 10 + (name[i] - u'0');
      }
      // "COM" alone, or more after the number: an ordinary name.
      form = i > 3 && name[name[i] == u':' ? i + 1 : i] == 0;
    }
  }
  if (comForm != nullptr) {
    *comForm = form;
  }
  // No leading zero, and only the ports Windows numbers.
  return form && name[3] != u'0' && number >= 1 && number <= 256 ? number : 0;
}

bool PosixPathFromName(const WCHAR *name, char *out, size_t outSize) {
  bool comForm;
  const unsigned port = ComPortNumber(name, &comForm);
  if (!comForm) {
    return Utf8FromUtf16(name, out, outSize);
  }
  // A COM name out of range is no file in the working folder.
  if (port == 0 || outSize < sizeof "/dev/ttyS255") {
    return false;
  }
  // "/dev/ttyS" and port - 1, written from its last digit.
  const unsigned n = port - 1;
  char *end = out + 10 + (n >= 10) + (n >= 100);
  memcpy(out, "/dev/ttyS", sizeof "/dev/ttyS"); // its 0 under the digits
  *end = 0;
  for (unsigned rest = n; end-- > out + 9; rest /= 10) {
    *end = static_cast<char>('0' + rest % 10);
  }
  return true;
}
