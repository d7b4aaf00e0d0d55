// SPDX-License-Identifier: MIT
// pe_writer: turns a 32-bit ARM ELF image, linked at a fixed base with its
// relocations kept (ld --emit-relocs), into a Windows CE DLL. No Debian
// toolchain writes ARM-mode PE, so the CE builds compile and link with the
// ARM cross gcc and finish here.
//
//   pe_writer --machine 0x1c0 --subsystem 3.00 --def TolvaneGPS.def
//             --import COREDLL.dll=SLOTS --timestamp SECONDS
//             --resources TolvaneGPS.res in.elf out.dll
//
// It writes only what these DLLs need: the headers; one section for each
// allocated ELF section, uninitialised data at the end of the section
// before it; the export directory from the module-definition file (LIBRARY,
// then "name[=symbol] @ordinal [DATA]" lines); one import descriptor whose
// address table is the ELF array SLOTS, whose words are already the ordinal
// entries (0x80000000 | ordinal, then 0); .pdata for every function symbol,
// from its size and the prolog read from its code; .rsrc from a compiled
// resource file; and base relocations for every R_ARM_ABS32. Any other
// absolute relocation is an error: build with -mword-relocations.
#include <elf.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "pe_image.h"

namespace {

// The message in pieces, joined here: a failure inside a loop builds no
// temporaries there.
template <typename... Pieces> [[noreturn]] void Fail(const Pieces &...pieces) {
  std::string message;
  ((message += pieces), ...);
  std::fprintf(stderr, "pe_writer: %s\n", message.c_str());
  std::exit(1); // NOLINT(concurrency-mt-unsafe): pe_writer has one thread
}

std::vector<uint8_t> ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Fail("cannot read " + path);
  }
  return {std::istreambuf_iterator<char>(in), {}};
}

template <typename T> T At(const std::vector<uint8_t> &file, size_t offset) {
  if (offset + sizeof(T) > file.size()) {
    Fail("the ELF file is cut short");
  }
  T value;
  std::memcpy(&value, file.data() + offset, sizeof value);
  return value;
}

struct Elf {
  std::vector<uint8_t> file;
  std::vector<Elf32_Shdr> sections;
  std::map<std::string, Elf32_Sym> symbols;
  std::vector<std::pair<std::string, Elf32_Sym>> functions;
  // The ARM mapping symbols: where code ($a, $t) and data ($d) begin.
  std::map<uint32_t, char> mapping;
  uint32_t entry = 0;

  const char *SectionName(const Elf32_Shdr &section) const {
    const Elf32_Shdr &names = sections.at(At<Elf32_Ehdr>(file, 0).e_shstrndx);
    return reinterpret_cast<const char *>(file.data() + names.sh_offset +
                                          section.sh_name);
  }
};

Elf ReadElf(const std::string &path) {
  Elf elf;
  elf.file = ReadFile(path);
  auto header = At<Elf32_Ehdr>(elf.file, 0);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != ELFCLASS32 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_machine != EM_ARM ||
      header.e_type != ET_EXEC) {
    Fail(path + " is not a linked 32-bit little-endian ARM ELF image");
  }
  elf.entry = header.e_entry;
  for (unsigned i = 0; i < header.e_shnum; ++i) {
    elf.sections.push_back(
        At<Elf32_Shdr>(elf.file, header.e_shoff + i * sizeof(Elf32_Shdr)));
  }
  for (const Elf32_Shdr &table : elf.sections) {
    if (table.sh_type != SHT_SYMTAB) {
      continue;
    }
    const Elf32_Shdr &strings = elf.sections.at(table.sh_link);
    for (size_t at = 0; at + sizeof(Elf32_Sym) <= table.sh_size;
         at += sizeof(Elf32_Sym)) {
      auto symbol = At<Elf32_Sym>(elf.file, table.sh_offset + at);
      const char *name = reinterpret_cast<const char *>(
          elf.file.data() + strings.sh_offset + symbol.st_name);
      if (symbol.st_shndx == SHN_UNDEF || name[0] == 0) {
        continue;
      }
      if (name[0] == '$') {
        elf.mapping[symbol.st_value & ~1u] = name[1];
      } else if (ELF32_ST_TYPE(symbol.st_info) == STT_FUNC) {
        elf.functions.push_back({name, symbol});
      }
      elf.symbols[name] = symbol;
    }
  }
  return elf;
}

