// SPDX-License-Identifier: MIT
// The PE writer's own layout rules, where a mistake would still give a file
// that llvm-readobj reads but a device's loader would mis-relocate.
#include <gtest/gtest.h>

#include "pe_image.h"

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

} // namespace
