// SPDX-License-Identifier: MIT
#include "pe_image.h"

#include <algorithm>
#include <cstring>

namespace pe {

namespace {

// The fields of the headers, named as in the PE format's own definitions.

// COFF file header: the optional header that follows is PE32's, with all
// sixteen data directories.
constexpr uint16_t kOptionalHeaderSize = 224;
// Characteristics: an executable image for a 32-bit machine, and a DLL.
constexpr uint16_t kExecutableImage = 0x0002;
constexpr uint16_t k32BitMachine = 0x0100;
constexpr uint16_t kDll = 0x2000;

// Optional header.
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint32_t kStackReserve = 0x10000; // the device's defaults
constexpr uint32_t kStackCommit = 0x1000;
constexpr uint32_t kHeapReserve = 0x100000;
constexpr uint32_t kHeapCommit = 0x1000;
constexpr uint32_t kDataDirectories = 16;
// The data directories this image fills.
constexpr int kExportTable = 0;
constexpr int kImportTable = 1;
constexpr int kResourceTable = 2;
constexpr int kExceptionTable = 3;
constexpr int kBaseRelocationTable = 5;
constexpr int kImportAddressTable = 12;

// Section characteristics.
constexpr uint32_t kCode = 0x00000020;
constexpr uint32_t kInitializedData = 0x00000040;
constexpr uint32_t kUninitializedData = 0x00000080;
constexpr uint32_t kDiscardable = 0x02000000;
constexpr uint32_t kExecute = 0x20000000;
constexpr uint32_t kRead = 0x40000000;
constexpr uint32_t kWrite = 0x80000000;

constexpr uint16_t kRelocationHighLow = 3;
constexpr uint16_t kSubsystemWindowsCeGui = 9;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

// Little-endian writes into a growing byte buffer.
struct Bytes {
  std::vector<uint8_t> data;