// Relocation types that are relative to the code and move with it.
bool MovesWithTheImage(unsigned type) {
  switch (type) {
  case R_ARM_NONE:
  case R_ARM_PC24:
  case R_ARM_REL32:
  case R_ARM_THM_PC22: // R_ARM_THM_CALL
  case R_ARM_CALL:
  case R_ARM_JUMP24:
  case R_ARM_THM_JUMP24:
  case R_ARM_V4BX:
  case R_ARM_PREL31:
  case R_ARM_THM_JUMP19:
  case R_ARM_THM_PC11: // R_ARM_THM_JUMP11
  case R_ARM_THM_PC9:  // R_ARM_THM_JUMP8
    return true;
  default:
    return false;
  }
}

// The addresses that hold absolute addresses, as RVAs.
std::vector<uint32_t> AbsoluteWords(const Elf &elf, uint32_t base) {
  std::vector<uint32_t> words;
  for (const Elf32_Shdr &table : elf.sections) {
    if (table.sh_type != SHT_REL ||
        (elf.sections.at(table.sh_info).sh_flags & SHF_ALLOC) == 0) {
      continue;
    }
    for (size_t at = 0; at + sizeof(Elf32_Rel) <= table.sh_size;
         at += sizeof(Elf32_Rel)) {
      auto rel = At<Elf32_Rel>(elf.file, table.sh_offset + at);
      unsigned type = ELF32_R_TYPE(rel.r_info);
      if (type == R_ARM_ABS32) {
        words.push_back(rel.r_offset - base);
      } else if (!MovesWithTheImage(type)) {
        char where[64];
        std::snprintf(where, sizeof where, "type %u at 0x%x", type,
                      rel.r_offset);
        Fail(std::string("unsupported relocation ") + where +
             ": build with -mword-relocations");
      }
    }
  }
  return words;
}

struct Definition {
  std::string library;
  std::vector<pe::Export> exports;
};

Definition ReadDefinition(const std::string &path, const Elf &elf,
                          uint32_t base) {
  Definition definition;
  std::istringstream lines([&] {
    std::vector<uint8_t> bytes = ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
  }());
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find(';'));
    std::istringstream words(line);
    std::string first, ordinal, data;
    if (!(words >> first) || first == "EXPORTS") {
      continue;
    }
    if (first == "LIBRARY") {
      words >> definition.library;
      continue;
    }
    if (!(words >> ordinal) || ordinal.size() < 2 || ordinal[0] != '@') {
      Fail("no @ordinal in ", path, ": ", line);
    }
    words >> data;
    size_t equals = first.find('=');
    std::string name = first.substr(0, equals);
    std::string symbol =
        equals == std::string::npos ? name : first.substr(equals + 1);
    auto found = elf.symbols.find(symbol);
    if (found == elf.symbols.end()) {
      Fail("no symbol ", symbol, " for the export ", name);
    }
    definition.exports.push_back(
        {static_cast<uint16_t>(std::stoi(ordinal.substr(1))), name,
         found->second.st_value - base});
  }
  if (definition.library.empty() || definition.exports.empty()) {
    Fail(path + " names no LIBRARY or no exports");
  }
  return definition;
}

// Every function of the code with its prolog, or the reason there is none
// an unwinder could read.
std::vector<pe::Function> Functions(const Elf &elf, uint32_t base) {
  std::map<uint32_t, pe::Function> byAddress; // aliases share an address
  for (const auto &[name, symbol] : elf.functions) {
    const Elf32_Shdr &section = elf.sections.at(symbol.st_shndx);
    uint32_t start = symbol.st_value & ~1u;
    if ((section.sh_flags & SHF_EXECINSTR) == 0 || symbol.st_size == 0 ||
        start < section.sh_addr ||
        start + symbol.st_size > section.sh_addr + section.sh_size) {
      Fail("the function " + name + " has no size, or lies outside its code");
    }
    pe::Function function;
    function.rva = start - base;
    function.size = symbol.st_size;
    function.thumb = (symbol.st_value & 1) != 0;
    const uint8_t *code =
        elf.file.data() + section.sh_offset + (start - section.sh_addr);
    std::vector<uint8_t> bytes(code, code + symbol.st_size);
    std::vector<bool> isData(bytes.size());
    for (uint32_t at = 0; at < bytes.size(); ++at) {
      auto next = elf.mapping.upper_bound(start + at);
      isData[at] =
          next != elf.mapping.begin() && std::prev(next)->second == 'd';
    }
    std::string why;
    if (!pe::ReadProlog(bytes, isData, function.thumb, &function.prolog,
                        &why)) {
      Fail("no unwind data can describe ", name, ": ", why);
    }
    byAddress[function.rva] = function;
  }
  std::vector<pe::Function> functions;
  functions.reserve(byAddress.size());
  for (const auto &[rva, function] : byAddress) {
    functions.push_back(function);
  }
  return functions;
}

} // namespace

