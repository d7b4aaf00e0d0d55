#include "handles.h"

#include <stdint.h>

namespace {

// A host holds one port and, inside GPSWrite, one capture file.
constexpr unsigned kTableSize = 16;
constexpr unsigned kIndexBits = 8;

struct Entry {
  OpenDescriptor descriptor;
  bool inUse;
  uint32_t generation;
};

Entry table[kTableSize];

HANDLE HandleFor(unsigned index) {
  // The low byte is index + 1 (1..16): never 0 and never all ones.
  uintptr_t value =
      (uintptr_t{table[index].generation} << kIndexBits) | (index + 1u);
  return reinterpret_cast<HANDLE>(value);
}

Entry *EntryFor(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  uintptr_t index = (value & ((1u << kIndexBits) - 1)) - 1;
  if (index >= kTableSize || !table[index].inUse ||
      HandleFor(static_cast<unsigned>(index)) != handle) {
    return nullptr;
  }
  return &table[index];
}

} // namespace

HANDLE AdoptDescriptor(OpenDescriptor descriptor) {
  for (unsigned i = 0; i < kTableSize; ++i) {
    if (!table[i].inUse) {
      table[i].inUse = true;
      table[i].descriptor = descriptor;
      table[i].generation = (table[i].generation + 1) & 0xFFFFFFu;
      return HandleFor(i);
    }
  }
  return INVALID_HANDLE_VALUE;
}

OpenDescriptor *LookUpHandle(HANDLE handle) {
  Entry *entry = EntryFor(handle);
  return entry == nullptr ? nullptr : &entry->descriptor;
}

bool ReleaseHandle(HANDLE handle, OpenDescriptor *released) {
  Entry *entry = EntryFor(handle);
  if (entry == nullptr) {
    return false;
  }
  *released = entry->descriptor;
  entry->inUse = false;
  return true;
}
