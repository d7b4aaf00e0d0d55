// SPDX-License-Identifier: MIT
// The PE image of a 32-bit Windows CE DLL, laid out from what pe_writer
// gathered: loadable sections, exports, one import library by ordinal, and
// the words that need base relocation.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "resources.h"
#include "unwind.h"

namespace pe {

// Where the image is linked (cmake/ce-image.ld puts the first section one
// page above, after the headers); a loader that puts it elsewhere relocates
// it.
constexpr uint32_t kImageBase = 0x10000000;
constexpr uint32_t kSectionAlignment = 0x1000;
constexpr uint32_t kFileAlignment = 0x200;
// Room for more section headers than these images use, as CE's own linkers
// leave.
constexpr uint32_t kHeadersSize = 0x400;

struct Header {
  uint16_t machine = 0;
  uint16_t subsystemMajor = 3;
  uint16_t subsystemMinor = 0;
  uint32_t entryRva = 0;
  uint32_t timeStamp = 0; // also the export directory's
};

struct Section {
  std::string name;
  uint32_t rva = 0;
  uint32_t virtualSize = 0;
  std::vector<uint8_t> data; // zero-filled beyond its end
  bool executable = false;
  bool writable = false;
};

struct Export {
  uint16_t ordinal;
  std::string name;
  uint32_t rva;
};

struct Image {
  std::vector<Section> sections; // in address order, each page-aligned
  std::string name;              // the export directory's module name
  std::vector<Export> exports;
  std::string importLibrary;
  uint32_t importSlotsRva = 0; // the import address table, inside a section
  std::vector<uint16_t> importOrdinals;
  std::vector<uint32_t> relocations; // RVAs of absolute 32-bit words
  std::vector<Function> functions;   // everything in the code, for .pdata
  std::vector<Resource> resources;   // for .rsrc
};

// The ordinals the import slots hold (0x80000000 | ordinal each, then 0).
bool ReadImportOrdinals(const Image &image, std::vector<uint16_t> *ordinals);

// The .reloc section's content: one block per 4 KiB page, HIGHLOW entries,
// each block padded to a whole word.
std::vector<uint8_t> BaseRelocationBlocks(std::vector<uint32_t> rvas);

// The whole file; false and the reason when the functions' unwind data or
// the headers do not fit.
bool Write(const Header &header, const Image &image, std::vector<uint8_t> *file,
           std::string *why);

} // namespace pe