int main(int argc, char **argv) {
  std::string defPath, importArg, resPath, elfPath, outPath;
  pe::Header header;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--machine" && hasValue) {
      header.machine = static_cast<uint16_t>(std::stoul(argv[++i], nullptr, 0));
    } else if (arg == "--subsystem" && hasValue) {
      std::string version = argv[++i];
      header.subsystemMajor = static_cast<uint16_t>(std::stoi(version));
      size_t dot = version.find('.');
      header.subsystemMinor = static_cast<uint16_t>(
          dot == std::string::npos ? 0 : std::stoi(version.substr(dot + 1)));
    } else if (arg == "--def" && hasValue) {
      defPath = argv[++i];
    } else if (arg == "--import" && hasValue) {
      importArg = argv[++i];
    } else if (arg == "--timestamp" && hasValue) {
      header.timeStamp = static_cast<uint32_t>(std::stoul(argv[++i]));
    } else if (arg == "--resources" && hasValue) {
      resPath = argv[++i];
    } else if (elfPath.empty()) {
      elfPath = arg;
    } else if (outPath.empty()) {
      outPath = arg;
    } else {
      Fail("unexpected argument " + arg);
    }
  }
  size_t equals = importArg.find('=');
  if (header.machine == 0 || defPath.empty() || equals == std::string::npos ||
      outPath.empty()) {
    Fail("usage: pe_writer --machine M --subsystem MAJOR.MINOR --def FILE "
         "--import DLL=SLOTS [--timestamp SECONDS] [--resources FILE.res] "
         "in.elf out.dll");
  }

  Elf elf = ReadElf(elfPath);
  pe::Image image;
  for (const Elf32_Shdr &section : elf.sections) {
    if ((section.sh_flags & SHF_ALLOC) == 0 || section.sh_size == 0) {
      continue;
    }
    // Uninitialised data right after data: the end of that section, as
    // CE's linkers lay it out, with no file data.
    const pe::Section *before =
        image.sections.empty() ? nullptr : &image.sections.back();
    if (section.sh_type == SHT_NOBITS && before != nullptr &&
        before->writable &&
        section.sh_addr - pe::kImageBase <
            (before->rva + before->virtualSize + pe::kSectionAlignment - 1) /
                pe::kSectionAlignment * pe::kSectionAlignment) {
      pe::Section &data = image.sections.back();
      data.virtualSize =
          section.sh_addr + section.sh_size - pe::kImageBase - data.rva;
      continue;
    }
    pe::Section out;
    out.name = elf.SectionName(section);
    out.rva = section.sh_addr - pe::kImageBase;
    out.virtualSize = section.sh_size;
    out.executable = (section.sh_flags & SHF_EXECINSTR) != 0;
    out.writable = (section.sh_flags & SHF_WRITE) != 0;
    if (section.sh_type != SHT_NOBITS) {
      out.data.assign(elf.file.begin() + section.sh_offset,
                      elf.file.begin() + section.sh_offset + section.sh_size);
    }
    image.sections.push_back(out);
  }
  if (image.sections.empty()) {
    Fail(elfPath + " has no sections to load");
  }
  // The linker script and this writer must agree on the base: the headers
  // take the image's first page, and the sections follow.
  if (image.sections.front().rva != pe::kSectionAlignment) {
    Fail(elfPath + " is not linked at the image base (0x10000000) plus one "
                   "page for the headers: see cmake/ce-image.ld");
  }
  header.entryRva = elf.entry - pe::kImageBase;
  image.relocations = AbsoluteWords(elf, pe::kImageBase);
  Definition definition = ReadDefinition(defPath, elf, pe::kImageBase);
  image.name = definition.library;
  image.exports = definition.exports;

  image.importLibrary = importArg.substr(0, equals);
  auto slots = elf.symbols.find(importArg.substr(equals + 1));
  if (slots == elf.symbols.end()) {
    Fail("no import slots " + importArg.substr(equals + 1));
  }
  image.importSlotsRva = slots->second.st_value - pe::kImageBase;
  if (!pe::ReadImportOrdinals(image, &image.importOrdinals)) {
    Fail("the import slots must hold 0x80000000 | ordinal entries, then 0");
  }

  image.functions = Functions(elf, pe::kImageBase);
  if (!resPath.empty()) {
    std::string why;
    if (!pe::ReadResFile(ReadFile(resPath), &image.resources, &why)) {
      Fail(resPath + ": " + why);
    }
  }

  std::vector<uint8_t> file;
  std::string why;
  if (!pe::Write(header, image, &file, &why)) {
    Fail(why);
  }
  std::ofstream out(outPath, std::ios::binary);
  out.write(reinterpret_cast<const char *>(file.data()),
            static_cast<std::streamsize>(file.size()));
  if (!out) {
    Fail("cannot write " + outPath);
  }
  return 0;
}
