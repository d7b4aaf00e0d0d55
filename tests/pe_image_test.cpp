// SPDX-License-Identifier: MIT
// The PE writer's own layout rules, where a mistake would still give a file
// that llvm-readobj reads but a device's loader would mis-relocate.
#include <algorithm>

#include <gtest/gtest.h>

#include "pe_image.h"
#include "unwind.h"

namespace {

TEST(PeWriter, BaseRelocationsComeInOnePaddedBlockPerPage) {
  std::vector<uint8_t> blocks =
      pe::BaseRelocationBlocks({0x2008, 0x1004, 0x1000, 0x1004});
  EXPECT_EQ(blocks,
            (std::vector<uint8_t>{
                0x00, 0x10, 0,    0,    12, 0, 0, 0, // page 0x1000, 12 bytes
                0x00, 0x30, 0x04, 0x30,              // HIGHLOW 0x000, 0x004
                0x00, 0x20, 0,    0,    12, 0, 0, 0, // page 0x2000
                0x08, 0x30, 0x00, 0x00,              // HIGHLOW 0x008, padding
            }));
}

TEST(PeWriter, ImportSlotsMustHoldOrdinalEntriesEndedByZero) {
  pe::Image image;
  pe::Section data;
  data.rva = 0x2000;
  data.data = {0xA8, 0, 0, 0x80, 0x29, 0x02, 0, 0x80, 0, 0, 0, 0};
  image.sections = {data};
  image.importSlotsRva = 0x2000;
  std::vector<uint16_t> ordinals;
  ASSERT_TRUE(pe::ReadImportOrdinals(image, &ordinals));
  EXPECT_EQ(ordinals, (std::vector<uint16_t>{168, 553}));

  image.sections[0].data[3] = 0; // an import by name
  EXPECT_FALSE(pe::ReadImportOrdinals(image, &ordinals));
  image.sections[0].data.resize(8); // no end
  EXPECT_FALSE(pe::ReadImportOrdinals(image, &ordinals));
}

// Code as the writer reads it: ARM words, or Thumb halfwords.
std::vector<uint8_t> Code(const std::vector<uint32_t> &units, bool thumb) {
  std::vector<uint8_t> bytes;
  for (uint32_t unit : units) {
    for (int i = 0; i < (thumb ? 2 : 4); ++i) {
      bytes.push_back(static_cast<uint8_t>(unit >> (8 * i)));
    }
  }
  return bytes;
}

// A prolog comes first and whole, and sp moves nowhere else, or the
// function is refused: each refused case beside the same code as a
// compiler that keeps prologs together gives it.
TEST(PeWriter, ReadsPrologsAndRefusesSpMovedAfterThem) {
  struct Case {
    const char *what;
    bool thumb;
    std::vector<uint32_t> code;
    bool accepted;
    uint16_t pushed;
    uint32_t stackBytes;
  };
  const uint16_t r3 = 1 << 3, r4 = 1 << 4, r5 = 1 << 5;
  const Case cases[] = {
      {"ARM push, sub sp",
       false,
       {0xE92D4010, 0xE24DD008, 0xEB000000, 0xE28DD008, 0xE8BD8010},
       true,
       r4 | pe::kLr,
       8},
      {"ARM sub sp scheduled after a mov",
       false,
       {0xE92D4010, 0xE1A01000, 0xE24DD008, 0xEB000000},
       false,
       0,
       0},
      {"ARM push of lr alone, first",
       false,
       {0xE52DE004, 0xE3500000, 0xEB000000, 0xE49DF004},
       true,
       pe::kLr,
       0},
      {"ARM push of lr shrink-wrapped",
       false,
       {0xE3500000, 0xE52DE004, 0xEB000000, 0xE49DF004},
       false,
       0,
       0},
      {"ARM literal that reads as a push",
       false,
       {0xE3A00001, 0xE1A0F00E, 0xE92D4010},
       true,
       0,
       0},
      {"Thumb push, sub sp",
       true,
       {0xB510, 0xB089, 0x4601, 0xB009, 0xBD10},
       true,
       r4 | pe::kLr,
       36},
      {"Thumb sub sp scheduled after a mov",
       true,
       {0xB510, 0x4601, 0xB089, 0xB009, 0xBD10},
       false,
       0,
       0},
      {"Thumb push with an alignment register",
       true,
       {0xB538, 0x2001, 0xBD38},
       true,
       r3 | r4 | r5 | pe::kLr,
       0},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> code = Code(c.code, c.thumb);
    std::vector<bool> isData(code.size());
    if (std::string(c.what).find("literal") != std::string::npos) {
      std::fill(isData.end() - 4, isData.end(), true);
    }
    pe::Prolog prolog;
    std::string why;
    EXPECT_EQ(pe::ReadProlog(code, isData, c.thumb, &prolog, &why), c.accepted)
        << c.what << ": " << why;
    if (c.accepted) {
      EXPECT_EQ(prolog.pushed, c.pushed) << c.what;
      EXPECT_EQ(prolog.stackBytes, c.stackBytes) << c.what;
    }
  }
}

// CE's entry: the address (relocated), prolog and function length in
// instructions, the 32-bit flag. ARMNT's packed word for push {r3-r5, lr}
// and its pop, as llvm-readobj reads it; for a register gap, which packed
// data cannot carry, an .xdata record after the entries: the function
// length, one code word, pop {r4, r6, lr} (16-bit), end.
TEST(PeWriter, WritesEachMachinesUnwindEntries) {
  pe::Function arm;
  arm.rva = 0x1000;
  arm.size = 0x20;
  arm.prolog.instructions = 2;
  pe::UnwindTable table;
  std::string why;
  ASSERT_TRUE(pe::UnwindEntries(pe::UnwindFormat::kCeArm, {arm}, 0x10000000,
                                0x5000, &table, &why));
  EXPECT_EQ(table.bytes, (std::vector<uint8_t>{0x00, 0x10, 0x00, 0x10, 0x02,
                                               0x08, 0x00, 0x40}));
  EXPECT_EQ(table.relocations, (std::vector<uint32_t>{0}));

  pe::Function thumb;
  thumb.rva = 0x1000;
  thumb.size = 0x40;
  thumb.thumb = true;
  thumb.prolog.pushed = 1 << 3 | 1 << 4 | 1 << 5 | pe::kLr;
  thumb.prolog.instructions = 1;
  thumb.prolog.bytes = 2;
  thumb.prolog.epilogPopsAll = true;
  ASSERT_TRUE(pe::UnwindEntries(pe::UnwindFormat::kArmNt, {thumb}, 0x10000000,
                                0x5000, &table, &why));
  EXPECT_EQ(table.bytes, (std::vector<uint8_t>{0x01, 0x10, 0x00, 0x00, 0x81,
                                               0x00, 0x11, 0xFF}));
  EXPECT_TRUE(table.relocations.empty());

  thumb.prolog.pushed = 1 << 4 | 1 << 6 | pe::kLr; // r5 not saved
  ASSERT_TRUE(pe::UnwindEntries(pe::UnwindFormat::kArmNt, {thumb}, 0x10000000,
                                0x5000, &table, &why));
  EXPECT_EQ(table.entriesSize, 8u);
  EXPECT_EQ(table.bytes,
            (std::vector<uint8_t>{0x01, 0x10, 0x00, 0x00, 0x08, 0x50, 0x00,
                                  0x00, // the entry: .xdata at 0x5008
                                  0x20, 0x00, 0x00, 0x10, // 64 bytes, 1 word
                                  0xED, 0x50, 0xFF, 0xFF}));
}

} // namespace
