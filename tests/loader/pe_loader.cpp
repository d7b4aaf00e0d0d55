// SPDX-License-Identifier: MIT
// A Windows loader in miniature, for the DLLs of processors this machine
// only emulates: a Linux program of the DLL's processor, run under qemu-arm
// for the CE DLLs (PE32), qemu-aarch64 for the Windows on ARM64 DLL (PE32+)
// and qemu-i386 for the 32-bit x86 one (PE32). It maps the DLL away from its
// preferred base, applies its base relocations, binds its imports
// (COREDLL.dll by ordinal, KERNEL32.dll by name) to stand-ins that behave
// like the platform, calls DllMain, then runs the commands of dll_host.h,
// and one of its own:
//
//   f          prints "unwound N calls through F frames": see below
//
// Every call a CE DLL makes into COREDLL.dll first meets a virtual unwinder
// that works as CE's does, from the DLL's .pdata alone: from the return
// address in the DLL, frame by frame, it must arrive at exactly the sp and
// return address of the loader's own call into the DLL. The other DLLs make
// no COREDLL call, so none is unwound.
//
// "FAIL what" and exit status 1 report a fault.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <vector>

#include "../../src/constants.h"
#include "../../src/platform/ce/coredll_imports.h"
#include "kernel32_imports.h"
#include "platform.h"
#include "utf16.h"

// After platform.h: the stand-ins take its Win32 types.
#include "../dll_host.h"

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

#if defined(__i386__)
// The Windows API on x86 is stdcall, the callee popping the arguments; the
// POSIX layer's calls are cdecl. Each KERNEL32 import is bound to a stdcall
// wrapper of its stand-in.
template <auto function> struct Stdcall;
template <typename Result, typename... Arguments,
          Result (*function)(Arguments...)>
struct Stdcall<function> {
  static Result __attribute__((stdcall)) Call(Arguments... arguments) {
    return function(arguments...);
  }
};
#define WINDOWS_CALL(function) &Stdcall<function>::Call
#else
#define WINDOWS_CALL(function) function
#endif

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
    return reinterpret_cast<void *>(WINDOWS_CALL(standIn::function));          \
  }
    KERNEL32_IMPORTS(BIND)
#undef BIND
  }
  Fail("import of " + library + " " +
       (name != nullptr ? std::string(name) : "#" + std::to_string(ordinal)));
}

struct Loaded {
  uint8_t *base;
  uint32_t exportRva;
  uint16_t machine;
  uint32_t imageSize;
  uint32_t pdataRva, pdataSize;
};

// The DLL, which the unwinder walks, and the loader's frame at its call
// into it.
const Loaded *loaded = nullptr;
uintptr_t callSiteSp = 0;
bool inCall = false;
int unwoundCalls = 0, unwoundFrames = 0;

} // namespace

#if defined(__arm__)
// The loader's call into the DLL, which records its sp; its return address
// is CallIntoDllReturn. Each COREDLL import is bound to a trampoline that
// hands the sp and return address at its entry to UnwindThenStandIn, then
// goes on to the stand-in with every register and the stack as they came.
// Written in the loader's own mode, so that the DLL meets a Thumb caller
// and Thumb stand-ins in the Thumb build.
#if defined(__thumb__)
#define LOADER_MODE ".thumb\n"
#define ASM_FUNCTION(name)                                                     \
  ".global " #name "\n.type " #name ", %function\n.thumb_func\n" #name ":\n"
#else
#define LOADER_MODE ".arm\n"
#define ASM_FUNCTION(name)                                                     \
  ".global " #name "\n.type " #name ", %function\n" #name ":\n"