  uint32_t size() const { return static_cast<uint32_t>(data.size()); }
  void U8(uint8_t v) { data.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void Text(const std::string &text) {
    data.insert(data.end(), text.begin(), text.end());
    U8(0);
  }
  void Name8(const std::string &name) {
    for (size_t i = 0; i < 8; ++i) {
      U8(i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
    }
  }
  void PadTo(uint32_t alignment) { data.resize(AlignUp(size(), alignment), 0); }
  void Put32(uint32_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      data[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
  }
};

struct Directory {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// Export and import directories, laid out for the section at rva.
Section ReadOnlyData(const Header &header, const Image &image, uint32_t rva,
                     Directory *exports, Directory *imports) {
  Bytes out;
  uint16_t base = 0xFFFF, last = 0;
  for (const Export &e : image.exports) {
    base = std::min(base, e.ordinal);
    last = std::max(last, e.ordinal);
  }
  std::vector<Export> byName = image.exports;
  std::sort(byName.begin(), byName.end(),
            [](const Export &a, const Export &b) { return a.name < b.name; });
  const uint32_t count = static_cast<uint32_t>(byName.size());
  const uint32_t functions = 40, names = functions + 4u * (last - base + 1u);
  const uint32_t nameOrdinals = names + 4 * count;
  out.data.resize(nameOrdinals + 2 * count, 0);
  out.Put32(4, header.timeStamp);
  out.Put32(16, base);
  out.Put32(20, last - base + 1u);
  out.Put32(24, count);
  out.Put32(28, rva + functions);
  out.Put32(32, rva + names);
  out.Put32(36, rva + nameOrdinals);
  for (const Export &e : image.exports) {
    out.Put32(functions + 4u * (e.ordinal - base), e.rva);
  }
  out.Put32(12, rva + out.size());
  out.Text(image.name);
  for (uint32_t i = 0; i < count; ++i) {
    out.Put32(names + 4 * i, rva + out.size());
    out.data[nameOrdinals + 2 * i] =
        static_cast<uint8_t>(byName[i].ordinal - base);
    out.data[nameOrdinals + 2 * i + 1] =
        static_cast<uint8_t>((byName[i].ordinal - base) >> 8);
    out.Text(byName[i].name);
  }
  *exports = {rva, out.size()};

  out.PadTo(4);
  const uint32_t descriptor = out.size();
  out.data.resize(descriptor + 40, 0); // one descriptor and the null one
  const uint32_t lookup = out.size();
  for (uint16_t ordinal : image.importOrdinals) {
    out.U32(0x80000000u | ordinal);
  }
  out.U32(0);
  out.Put32(descriptor, rva + lookup);
  out.Put32(descriptor + 12, rva + out.size());
  out.Put32(descriptor + 16, image.importSlotsRva);
  out.Text(image.importLibrary);
  *imports = {rva + descriptor, 40};

  Section section;
  section.name = ".rdata";
  section.rva = rva;
  section.virtualSize = out.size();
  section.data = out.data;
  return section;
}

uint32_t Characteristics(const Section &section) {
  if (section.executable) {
    return kCode | kExecute | kRead;
  }
  uint32_t kind = section.data.empty() ? kUninitializedData : kInitializedData;
  uint32_t access = section.writable ? kRead | kWrite : kRead;
  if (section.name == ".reloc") {
    access |= kDiscardable;
  }
  return kind | access;
}

// The standard PE checksum: 16-bit one's-complement sum, plus the length.
uint32_t Checksum(const std::vector<uint8_t> &file, uint32_t checksumAt) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 1 < file.size(); i += 2) {
    if (i == checksumAt || i == checksumAt + 2) {
      continue;
    }
    sum += file[i] | (file[i + 1] << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return ((sum & 0xFFFF) + (sum >> 16)) + static_cast<uint32_t>(file.size());
}

} // namespace

bool ReadImportOrdinals(const Image &image, std::vector<uint16_t> *ordinals) {
  ordinals->clear();
  for (const Section &section : image.sections) {
    uint32_t at = image.importSlotsRva - section.rva;
    if (image.importSlotsRva < section.rva || at >= section.data.size()) {
      continue;
    }
    for (; at + 4 <= section.data.size(); at += 4) {
      uint32_t word;
      std::memcpy(&word, section.data.data() + at, 4);
      if (word == 0) {
        return !ordinals->empty();
      }
      if ((word & 0x7FFF0000u) != 0 || (word & 0x80000000u) == 0) {
        return false;
      }
      ordinals->push_back(static_cast<uint16_t>(word));
    }
  }
  return false;
}

std::vector<uint8_t> BaseRelocationBlocks(std::vector<uint32_t> rvas) {
  std::sort(rvas.begin(), rvas.end());
  rvas.erase(std::unique(rvas.begin(), rvas.end()), rvas.end());
  Bytes out;
  for (size_t i = 0; i < rvas.size();) {
    uint32_t page = rvas[i] & ~0xFFFu;
    uint32_t start = out.size();
    out.U32(page);
    out.U32(0); // block size, filled below
    for (; i < rvas.size() && (rvas[i] & ~0xFFFu) == page; ++i) {
      out.U16(
          static_cast<uint16_t>(kRelocationHighLow << 12 | (rvas[i] & 0xFFF)));
    }
    if (out.size() % 4 != 0) {
      out.U16(0); // an ABSOLUTE entry pads the block
    }
    out.Put32(start + 4, out.size() - start);
  }
  return out.data;
}

// A section of the given content at the next free page.
Section Appended(const std::vector<Section> &sections, const std::string &name,
                 std::vector<uint8_t> data) {
  const Section &last = sections.back();
  Section section;
  section.name = name;
  section.rva = AlignUp(last.rva + last.virtualSize, kSectionAlignment);
  section.virtualSize = static_cast<uint32_t>(data.size());
  section.data = std::move(data);
  return section;
}

bool Write(const Header &header, const Image &image, std::vector<uint8_t> *file,
           std::string *why) {
  std::vector<Section> sections = image.sections;
  std::vector<uint32_t> relocated = image.relocations;
  Directory exports, imports, exceptions, resources;
  sections.push_back(Appended(sections, ".rdata", {}));
  sections.back() =
      ReadOnlyData(header, image, sections.back().rva, &exports, &imports);
  if (!image.functions.empty()) {
    sections.push_back(Appended(sections, ".pdata", {}));
    Section &pdata = sections.back();
    UnwindTable table;
    if (!UnwindEntries(UnwindFormatOf(header.machine), image.functions,
                       kImageBase, pdata.rva, &table, why)) {
      return false;
    }
    pdata.data = table.bytes;
    pdata.virtualSize = static_cast<uint32_t>(table.bytes.size());
    exceptions = {pdata.rva, table.entriesSize};
    for (uint32_t word : table.relocations) {
      relocated.push_back(pdata.rva + word);
    }
  }
  if (!image.resources.empty()) {
    sections.push_back(Appended(sections, ".rsrc", {}));
    Section &rsrc = sections.back();
    rsrc.data = ResourceSection(image.resources, rsrc.rva);
    rsrc.virtualSize = static_cast<uint32_t>(rsrc.data.size());
    resources = {rsrc.rva, rsrc.virtualSize};
  }
  sections.push_back(
      Appended(sections, ".reloc", BaseRelocationBlocks(relocated)));
  const Section &relocations = sections.back();
  const uint32_t imageSize =
      AlignUp(relocations.rva + relocations.virtualSize, kSectionAlignment);

  const uint32_t peAt = 0x40, optionalAt = peAt + 24;
  const uint32_t sectionTableAt = optionalAt + kOptionalHeaderSize;
  const uint32_t headersSize = kHeadersSize;
  if (sectionTableAt + 40 * sections.size() > headersSize) {
    *why = "too many sections for the headers";
    return false;
  }
  uint32_t codeSize = 0, dataSize = 0, zeroSize = 0, codeBase = 0, dataBase = 0;
  for (const Section &s : sections) {
    uint32_t size = AlignUp(s.virtualSize, kFileAlignment);
    if (s.executable) {
      codeBase = codeBase == 0 ? s.rva : codeBase;
      codeSize += size;
    } else {
      dataBase = dataBase == 0 ? s.rva : dataBase;
      (s.data.empty() ? zeroSize : dataSize) += size;
    }
  }

  Bytes out;
  out.U16(0x5A4D); // "MZ"
  out.data.resize(0x3C, 0);
  out.U32(peAt);
  out.U32(0x00004550); // "PE\0\0"
  out.U16(header.machine);
  out.U16(static_cast<uint16_t>(sections.size()));
  out.U32(header.timeStamp); // the sources' date, not the clock's
  out.U32(0);                // no COFF symbol table
  out.U32(0);                // and no symbols
  out.U16(kOptionalHeaderSize);
  out.U16(kExecutableImage | k32BitMachine | kDll);

  out.U16(kPe32Magic);
  out.U16(0); // linker version
  out.U32(codeSize);
  out.U32(dataSize);
  out.U32(zeroSize);
  out.U32(header.entryRva);
  out.U32(codeBase);
  out.U32(dataBase);
  out.U32(kImageBase);
  out.U32(kSectionAlignment);
  out.U32(kFileAlignment);
  out.U16(header.subsystemMajor); // operating system version
  out.U16(header.subsystemMinor);
  out.U32(0); // image version
  out.U16(header.subsystemMajor);
  out.U16(header.subsystemMinor);
  out.U32(0); // Win32 version, reserved
  out.U32(imageSize);
  out.U32(headersSize);
  const uint32_t checksumAt = out.size();
  out.U32(0); // the checksum, filled in last
  out.U16(kSubsystemWindowsCeGui);
  out.U16(0); // no DLL characteristics
  out.U32(kStackReserve);
  out.U32(kStackCommit);
  out.U32(kHeapReserve);
  out.U32(kHeapCommit);
  out.U32(0); // loader flags
  out.U32(kDataDirectories);
  Directory directories[kDataDirectories] = {};
  directories[kExportTable] = exports;
  directories[kImportTable] = imports;
  directories[kResourceTable] = resources;
  directories[kExceptionTable] = exceptions;
  directories[kBaseRelocationTable] = {relocations.rva,
                                       relocations.virtualSize};
  directories[kImportAddressTable] = {
      image.importSlotsRva,
      4 * static_cast<uint32_t>(image.importOrdinals.size() + 1)};
  for (const Directory &d : directories) {
    out.U32(d.rva);
    out.U32(d.size);
  }

  uint32_t rawAt = headersSize;
  for (const Section &s : sections) {
    uint32_t rawSize =
        AlignUp(static_cast<uint32_t>(s.data.size()), kFileAlignment);
    out.Name8(s.name);
    out.U32(s.virtualSize);
    out.U32(s.rva);
    out.U32(rawSize);
    out.U32(rawSize == 0 ? 0 : rawAt);
    out.U32(0); // no COFF relocations
    out.U32(0); // no line numbers
    out.U32(0); // and no counts of either
    out.U32(Characteristics(s));
    rawAt += rawSize;
  }
  out.PadTo(kFileAlignment);
  for (const Section &s : sections) {
    out.data.insert(out.data.end(), s.data.begin(), s.data.end());
    out.PadTo(kFileAlignment);
  }
  out.Put32(checksumAt, Checksum(out.data, checksumAt));
  *file = out.data;
  return true;
}

} // namespace pe
