// SPDX-License-Identifier: MIT
#include "resources.h"

#include <cstddef>
#include <map>

namespace pe {

namespace {

uint32_t Get32(const std::vector<uint8_t> &file, size_t at) {
  return file[at] | file[at + 1] << 8 | file[at + 2] << 16 |
         static_cast<uint32_t>(file[at + 3]) << 24;
}

uint16_t Get16(const std::vector<uint8_t> &file, size_t at) {
  return static_cast<uint16_t>(file[at] | file[at + 1] << 8);
}

void Put32(std::vector<uint8_t> *out, uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    out->push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
}

// A directory: no characteristics, time stamp or version; id entries only.
void PutDirectory(std::vector<uint8_t> *out, uint16_t idEntries) {
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, 0);
  Put32(out, static_cast<uint32_t>(idEntries) << 16);
}

constexpr uint32_t kSubdirectory = 0x80000000;

} // namespace

bool ReadResFile(const std::vector<uint8_t> &file,
                 std::vector<Resource> *resources, std::string *why) {
  resources->clear();
  // Each: data size, header size, type, name (0xFFFF then a number, for
  // numbers), data version, memory flags, language, version,
  // characteristics; the data follows, both padded to 4 bytes.
  for (size_t at = 0; at + 32 <= file.size();) {
    uint32_t dataSize = Get32(file, at), headerSize = Get32(file, at + 4);
    if (headerSize != 32 || at + headerSize + dataSize > file.size()) {
      *why = "a .res entry named by a string, or cut short";
      return false;
    }
    if (Get16(file, at + 8) != 0xFFFF || Get16(file, at + 12) != 0xFFFF) {
      *why = "a .res entry named by a string";
      return false;
    }
    Resource resource;
    resource.type = Get16(file, at + 10);
    resource.name = Get16(file, at + 14);
    resource.language = Get16(file, at + 22);
    const auto data =
        file.begin() + static_cast<std::ptrdiff_t>(at + headerSize);
    resource.data.assign(data, data + static_cast<std::ptrdiff_t>(dataSize));
    if (resource.type != 0) { // the empty entry a .res file begins with
      resources->push_back(resource);
    }
    at += headerSize + (dataSize + 3) / 4 * 4;
  }
  return true;
}

std::vector<uint8_t> ResourceSection(const std::vector<Resource> &resources,
                                     uint32_t rva) {
  std::map<uint16_t, std::map<uint16_t, std::map<uint16_t, const Resource *>>>
      tree;
  for (const Resource &r : resources) {
    tree[r.type][r.name][r.language] = &r;
  }
  // Laid out level by level: the root, the type directories, the name
  // directories, the data entries, the data.
  uint32_t typesAt = 16 + 8 * static_cast<uint32_t>(tree.size());
  uint32_t namesAt = typesAt, entriesAt = 0, leaves = 0;
  for (const auto &[type, names] : tree) {
    namesAt += 16 + 8 * static_cast<uint32_t>(names.size());
  }
  entriesAt = namesAt;
  for (const auto &[type, names] : tree) {
    for (const auto &[name, languages] : names) {
      entriesAt += 16 + 8 * static_cast<uint32_t>(languages.size());
      leaves += static_cast<uint32_t>(languages.size());
    }
  }
  uint32_t dataAt = entriesAt + 16 * leaves;

  std::vector<uint8_t> out;
  PutDirectory(&out, static_cast<uint16_t>(tree.size()));
  uint32_t next = typesAt;
  for (const auto &[type, names] : tree) {
    Put32(&out, type);
    Put32(&out, kSubdirectory | next);
    next += 16 + 8 * static_cast<uint32_t>(names.size());
  }
  for (const auto &[type, names] : tree) {
    PutDirectory(&out, static_cast<uint16_t>(names.size()));
    for (const auto &[name, languages] : names) {
      Put32(&out, name);
      Put32(&out, kSubdirectory | next);
      next += 16 + 8 * static_cast<uint32_t>(languages.size());
    }
  }
  uint32_t entry = entriesAt;
  for (const auto &[type, names] : tree) {
    for (const auto &[name, languages] : names) {
      PutDirectory(&out, static_cast<uint16_t>(languages.size()));
      for (const auto &[language, resource] : languages) {
        Put32(&out, language);
        Put32(&out, entry);
        entry += 16;
      }
    }
  }
  uint32_t data = dataAt;
  for (const auto &[type, names] : tree) {
    for (const auto &[name, languages] : names) {
      for (const auto &[language, resource] : languages) {
        Put32(&out, rva + data);
        Put32(&out, static_cast<uint32_t>(resource->data.size()));
        Put32(&out, 0); // code page
        Put32(&out, 0);
        data += (static_cast<uint32_t>(resource->data.size()) + 3) / 4 * 4;
      }
    }
  }
  for (const auto &[type, names] : tree) {
    for (const auto &[name, languages] : names) {
      for (const auto &[language, resource] : languages) {
        out.insert(out.end(), resource->data.begin(), resource->data.end());
        out.resize((out.size() + 3) / 4 * 4, 0);
      }
    }
  }
  return out;
}

} // namespace pe