#endif
#define TRAMPOLINE(function, ordinal)                                          \
  ASM_FUNCTION(Trampoline##ordinal)                                            \
  "push {r0, r1, r2, r3, r4, lr}\n"                                            \
  "ldr r4, =" #ordinal "\n"                                                    \
  "b TrampolineBody\n"                                                         \
  ".ltorg\n"
// clang-format off
asm(".text\n.syntax unified\n" LOADER_MODE
    // int CallIntoDll(function, argument, uintptr_t *sp)
    ASM_FUNCTION(CallIntoDll)
    "push {r4, lr}\n"
    "mov r12, r0\n"
    "movs r0, r1\n"
    "mov r3, sp\n"
    "str r3, [r2]\n"
    "blx r12\n"
    ASM_FUNCTION(CallIntoDllReturn)
    "pop {r4, pc}\n"
    // The trampolines' common part: the sp at their entry, lr and the
    // ordinal to UnwindThenStandIn, then on to the stand-in it returns.
    ASM_FUNCTION(TrampolineBody)
    "add r0, sp, #24\n"
    "mov r1, lr\n"
    "movs r2, r4\n"
    "bl UnwindThenStandIn\n"
    "mov r12, r0\n"
    "ldr r0, [sp, #20]\n"
    "mov lr, r0\n"
    "pop {r0, r1, r2, r3, r4}\n"
    "add sp, sp, #4\n"
    "bx r12\n"
    COREDLL_IMPORTS(TRAMPOLINE));
// clang-format on
#undef TRAMPOLINE
extern "C" int CallIntoDll(void *function, const void *argument, uintptr_t *sp);
extern "C" void CallIntoDllReturn();
#define DECLARE(function, ordinal) extern "C" void Trampoline##ordinal();
COREDLL_IMPORTS(DECLARE)
#undef DECLARE
#elif defined(__i386__)
// On x86 the loader pushes the arguments of its calls into the DLL itself
// and sees what the callee popped: nothing for the cdecl exports, 12 bytes
// for the stdcall DllMain. A wrong convention on either side fails there,
// which a caller that restores its sp from its frame pointer would hide.
// clang-format off
asm(".text\n"
    // int CallPopping(function, const uint32_t *words, count, uint32_t *popped)
    ".global CallPopping\n.type CallPopping, @function\nCallPopping:\n"
    "push %ebp\n"
    "mov %esp, %ebp\n"
    "push %esi\n"
    "push %edi\n"
    "mov 12(%ebp), %esi\n"
    "mov 16(%ebp), %ecx\n"
    "1: jecxz 2f\n"
    "pushl -4(%esi, %ecx, 4)\n"
    "dec %ecx\n"
    "jmp 1b\n"
    "2: mov %esp, %edi\n"
    "call *8(%ebp)\n"
    "mov %esp, %ecx\n"
    "sub %edi, %ecx\n"
    "mov 20(%ebp), %edx\n"
    "mov %ecx, (%edx)\n"
    "lea -8(%ebp), %esp\n"
    "pop %edi\n"
    "pop %esi\n"
    "pop %ebp\n"
    "ret\n");
// clang-format on
extern "C" int CallPopping(void *function, const uint32_t *words,
                           uint32_t count, uint32_t *popped);
static int CallPopped(void *function, const uint32_t *words, uint32_t count,
                      uint32_t expected) {
  uint32_t popped = 0;
  int result = CallPopping(function, words, count, &popped);
  if (popped != expected) {
    Fail("a call into the DLL popped " + std::to_string(popped) +
         " bytes, not " + std::to_string(expected));
  }
  return result;
}
int CallIntoDll(void *function, const void *argument, uintptr_t *) {
  const uint32_t word = reinterpret_cast<uintptr_t>(argument);
  return CallPopped(function, &word, 1, 0);
}
void CallIntoDllReturn() {}
static BOOL CallDllMain(void *entry, HINSTANCE base) {
  const uint32_t words[] = {reinterpret_cast<uintptr_t>(base), 1, 0};
  return CallPopped(entry, words, 3, sizeof words);
}
#else
int CallIntoDll(void *function, const void *argument, uintptr_t *) {
  return reinterpret_cast<int (*)(const void *)>(function)(argument);
}
void CallIntoDllReturn() {}
#endif
#if !defined(__i386__)
static BOOL CallDllMain(void *entry, HINSTANCE base) {
  using Entry = BOOL (*)(HINSTANCE, DWORD, LPVOID);
  return reinterpret_cast<Entry>(entry)(base, 1 /* process attach */, nullptr);
}
#endif

namespace {

// What a frame's unwinding leaves: the caller's sp, and its pc (the saved
// lr, or lr itself where nothing saved it).
struct Frame {
  uintptr_t sp, pc, lr;
};

std::string Hex(uintptr_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
  return text;
}

// Pops the registers of mask (bit n is rn) from sp, in ascending order.
void Pop(Frame *frame, uint32_t mask) {
  for (int r = 0; r < 16; ++r) {
    if ((mask & (1u << r)) != 0) {
      uint32_t value = Read<uint32_t>(reinterpret_cast<uint8_t *>(frame->sp));
      frame->lr = r == 14 ? value : frame->lr;
      frame->sp += 4;
    }
  }
}

// CE's ARM entries (machines 0x1C0 and 0x1C2): the prolog's instructions,
// executed backwards.
void UnwindCeArm(const uint8_t *begin, uint32_t prologLength, Frame *frame) {
  for (uint32_t i = prologLength; i-- > 0;) {
    uint32_t word = Read<uint32_t>(begin + 4 * i);
    if ((word & 0xFFFF0000) == 0xE92D0000) { // stmdb sp!, {...}
      Pop(frame, word & 0xFFFF);
    } else if ((word & 0xFFFF0FFF) == 0xE52D0004) { // str rX, [sp, #-4]!
      Pop(frame, 1u << ((word >> 12) & 0xF));
    } else if ((word & 0xFFFFF000) == 0xE24DD000) { // sub sp, sp, #imm
      uint32_t rotate = ((word >> 8) & 0xF) * 2, value = word & 0xFF;
      frame->sp +=
          rotate == 0 ? value : value >> rotate | value << (32 - rotate);
    } else {
      Fail("a prolog instruction " + Hex(word) + " CE's unwinder cannot undo");
    }
  }
  frame->pc = frame->lr;
}

// ARMNT's packed entries (machine 0x1C4): the stack adjustment, the
// floating-point and integer registers, then the homed arguments.
void UnwindArmNtPacked(uint32_t word, Frame *frame) {
  uint32_t reg = (word >> 16) & 7, r = (word >> 19) & 1, l = (word >> 20) & 1;
  uint32_t c = (word >> 21) & 1, h = (word >> 15) & 1, adjust = word >> 22;
  frame->sp += 4 * (adjust >= 0x3F4 ? (adjust & 3) + 1 : adjust);
  if (r == 1 && reg != 7) {
    frame->sp += 8 * (reg + 1); // d8-dN
  }
  uint32_t saved = r == 0 ? ((2u << (reg + 4)) - 1) & ~0xFu : 0;
  Pop(frame, saved | c << 11 | l << 14);
  frame->sp += h * 16;
  frame->pc = frame->lr;
}

// ARMNT's .xdata codes (machine 0x1C4), from the first: each undoes one
// prolog instruction, the last one first, up to an end code.
void UnwindArmNtCodes(const uint8_t *codes, const uint8_t *end, Frame *frame) {
  for (const uint8_t *c = codes; c < end;) {
    const uint8_t b = *c++;
    const uint8_t next = c < end ? *c : 0;
    if (b < 0x80) { // add sp, sp, #X*4
      frame->sp += 4u * b;
    } else if (b < 0xC0) { // pop {r0-r12, lr}, 32-bit
      Pop(frame, ((b & 0x1Fu) << 8 | next) | ((b >> 5) & 1u) << 14);
      ++c;
    } else if (b >= 0xD0 && b < 0xE0) { // pop {r4-rN, lr}, 16 or 32-bit
      uint32_t last = (b & 3) + (b < 0xD8 ? 4 : 8);
      Pop(frame, (((2u << last) - 1) & ~0xFu) | ((b >> 2) & 1u) << 14);
    } else if (b >= 0xE8 && b < 0xEC) { // addw sp, sp, #X*4
      frame->sp += 4u * ((b & 3u) << 8 | next);
      ++c;
    } else if (b == 0xEC || b == 0xED) { // pop {r0-r7, lr}, 16-bit
      Pop(frame, next | (b & 1u) << 14);
      ++c;
    } else if (b == 0xFB || b == 0xFC) {              // nop
    } else if (b == 0xFD || b == 0xFE || b == 0xFF) { // end
      break;
    } else {
      Fail("an ARMNT unwind code " + Hex(b) + " this unwinder cannot undo");
    }
  }
  frame->pc = frame->lr;
}

// One frame: the entry whose function holds the pc, undone.
void UnwindFrame(const Loaded &dll, Frame *frame) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(dll.base);
  const uintptr_t pc = frame->pc & ~uintptr_t{1};
  const uint8_t *entries = dll.base + dll.pdataRva;
  for (uint32_t at = 0; at + 8 <= dll.pdataSize; at += 8) {
    uint32_t start = Read<uint32_t>(entries + at);
    uint32_t word = Read<uint32_t>(entries + at + 4);
    if (dll.machine == 0x1C4 && (word & 3) == 0) { // .xdata at the RVA
      uintptr_t begin = base + (start & ~1u);
      const uint8_t *xdata = dll.base + word;
      uint32_t header = Read<uint32_t>(xdata);
      uint32_t epilogs = (header >> 23) & 0x1F, words = header >> 28;
      if (words == 0) {
        Fail("an ARMNT .xdata record with an extended header");
      }
      const uint8_t *codes = xdata + 4 + ((header >> 21) & 1 ? 0 : 4 * epilogs);
      if (pc >= begin && pc < begin + (header & 0x3FFFF) * 2) {
        UnwindArmNtCodes(codes, codes + 4 * words, frame);
        return;
      }
    } else if (dll.machine == 0x1C4) {
      uintptr_t begin = base + (start & ~1u);
      if ((word & 3) != 1) {
        Fail("an ARMNT entry of flag " + std::to_string(word & 3));
      }
      if (pc >= begin && pc < begin + ((word >> 2) & 0x7FF) * 2) {
        UnwindArmNtPacked(word, frame);
        return;
      }
    } else {
      // BeginAddress is a virtual address, relocated with the image.
      uintptr_t begin = start;
      uint32_t prolog = word & 0xFF, length = ((word >> 8) & 0x3FFFFF) * 4;
      if (pc >= begin + 4 * prolog && pc < begin + length) {
        UnwindCeArm(reinterpret_cast<const uint8_t *>(begin), prolog, frame);
        return;
      }
    }
  }
  Fail("no unwind entry for pc " + Hex(pc) + " (RVA " + Hex(pc - base) +
       "): taken for a leaf, the walk would go back to lr");
}

// At each COREDLL call: from the return address into the DLL back to the
// loader's call site, never leaving the DLL on the way.
void CheckUnwinding(uintptr_t sp, uintptr_t returnAddress) {
  if (loaded == nullptr || loaded->pdataSize == 0 || !inCall) {
    Fail("a COREDLL call outside a call into the DLL, or no .pdata");
  }
  const uintptr_t base = reinterpret_cast<uintptr_t>(loaded->base);
  const uintptr_t expected = reinterpret_cast<uintptr_t>(&CallIntoDllReturn);
  Frame frame = {sp, returnAddress, returnAddress};
  for (int frames = 1;; ++frames) {
    Frame before = frame;
    UnwindFrame(*loaded, &frame);
    if (frame.pc == expected && frame.sp == callSiteSp) {
      ++unwoundCalls;
      unwoundFrames += frames;
      return;
    }
    if (frame.pc - base >= loaded->imageSize ||
        (frame.pc == before.pc && frame.sp == before.sp)) {
      Fail("unwound to pc " + Hex(frame.pc) + " sp " + Hex(frame.sp) +
           ", not the loader's " + Hex(expected) + " sp " + Hex(callSiteSp));
    }
  }
}

// A call into the DLL, its sp recorded for the unwinder.
int Call(DllCall function, const void *argument) {
  inCall = true;
  int result =
      CallIntoDll(reinterpret_cast<void *>(function), argument, &callSiteSp);
  inCall = false;
  return result;
}

} // namespace

