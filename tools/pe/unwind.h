// SPDX-License-Identifier: MIT
// The unwind data of a CE image's .pdata: each function's prolog, read from
// its code, and the entries the machine's unwinder takes. A prolog this
// cannot describe is refused, so that a compiler change never gives wrong
// unwind data in silence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

// How a machine's .pdata describes a function: CE's own ARM entries
// (machines 0x1C0 and 0x1C2) or Windows' ARMNT entries (0x1C4).
enum class UnwindFormat { kCeArm, kArmNt };
UnwindFormat UnwindFormatOf(uint16_t machine);

constexpr uint16_t kLr = 1u << 14; // in a register mask, bit n is rn

// What a prolog does, in its order: push these registers, then lower sp by
// stackBytes.
struct Prolog {
  unsigned instructions = 0; // how many
  unsigned bytes = 0;        // and their length
  uint16_t pushed = 0;       // register mask, kLr for lr
  uint32_t stackBytes = 0;
  bool epilogPopsAll = false; // an epilog pops every pushed register
};

struct Function {
  uint32_t rva = 0; // without the Thumb bit
  uint32_t size = 0;
  bool thumb = false;
  Prolog prolog;
};

// The prolog of the function whose code (data ranges blanked out by the
// caller) is given; false and the reason when it is not one an unwinder
// reads, or sp moves after it.
bool ReadProlog(const std::vector<uint8_t> &code,
                const std::vector<bool> &isData, bool thumb, Prolog *prolog,
                std::string *why);

// The .pdata section: one entry per function, sorted, then the .xdata
// records of ARMNT functions whose prolog packed data cannot carry.
struct UnwindTable {
  std::vector<uint8_t> bytes;
  uint32_t entriesSize = 0;          // the exception directory's size
  std::vector<uint32_t> relocations; // offsets of virtual addresses
};

// The table of the functions, laid out at rva; false and the reason for a
// function the format cannot carry.
bool UnwindEntries(UnwindFormat format, std::vector<Function> functions,
                   uint32_t imageBase, uint32_t rva, UnwindTable *table,
                   std::string *why);

} // namespace pe
