// SPDX-License-Identifier: MIT
// libFuzzer target: random UTF-16 as port names and capture paths, through the
// name handling and through the three calls. The calls run against the
// recording platform, so nothing real is ever opened or created.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "TolvaneGPS.h"
#include "module_state.h"
#include "names.h"
#include "recording_platform.h"
#include "utf16.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

bool HasLoneSurrogate(const std::u16string &text) {
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 1 == text.size() || text[i + 1] < 0xDC00 ||
          text[i + 1] > 0xDFFF) {
        return true;
      }
      ++i;
    } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

void CheckNameHandling(const std::u16string &name) {
  static char path[kPathBytes];
  bool converted = Utf8FromUtf16(name.c_str(), path, sizeof path);
  if (converted) {
    Require(Utf16(path) == name); // back again
  } else {
    Require(name.empty() || HasLoneSurrogate(name) ||
            name.size() * 3 >= kPathBytes - 1 || name.size() >= kPathBytes);
  }
  char small[8];
  if (Utf8FromUtf16(name.c_str(), small, sizeof small)) {
    Require(std::strlen(small) < sizeof small);
  }
  unsigned port = ComPortNumber(name.c_str());
  Require(port <= 256);
  if (port != 0) {
    Require(PosixPathFromName(name.c_str(), path, sizeof path) &&
            std::string(path) == "/dev/ttyS" + std::to_string(port - 1));
  }
}

HANDLE const kPort = reinterpret_cast<HANDLE>(0x1001);
HANDLE const kFile = reinterpret_cast<HANDLE>(0x2001);

void CheckCalls(const std::u16string &name, const std::u16string &path,
                DWORD readCount) {
  ResetPlatformAndCore();
  platformScript.openResults = {kPort, kFile, kFile};
  platformScript.readCount = readCount;

  // A name that cannot fit is handed over unterminated, in a buffer of
  // exactly its length: the copy must stop at the port-name buffer's end.
  if (name.size() >= kPortNameUnits) {
    std::unique_ptr<char16_t[]> raw(new char16_t[name.size()]);
    std::memcpy(raw.get(), name.data(), name.size() * sizeof(char16_t));
    Require(GPSOpen(raw.get()) == 999);
    Require(platformCalls.empty() && portSlot == INVALID_HANDLE_VALUE);
  } else {
    Require(GPSOpen(name.c_str()) == 999);
    Require(platformCalls.at(0).text == name && portSlot == kPort);
  }
  Require(GPSWrite(path.c_str()) == 999);
  Require(GPSWrite(nullptr) == 999);
  Require(GPSClose() == 999 && GPSClose() == 999);
  for (const PlatformCall &call : platformCalls) {
    Require(call.name != "WriteFile" || call.count <= kTransferBufferBytes);
    Require(call.name != "CloseHandle" ||
            (call.handle != nullptr && call.handle != INVALID_HANDLE_VALUE));
  }
}

} // namespace

// Byte 0 splits the units between name and path; bytes 1-2 are the count the
// read reports; the rest are UTF-16 units.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) {
    return 0;
  }
  std::u16string units((size - 3) / 2, u'\0');
  std::memcpy(&units[0], data + 3, units.size() * sizeof(char16_t));
  for (char16_t &unit : units) {
    unit = unit == 0 ? u'0' : unit; // terminators are the host's to place
  }
  size_t split = std::min<size_t>(data[0] * 2u, units.size());
  std::u16string name = units.substr(0, split), path = units.substr(split);
  CheckNameHandling(name);
  CheckNameHandling(path);
  CheckCalls(name, path, static_cast<DWORD>(data[1] | data[2] << 8) * 2);
  return 0;
}
