// SPDX-License-Identifier: MIT
#include "unwind.h"

#include <algorithm>
#include <cstdio>

namespace pe {

namespace {

constexpr uint16_t kPc = 1u << 15;
constexpr uint16_t kSp = 1u << 13;
constexpr uint16_t kArgumentRegisters = 0x000F; // r0-r3

uint32_t Word(const std::vector<uint8_t> &code, size_t at) {
  return code[at] | code[at + 1] << 8 | code[at + 2] << 16 |
         static_cast<uint32_t>(code[at + 3]) << 24;
}

uint16_t Half(const std::vector<uint8_t> &code, size_t at) {
  return static_cast<uint16_t>(code[at] | code[at + 1] << 8);
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", value);
  return text;
}

// One decoded instruction, as far as the stack is concerned.
struct Step {
  unsigned length = 4;
  uint16_t pushes = 0;       // registers stored below sp, sp lowered
  uint32_t lowersSp = 0;     // sp lowered by an immediate
  uint16_t pops = 0;         // registers loaded from sp, sp raised
  bool otherSpWrite = false; // any other lowering of sp
};

// ARM state: push (stmdb sp! or str rX, [sp, #-4]!), sub sp, sp, #imm and
// pop (ldmia sp!); cond AL only in a prolog, any condition in the body.
Step DecodeArm(uint32_t word) {
  Step step;
  uint32_t op = word & 0x0FFFFFFF;
  if ((op & 0x0FFF0000) == 0x092D0000) {
    step.pushes = static_cast<uint16_t>(word);
  } else if ((op & 0x0FFF0FFF) == 0x052D0004) {
    step.pushes = static_cast<uint16_t>(1u << ((word >> 12) & 0xF));
  } else if ((op & 0x0FFFF000) == 0x024DD000) {
    uint32_t rotate = ((word >> 8) & 0xF) * 2, value = word & 0xFF;
    step.lowersSp =
        rotate == 0 ? value : value >> rotate | value << (32 - rotate);
  } else if ((op & 0x0FFF0000) == 0x08BD0000) {
    step.pops = static_cast<uint16_t>(word);
  } else if ((op & 0x0FEFF000) == 0x004DD000 ||
             (op & 0x0FEFFFF0) == 0x01A0D000) {
    step.otherSpWrite = true; // sub sp, sp, rX or mov sp, rX
  }
  if (word >> 28 != 0xE && (step.pushes | step.lowersSp) != 0) {
    step.otherSpWrite = true; // a conditional push is no prolog
  }
  return step;
}

// Thumb state: push, stmdb sp!, str.w rX, [sp, #-4]!, sub sp, #imm, the
// 32-bit sub sp, and pop.
Step DecodeThumb(uint16_t first, uint16_t second) {
  Step step;
  step.length = (first >> 11) >= 0x1D ? 4 : 2;
  if ((first & 0xFE00) == 0xB400) {
    step.pushes = static_cast<uint16_t>((first & 0xFF) | (first & 0x100) << 6);
  } else if ((first & 0xFE00) == 0xBC00) {
    step.pops = static_cast<uint16_t>((first & 0xFF) | (first & 0x100) << 7);
  } else if ((first & 0xFF80) == 0xB080) {
    step.lowersSp = (first & 0x7Fu) * 4;
  } else if (step.length == 4 && first == 0xE92D) {
    step.pushes = second;
  } else if (step.length == 4 && first == 0xE8BD) {
    step.pops = second;
  } else if (step.length == 4 && first == 0xF84D &&
             (second & 0x0FFF) == 0x0D04) {
    step.pushes = static_cast<uint16_t>(1u << (second >> 12));
  } else if ((first & 0xFF87) == 0x4685 || // mov sp, rX (16-bit)
             (step.length == 4 && (first & 0xFBEF) == 0xF1AD &&
              (second & 0x0F00) == 0x0D00) || // sub.w sp, sp, #imm
             (step.length == 4 && (first & 0xFBFF) == 0xF2AD &&
              (second & 0x0F00) == 0x0D00)) { // subw sp, sp, #imm
    step.otherSpWrite = true;
  }
  return step;
}

// ARMNT's .xdata record for a prolog packed data cannot carry: the function
// length, one code word count, and the codes that undo the prolog, last
// instruction first. No epilog scopes: the unwinder takes every pc after
// the prolog for the body, which holds at every call.
std::vector<uint8_t> ArmNtXdata(const Function &f) {
  const Prolog &p = f.prolog;
  std::vector<uint8_t> codes;
  if (p.stackBytes != 0) {
    codes.push_back(static_cast<uint8_t>(p.stackBytes / 4)); // add sp, 16-bit
  }
  const unsigned pushBytes = p.bytes - (p.stackBytes != 0 ? 2 : 0);
  const unsigned lr = (p.pushed & kLr) != 0 ? 1 : 0;
  if (p.pushed != 0 && pushBytes == 2) { // pop {r0-r7, lr}, 16-bit
    codes.push_back(static_cast<uint8_t>(0xEC | lr));
    codes.push_back(static_cast<uint8_t>(p.pushed));
  } else if (p.pushed != 0) { // pop {r0-r12, lr}, 32-bit
    codes.push_back(
        static_cast<uint8_t>(0x80 | lr << 5 | (p.pushed >> 8 & 0x1F)));
    codes.push_back(static_cast<uint8_t>(p.pushed));
  }
  codes.push_back(0xFF); // end
  codes.resize((codes.size() + 3) / 4 * 4, 0xFF);
  const uint32_t header = (f.size / 2) | static_cast<uint32_t>(codes.size() / 4)
                                             << 28;
  std::vector<uint8_t> record;
  record.reserve(4 + codes.size());
  for (int i = 0; i < 4; ++i) {
    record.push_back(static_cast<uint8_t>(header >> (8 * i)));
  }
  record.insert(record.end(), codes.begin(), codes.end());
  return record;
}

} // namespace

UnwindFormat UnwindFormatOf(uint16_t machine) {
  return machine == 0x1C4 ? UnwindFormat::kArmNt : UnwindFormat::kCeArm;
}

bool ReadProlog(const std::vector<uint8_t> &code,
                const std::vector<bool> &isData, bool thumb, Prolog *prolog,
                std::string *why) {
  *prolog = Prolog();
  bool inProlog = true;
  for (size_t at = 0; at < code.size();) {
    if (isData[at]) {
      ++at;
      continue;
    }
    if (at + (thumb ? 2 : 4) > code.size()) {
      *why = "code that ends in the middle of an instruction";
      return false;
    }
    Step step;
    if (thumb) {
      step = DecodeThumb(Half(code, at),
                         at + 4 <= code.size() ? Half(code, at + 2) : 0);
    } else {
      step = DecodeArm(Word(code, at));
    }
    // The prolog: at most one push, then at most one sub sp.
    bool pushHere = step.pushes != 0 && prolog->pushed == 0 &&
                    prolog->stackBytes == 0 && !step.otherSpWrite;
    bool subHere =
        step.lowersSp != 0 && prolog->stackBytes == 0 && !step.otherSpWrite;
    if (inProlog && (pushHere || subHere)) {
      prolog->pushed |= step.pushes;
      prolog->stackBytes += step.lowersSp;
      prolog->instructions += 1;
      prolog->bytes += step.length;
      if ((prolog->pushed & (kSp | kPc)) != 0) {
        *why = "a prolog that pushes sp or pc";
        return false;
      }
    } else {
      inProlog = false;
      if (step.pushes != 0 || step.lowersSp != 0 || step.otherSpWrite) {
        *why = "sp lowered at " + Hex(static_cast<uint32_t>(at)) +
               ", after the prolog: build with -fno-shrink-wrap "
               "-fno-schedule-insns -fno-schedule-insns2";
        return false;
      }
      uint16_t asPopped = static_cast<uint16_t>(
          (prolog->pushed & ~kLr) | ((prolog->pushed & kLr) != 0 ? kPc : 0));
      prolog->epilogPopsAll |= step.pops != 0 && step.pops == asPopped;
    }
    at += step.length;
  }
  return true;
}

bool UnwindEntries(UnwindFormat format, std::vector<Function> functions,
                   uint32_t imageBase, uint32_t rva, UnwindTable *table,
                   std::string *why) {
  std::sort(functions.begin(), functions.end(),
            [](const Function &a, const Function &b) { return a.rva < b.rva; });
  *table = UnwindTable();
  table->entriesSize = 8 * static_cast<uint32_t>(functions.size());
  std::vector<uint8_t> &entries = table->bytes;
  std::vector<uint8_t> xdata;
  auto put = [&](uint32_t word) {
    for (int i = 0; i < 4; ++i) {
      entries.push_back(static_cast<uint8_t>(word >> (8 * i)));
    }
  };
  for (const Function &f : functions) {
    const Prolog &p = f.prolog;
    const std::string where = " at RVA " + Hex(f.rva);
    if (format == UnwindFormat::kCeArm) {
      // Begin (a virtual address); prolog and function length in
      // instructions, the 32-bit flag, no exception handler.
      if (f.thumb || f.size % 4 != 0 || f.size / 4 >= (1u << 22)) {
        *why = "a function CE's ARM entries cannot describe" + where;
        return false;
      }
      table->relocations.push_back(static_cast<uint32_t>(entries.size()));
      put(imageBase + f.rva);
      put(p.instructions | (f.size / 4) << 8 | 1u << 30);
      continue;
    }
    if (!f.thumb || f.size % 2 != 0 || f.size / 2 >= (1u << 18) ||
        p.stackBytes / 4 > 0x7F) {
      *why = "a function ARMNT unwind data cannot describe" + where;
      return false;
    }
    put(f.rva | 1); // Thumb
    // Packed: push {r4-rN, lr} (Reg, L), extra argument registers pushed
    // in place of a stack adjustment of 1-4 words (folded), then sub sp
    // (Stack Adjust); the epilog mirrors it.
    uint16_t saved =
        p.pushed & static_cast<uint16_t>(~(kArgumentRegisters | kLr));
    uint16_t folded = p.pushed & kArgumentRegisters;
    unsigned foldedWords = static_cast<unsigned>(__builtin_popcount(folded));
    unsigned reg =
        saved == 0 ? 7 : 31 - static_cast<unsigned>(__builtin_clz(saved)) - 4;
    bool contiguous = saved == 0 || saved == ((2u << (reg + 4)) - 1 - 0xF);
    bool lr = (p.pushed & kLr) != 0;
    if (f.size / 2 >= (1u << 11) || !contiguous || reg > 7 ||
        (foldedWords != 0 && p.stackBytes != 0) ||
        (saved == 0 && !lr && foldedWords != 0)) {
      put(rva + table->entriesSize + static_cast<uint32_t>(xdata.size()));
      std::vector<uint8_t> record = ArmNtXdata(f);
      xdata.insert(xdata.end(), record.begin(), record.end());
      continue;
    }
    uint32_t stackAdjust = p.stackBytes / 4;
    if (foldedWords != 0) {
      stackAdjust =
          0x3F0 | (foldedWords - 1) | 4u | (p.epilogPopsAll ? 8u : 0u);
    }
    put(1u /* packed */ | (f.size / 2) << 2 | (lr ? 0u : 1u) << 13 | reg << 16 |
        (saved == 0 ? 1u : 0u) << 19 | (lr ? 1u : 0u) << 20 |
        stackAdjust << 22);
  }
  entries.insert(entries.end(), xdata.begin(), xdata.end());
  return true;
}

} // namespace pe
