// SPDX-License-Identifier: MIT
#include "handles.h"

#include <pthread.h>
#include <stdint.h>

namespace {

// A host holds one port and, inside GPSWrite, one capture file.
constexpr unsigned kTableSize = 16;
constexpr unsigned kIndexBits = 8;

struct Entry {
  FileRecord descriptor;
  bool inUse;   // taken: the descriptor is open
  bool closing; // CloseHandle came: no new use, closed after the last
  unsigned uses;
  uint32_t generation;
};

Entry table[kTableSize];
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;

HANDLE HandleFor(unsigned index) {
  // The low byte is index + 1 (1..16): never 0 and never all ones.
  uintptr_t value =
      (uintptr_t{table[index].generation} << kIndexBits) | (index + 1u);
  return reinterpret_cast<HANDLE>(value);
}

// Call with the lock held.
Entry *EntryFor(HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  uintptr_t index = (value & ((1u << kIndexBits) - 1)) - 1;
  if (index >= kTableSize || !table[index].inUse ||
      HandleFor(static_cast<unsigned>(index)) != handle) {
    return nullptr;
  }
  return &table[index];
}

// Call with the lock held. Frees a closing entry whose last use has ended
// and hands its descriptor back to be closed outside the lock (a terminal's
// close may wait for its output to drain).
bool FreeIfDone(Entry *entry, FileRecord *toClose) {
  if (!entry->closing || entry->uses > 0) {
    return false;
  }
  *toClose = entry->descriptor;
  entry->inUse = false;
  entry->closing = false;
  return true;
}

} // namespace

HANDLE AdoptDescriptor(const FileRecord &descriptor) {
  HANDLE handle = INVALID_HANDLE_VALUE;
  pthread_mutex_lock(&tableLock);
  for (unsigned i = 0; i < kTableSize; ++i) {
    if (!table[i].inUse) {
      table[i].inUse = true;
      table[i].uses = 0;
      table[i].descriptor = descriptor;
      table[i].generation = (table[i].generation + 1) & 0xFFFFFFu;
      handle = HandleFor(i);
      break;
    }
  }
  pthread_mutex_unlock(&tableLock);
  return handle;
}

FileRecord *BeginUse(HANDLE handle) {
  pthread_mutex_lock(&tableLock);
  Entry *entry = EntryFor(handle);
  if (entry != nullptr && entry->closing) {
    entry = nullptr;
  }
  if (entry != nullptr) {
    ++entry->uses;
  }
  pthread_mutex_unlock(&tableLock);
  return entry == nullptr ? nullptr : &entry->descriptor;
}

void EndUse(HANDLE handle) {
  FileRecord toClose;
  pthread_mutex_lock(&tableLock);
  Entry *entry = EntryFor(handle);
  bool done = false;
  if (entry != nullptr && entry->uses > 0) {
    --entry->uses;
    done = FreeIfDone(entry, &toClose);
  }
  pthread_mutex_unlock(&tableLock);
  if (done) {
    CloseDescriptor(&toClose);
  }
}

bool CloseEntry(HANDLE handle) {
  FileRecord toClose;
  pthread_mutex_lock(&tableLock);
  Entry *entry = EntryFor(handle);
  bool named = entry != nullptr && !entry->closing;
  bool done = false;
  if (named) {
    entry->closing = true;
    done = FreeIfDone(entry, &toClose);
  }
  pthread_mutex_unlock(&tableLock);
  if (done) {
    CloseDescriptor(&toClose);
  }
  return named;
}

void MarkHungUp(FileRecord *descriptor) {
  pthread_mutex_lock(&tableLock);
  descriptor->hungUp = true;
  pthread_mutex_unlock(&tableLock);
}

bool IsHungUp(FileRecord *descriptor) {
  pthread_mutex_lock(&tableLock);
  bool hungUp = descriptor->hungUp;
  pthread_mutex_unlock(&tableLock);
  return hungUp;
}

void SetTimeouts(FileRecord *descriptor, const COMMTIMEOUTS &timeouts) {
  pthread_mutex_lock(&tableLock);
  descriptor->timeouts = timeouts;
  pthread_mutex_unlock(&tableLock);
}

COMMTIMEOUTS TimeoutsOf(FileRecord *descriptor) {
  pthread_mutex_lock(&tableLock);
  COMMTIMEOUTS timeouts = descriptor->timeouts;
  pthread_mutex_unlock(&tableLock);
  return timeouts;
}