extern "C" void *UnwindThenStandIn(uintptr_t sp, uintptr_t returnAddress,
                                   uint32_t ordinal) {
  CheckUnwinding(sp, returnAddress);
  return StandInFor("COREDLL.dll", ordinal, nullptr);
}

namespace {

// The trampoline of a COREDLL ordinal on 32-bit ARM, else the stand-in.
void *BoundFor(const std::string &library, uint32_t ordinal, const char *name) {
#if defined(__arm__)
  if (library == "COREDLL.dll" && name == nullptr) {
    switch (ordinal) {
#define BIND(function, number)                                                 \
  case number:                                                                 \
    return reinterpret_cast<void *>(&Trampoline##number);
      COREDLL_IMPORTS(BIND)
#undef BIND
    }
  }
#endif
  return StandInFor(library, ordinal, name);
}

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
  // PE32 for the CE and x86 images, PE32+ for ARM64: a wider image base and
  // import entries, and the data directories further on.
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
      void *bound = BoundFor(library, entry & 0xFFFF, name);
      std::memcpy(base + slots + i, &bound, sizeof bound);
    }
  }
  __builtin___clear_cache(reinterpret_cast<char *>(base),
                          reinterpret_cast<char *>(base + imageSize));

  if (CallDllMain(base + Read<uint32_t>(optional + 16), base) != TRUE) {
    Fail("DllMain");
  }
  return {base,
          Read<uint32_t>(directories),
          Read<uint16_t>(pe + 4),
          imageSize,
          Read<uint32_t>(directories + 3 * 8),
          Read<uint32_t>(directories + 3 * 8 + 4)};
}

// The same address by name and by ordinal, or null.
DllCall Bind(const char *name, int ordinal) {
  const Loaded &dll = *loaded;
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
      return byName == byOrdinal ? reinterpret_cast<DllCall>(byName) : nullptr;
    }
  }
  return nullptr;
}

// The loader's own command, f.
const char *Own(const char *command) {
  static char answer[64];
  if (std::strcmp(command, "f") != 0) {
    return nullptr;
  }
  std::snprintf(answer, sizeof answer, "unwound %d calls through %d frames",
                unwoundCalls, unwoundFrames);
  return answer;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    Fail("usage: pe_loader DLL PORT DIR");
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Loaded dll = Load(argv[1]);
  loaded = &dll;
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
  DllHost host = {Bind, Call, Own, port.c_str(), argv[3], '/'};
  return RunDllHost(&host);
}
