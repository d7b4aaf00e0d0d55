// SPDX-License-Identifier: MIT
// A Windows loader in miniature, for the ARM DLLs on an emulated CPU: an ARM
// Linux program run under qemu-arm for the CE DLLs (PE32), an ARM64 one run
// under qemu-aarch64 for the Windows on ARM64 DLL (PE32+). It maps the DLL
// away from its preferred base, applies its base relocations, binds its
// imports (COREDLL.dll by ordinal, KERNEL32.dll by name) to stand-ins that
// behave like the platform, calls DllMain and checks the seven exports,
// then runs the test's commands:
//
//   o          GPSOpen(PORT); prints "opened" and the settings record
//              handed to SetCommState
//   w NAME     GPSWrite(DIR/NAME); prints "wrote NAME"
//   c          GPSClose; prints "closed"
//   u, p       unplugs the port (a card pulled, a suspend) and plugs it
//              back; prints "unplugged" or "plugged"
//   e          the next read of the port meets a line error
//   n          reads of the port come back empty at once until the next p
//   s          prints "opens N settings N closes N": the port opens tried,
//              settings applied and port handles closed since the last s
//
// "FAIL what" and exit status 1 report a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <vector>

#include "../../src/platform/ce/coredll_imports.h"
#include "../../src/constants.h"
#include "platform.h"
#include "utf16.h"

