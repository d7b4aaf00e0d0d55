// SPDX-License-Identifier: MIT
// Resources for a CE image's .rsrc, read from the .res file a resource
// compiler makes of the same .rc the desktop builds link.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pe {

struct Resource {
  uint16_t type = 0; // numeric identifiers only: 16 is a version resource
  uint16_t name = 0;
  uint16_t language = 0;
  std::vector<uint8_t> data;
};

// The resources of a .res file; false and the reason for anything else, or
// for a resource named by a string.
bool ReadResFile(const std::vector<uint8_t> &file,
                 std::vector<Resource> *resources, std::string *why);

// The .rsrc section's content at rva: the type, name and language
// directories, their data entries, then the data.
std::vector<uint8_t> ResourceSection(const std::vector<Resource> &resources,
                                     uint32_t rva);

} // namespace pe
