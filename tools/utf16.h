// SPDX-License-Identifier: MIT
// UTF-8 (command lines, POSIX paths) to the UTF-16 the library takes.
#pragma once

#include <string>

// Strict: an overlong form, an encoded surrogate, a value above U+10FFFF, a
// stray or missing continuation byte makes the whole text invalid, and the
// result empty, a name that opens nothing.
inline std::u16string Utf16(const std::string &text) {
  std::u16string wide;
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    int extra = lead < 0x80 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
    if ((lead >= 0x80 && lead < 0xC2) || lead > 0xF4 ||
        static_cast<size_t>(extra) >= text.size() - i) {
      return u"";
    }
    char32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) {
        return u"";
      }
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr char32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF ||
        (code >= 0xD800 && code <= 0xDFFF)) {
      return u"";
    }
    i += static_cast<size_t>(extra) + 1;
    if (code >= 0x10000) {
      wide += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
      wide += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      wide += static_cast<char16_t>(code);
    }
  }
  return wide;
}