namespace {

[[noreturn]] void Fail(const std::string &what) {
  std::printf("FAIL %s\n", what.c_str());
  std::exit(1);
}

template <typename T> T Read(const uint8_t *at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The platform's faults (see unpluggable_port.h): a dead handle's reads
// fail with ERROR_GEN_FAILURE, as on CE after a card removal or a resume,
// and a closed port stays held for 2 s, as on CE.
#include "../unpluggable_port.h"

const DWORD kDeadReadErrors[] = {31};

// A CE driver keeps read time-outs of its own, which GPSOpen leaves alone;
// a port opened here gets the ones the desktop library sets, as a driver's
// defaults.
HANDLE WINAPI DriverOpen(const WCHAR *name, DWORD access, DWORD share,
                         SECURITY_ATTRIBUTES *security, DWORD disposition,
                         DWORD flags, HANDLE model) {
  HANDLE handle =
      CreateFileW(name, access, share, security, disposition, flags, model);
  if (handle != INVALID_HANDLE_VALUE && disposition == OPEN_EXISTING) {
    COMMTIMEOUTS defaults = {kReadIntervalMs, 0, kReadTotalMs, 0, 0};
    SetCommTimeouts(handle, &defaults);
  }
  return handle;
}

namespace standIn {

#define STAND_IN(name) constexpr auto name = &StandIn##name;
STAND_IN(CreateFileW)
STAND_IN(SetCommState)
STAND_IN(CloseHandle)
STAND_IN(ReadFile)
STAND_IN(ClearCommError)
#undef STAND_IN
using ::GetCommState;
using ::GetLastError;
using ::GetTickCount;
using ::SetCommTimeouts;
using ::Sleep;
using ::WriteFile;

} // namespace standIn

// COREDLL.dll's ordinals and KERNEL32.dll's names, each bound to its
// stand-in.
void *StandInFor(const std::string &library, uint32_t ordinal,
                 const char *name) {
  if (library == "COREDLL.dll" && name == nullptr) {
    switch (ordinal) {
#define BIND(function, number)                                                 \
  case number:                                                                 \
    return reinterpret_cast<void *>(standIn::function);
      COREDLL_IMPORTS(BIND)
#undef BIND
    }
  }
  if (library == "KERNEL32.dll" && name != nullptr) {
#define BIND(function)                                                         \
  if (std::strcmp(name, #function) == 0) {                                     \
    return reinterpret_cast<void *>(standIn::function);                        \
  }
    BIND(CreateFileW)
    BIND(ReadFile)
    BIND(WriteFile)
    BIND(CloseHandle) BIND(GetCommState) BIND(SetCommState)
        BIND(SetCommTimeouts) BIND(ClearCommError) BIND(Sleep)
            BIND(GetTickCount) BIND(GetLastError)
#undef BIND
  }
  Fail("import of " + library + " " +
       (name != nullptr ? std::string(name) : "#" + std::to_string(ordinal)));
}

struct Loaded {
  uint8_t *base;
  uint32_t exportRva;
  bool arm64;
};

Loaded Load(const std::string &path) {
  FILE *in = std::fopen(path.c_str(), "rb");
  if (in == nullptr) {
    Fail("cannot read " + path);
  }
  std::vector<uint8_t> file;
  for (int c; (c = std::fgetc(in)) != EOF;) {
    file.push_back(static_cast<uint8_t>(c));
  }
  std::fclose(in);
  const uint8_t *pe = file.data() + Read<uint32_t>(file.data() + 0x3C);
  const uint8_t *optional = pe + 24;
  // PE32 for the CE images, PE32+ for ARM64: a wider image base and import
  // entries, and the data directories further on.
  const uint16_t magic = Read<uint16_t>(optional);
  const bool wide = magic == 0x20B;
  if (Read<uint32_t>(pe) != 0x4550 || (magic != 0x10B && !wide) ||
      wide != (sizeof(void *) == 8)) {
    Fail("not a PE image for this processor");
  }
  const uintptr_t preferred =
      wide ? Read<uint64_t>(optional + 24) : Read<uint32_t>(optional + 28);
  const uint32_t imageSize = Read<uint32_t>(optional + 56);

  // Keep the preferred base busy, so the image must be relocated.
  void *busy = mmap(reinterpret_cast<void *>(preferred), imageSize, PROT_NONE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  auto *base = static_cast<uint8_t *>(mmap(nullptr, imageSize,
                                           PROT_READ | PROT_WRITE | PROT_EXEC,
                                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  if (busy == MAP_FAILED || base == MAP_FAILED ||
      reinterpret_cast<uintptr_t>(base) == preferred) {
    Fail("mapping away from the preferred base");
  }
  std::memcpy(base, file.data(), Read<uint32_t>(optional + 60));
  const uint16_t sections = Read<uint16_t>(pe + 6);
  const uint8_t *table = optional + Read<uint16_t>(pe + 20);
  for (unsigned i = 0; i < sections; ++i) {
    const uint8_t *section = table + 40 * i;
    uint32_t rva = Read<uint32_t>(section + 12);
    uint32_t rawSize = Read<uint32_t>(section + 16);
    uint32_t rawAt = Read<uint32_t>(section + 20);
    uint32_t virtualSize = Read<uint32_t>(section + 8);
    std::memcpy(base + rva, file.data() + rawAt,
                rawSize < virtualSize ? rawSize : virtualSize);
  }

  const uint8_t *directories = optional + (wide ? 112 : 96);
  const uintptr_t delta = reinterpret_cast<uintptr_t>(base) - preferred;
  uint32_t relocAt = Read<uint32_t>(directories + 5 * 8);
  const uint32_t relocEnd = relocAt + Read<uint32_t>(directories + 5 * 8 + 4);
  int relocated = 0;
  while (relocAt < relocEnd) {
    uint32_t page = Read<uint32_t>(base + relocAt);
    uint32_t blockSize = Read<uint32_t>(base + relocAt + 4);
    for (uint32_t at = 8; at < blockSize; at += 2) {
      uint16_t entry = Read<uint16_t>(base + relocAt + at);
      uint8_t *word = base + page + (entry & 0xFFF);
      if (entry >> 12 == 3 && !wide) { // HIGHLOW
        uint32_t value = Read<uint32_t>(word) + static_cast<uint32_t>(delta);
        std::memcpy(word, &value, 4);
        ++relocated;
      } else if (entry >> 12 == 10 && wide) { // DIR64
        uint64_t value = Read<uint64_t>(word) + delta;
        std::memcpy(word, &value, 8);
        ++relocated;
      } else if (entry >> 12 != 0) { // 0 pads a block
        Fail("base relocation type " + std::to_string(entry >> 12));
      }
    }
    relocAt += blockSize;
  }
  if (relocated == 0) {
    Fail("no base relocations");
  }

  const uint32_t entrySize = wide ? 8 : 4;
  const uint64_t byOrdinal = wide ? uint64_t{1} << 63 : uint64_t{1} << 31;
  for (uint32_t at = Read<uint32_t>(directories + 8);
       Read<uint32_t>(base + at + 12) != 0; at += 20) {
    const std::string library =
        reinterpret_cast<const char *>(base + Read<uint32_t>(base + at + 12));
    uint32_t lookup = Read<uint32_t>(base + at);
    uint32_t slots = Read<uint32_t>(base + at + 16);
    for (uint32_t i = 0;; i += entrySize) {
      uint64_t entry = wide ? Read<uint64_t>(base + lookup + i)
                            : Read<uint32_t>(base + lookup + i);
      if (entry == 0) {
        break;
      }
      // By name: the entry is the RVA of a 2-byte hint and the name.
      const char *name = (entry & byOrdinal) != 0
                             ? nullptr
                             : reinterpret_cast<const char *>(
                                   base + static_cast<uint32_t>(entry) + 2);
      void *bound = StandInFor(library, entry & 0xFFFF, name);
      std::memcpy(base + slots + i, &bound, sizeof bound);
    }
  }
  __builtin___clear_cache(reinterpret_cast<char *>(base),
                          reinterpret_cast<char *>(base + imageSize));

  using Entry = BOOL (*)(HINSTANCE, DWORD, LPVOID);
  auto dllMain = reinterpret_cast<Entry>(base + Read<uint32_t>(optional + 16));
  if (dllMain(base, 1 /* process attach */, nullptr) != TRUE) {
    Fail("DllMain");
  }
  return {base, Read<uint32_t>(directories), wide};
}

// The same address by name and by ordinal, or a failure.
void *Bind(const Loaded &dll, const char *name, uint32_t ordinal) {
  const uint8_t *exports = dll.base + dll.exportRva;
  uint32_t ordinalBase = Read<uint32_t>(exports + 16);
  uint32_t functions = Read<uint32_t>(exports + 28);
  uint32_t names = Read<uint32_t>(exports + 32);
  uint32_t nameOrdinals = Read<uint32_t>(exports + 36);
  void *byOrdinal = dll.base + Read<uint32_t>(dll.base + functions +
                                              4 * (ordinal - ordinalBase));
  for (uint32_t i = 0; i < Read<uint32_t>(exports + 24); ++i) {
    const char *exported = reinterpret_cast<const char *>(
        dll.base + Read<uint32_t>(dll.base + names + 4 * i));
    if (std::strcmp(exported, name) == 0) {
      uint16_t index = Read<uint16_t>(dll.base + nameOrdinals + 2 * i);
      void *byName =
          dll.base + Read<uint32_t>(dll.base + functions + 4 * index);
      if (byName == byOrdinal) {
        return byName;
      }
    }
  }
  Fail(std::string("binding ") + name + " by name and by ordinal");
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    Fail("usage: arm_loader DLL PORT DIR");
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Loaded dll = Load(argv[1]);
  using NameCall = int (*)(const char16_t *);
  using PlainCall = int (*)();
  auto gpsOpen = reinterpret_cast<NameCall>(Bind(dll, "GPSOpen", 1));
  auto gpsWrite = reinterpret_cast<NameCall>(Bind(dll, "GPSWrite", 2));
  auto gpsClose = reinterpret_cast<PlainCall>(Bind(dll, "GPSClose", 3));
  // MSVC's ARM callers take the object's address back from a constructor.
  // A member takes this in r0 (x0), like a plain first argument.
  auto construct = reinterpret_cast<void *(*)(void *)>(Bind(
      dll, dll.arm64 ? "??0CTolvaneGPS@@QEAA@XZ" : "??0CTolvaneGPS@@QAA@XZ",
      4));
  auto assign = reinterpret_cast<void *(*)(void *, const void *)>(
      Bind(dll,
           dll.arm64 ? "??4CTolvaneGPS@@QEAAAEAV0@AEBV0@@Z"
                     : "??4CTolvaneGPS@@QAAAAV0@ABV0@@Z",
           5));
  auto fn = reinterpret_cast<PlainCall>(Bind(dll, "?fnTolvaneGPS@@YAHXZ", 6));
  auto *n = static_cast<int *>(Bind(dll, "?nTolvaneGPS@@3HA", 7));
  char objects[2];
  if (construct(&objects[0]) != &objects[0] ||
      construct(&objects[1]) != &objects[1] ||
      assign(&objects[0], &objects[1]) != &objects[0] || fn() != 42 ||
      *n != 0) {
    Fail("the named items");
  }
  *n = 1234;

  const std::u16string port = Utf16(argv[2]);
  standInPort = port.c_str();
  heldAfterCloseMs = 2000;
  deadReadErrors = kDeadReadErrors;
  deadReadErrorCount = 1;
  RealCreateFileW = &DriverOpen;
  RealReadFile = &::ReadFile;
  RealClearCommError = &::ClearCommError;
  RealSetCommState = &::SetCommState;
  RealCloseHandle = &::CloseHandle;
  for (char line[256]; std::fgets(line, sizeof line, stdin) != nullptr;) {
    std::string command(line, std::strcspn(line, "\n"));
    if (command == "o") {
      if (gpsOpen(port.c_str()) != 999) {
        Fail("GPSOpen");
      }
      const auto *record = reinterpret_cast<const uint8_t *>(&lastSettings);
      std::printf("opened");
      for (size_t i = 0; i < sizeof lastSettings; ++i) {
        std::printf(" %02x", record[i]);
      }
      std::printf("\n");
    } else if (command.rfind("w ", 0) == 0) {
      std::string name = command.substr(2);
      if (gpsWrite(Utf16(std::string(argv[3]) + "/" + name).c_str()) != 999) {
        Fail("GPSWrite");
      }
      std::printf("wrote %s\n", name.c_str());
    } else if (command == "c") {
      if (gpsClose() != 999 || *n != 1234) {
        Fail("GPSClose");
      }
      std::printf("closed\n");
    } else if (const char *answer = StandInCommand(command.c_str())) {
      std::printf("%s\n", answer);
    }
  }
  return 0;
}
