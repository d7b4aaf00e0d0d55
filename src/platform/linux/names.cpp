// SPDX-License-Identifier: MIT
#include "names.h"

namespace {

bool IsHighSurrogate(unsigned unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

unsigned Upper(WCHAR unit) {
  return (unit >= u'a' && unit <= u'z') ? unit - (u'a' - u'A') : unit;
}

// Appends text to out at *used, keeping room for a terminator.
bool Append(char *out, size_t outSize, size_t *used, const char *text,
            size_t length) {
  if (length >= outSize - *used) {
    return false;
  }
  for (size_t i = 0; i < length; ++i) {
    out[(*used)++] = text[i];
  }
  return true;
}

} // namespace

bool Utf8FromUtf16(const WCHAR *name, char *out, size_t outSize) {
  if (name == nullptr || out == nullptr || outSize == 0 || name[0] == 0) {
    return false;
  }
  size_t used = 0;
  for (size_t i = 0; name[i] != 0; ++i) {
    unsigned long code = name[i];
    if (IsLowSurrogate(code)) {
      return false;
    }
    if (IsHighSurrogate(code)) {
      if (!IsLowSurrogate(name[i + 1])) {
        return false;
      }
      code = 0x10000 + ((code - 0xD800) << 10) + (name[++i] - 0xDC00u);
    }
    char bytes[4];
    size_t length;
    if (code < 0x80) {
      bytes[0] = static_cast<char>(code);
      length = 1;
    } else if (code < 0x800) {
      bytes[0] = static_cast<char>(0xC0 | (code >> 6));
      bytes[1] = static_cast<char>(0x80 | (code & 0x3F));
      length = 2;
    } else if (code < 0x10000) {
      bytes[0] = static_cast<char>(0xE0 | (code >> 12));
      bytes[1] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | (code & 0x3F));
      length = 3;
    } else {
      bytes[0] = static_cast<char>(0xF0 | (code >> 18));
      bytes[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes[3] = static_cast<char>(0x80 | (code & 0x3F));
      length = 4;
    }
    if (!Append(out, outSize, &used, bytes, length)) {
      return false;
    }
  }
  out[used] = 0;
  return true;
}

unsigned ComPortNumber(const WCHAR *name, bool *comForm) {
  if (comForm != nullptr) {
    *comForm = false;
  }
  if (name == nullptr) {
    return 0;
  }
  if (name[0] == u'\\' && name[1] == u'\\' && name[2] == u'.' &&
      name[3] == u'\\') {
    name += 4;
  }
  if (Upper(name[0]) != u'C' || Upper(name[1]) != u'O' ||
      Upper(name[2]) != u'M') {
    return 0;
  }
  const WCHAR *digits = name + 3;
  unsigned number = 0;
  size_t i = 0;
  for (; digits[i] >= u'0' && digits[i] <= u'9'; ++i) {
    if (number <= 256) {
      number = number * 10 + (digits[i] - u'0');
    }
  }
  size_t end = digits[i] == u':' ? i + 1 : i;
  if (i == 0 || digits[end] != 0) {
    return 0; // "COM" alone, or more after the number: an ordinary name
  }
  if (comForm != nullptr) {
    *comForm = true;
  }
  // No leading zero, and only the ports Windows numbers.
  return (digits[0] != u'0' && number >= 1 && number <= 256) ? number : 0;
}

bool PosixPathFromName(const WCHAR *name, char *out, size_t outSize) {
  bool comForm;
  unsigned port = ComPortNumber(name, &comForm);
  if (!comForm) {
    return Utf8FromUtf16(name, out, outSize);
  }
  if (port == 0) {
    return false; // a COM name out of range is no file in the working folder
  }
  // "/dev/ttyS" and up to three digits of port - 1.
  char digits[3];
  size_t count = 0;
  for (unsigned n = port - 1; count == 0 || n != 0; n /= 10) {
    digits[count++] = static_cast<char>('0' + n % 10);
  }
  size_t used = 0;
  if (!Append(out, outSize, &used, "/dev/ttyS", 9)) {
    return false;
  }
  while (count > 0) {
    if (!Append(out, outSize, &used, &digits[--count], 1)) {
      return false;
    }
  }
  out[used] = 0;
  return true;
}
