// SPDX-License-Identifier: MIT
// libFuzzer target: random bytes as blocks from a receiver, through the
// reading gpscapture makes of them. Nothing may throw or crash; a block cut
// anywhere reads as the whole did. An input whose first byte is odd is a list
// of sentence bodies that get valid checksums, so that the fields behind the
// checksum are reached too.
#include <cstdint>
#include <string>

#include "receiver/nmea.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  if (size > 0 && (data[0] & 1) != 0) {
    std::string bodies = text.substr(1);
    text.clear();
    for (size_t start = 0, end; start <= bodies.size(); start = end + 1) {
      end = bodies.find('\n', start);
      end = end == std::string::npos ? bodies.size() : end;
      text += gpssim::Sentence(bodies.substr(start, end - start));
    }
  }
  gpssim::Reading whole;
  std::string rest = gpssim::ReadSentences(text, &whole);
  Require(rest.find('\n') == std::string::npos);
  Require(whole.checksumFailures <= whole.sentences);
  Require(whole.fixTime.size() <= 16 && whole.position.size() < 256);

  gpssim::Reading split;
  size_t cut = size / 2;
  std::string left = gpssim::ReadSentences(text.substr(0, cut), &split);
  Require(gpssim::ReadSentences(left + text.substr(cut), &split) == rest);
  Require(split.sentences == whole.sentences &&
          split.checksumFailures == whole.checksumFailures &&
          split.fixTime == whole.fixTime && split.position == whole.position);
  return 0;
}
