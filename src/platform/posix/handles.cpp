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
pthread_once_t forkHandlersOnce = PTHREAD_ONCE_INIT;

void LockBeforeFork() { pthread_mutex_lock(&tableLock); }
void UnlockInParent() { pthread_mutex_unlock(&tableLock); }

// The threads that held uses are not in the child: their uses end here, and
// an entry that was only waiting for them is closed.
void UnlockInChild() {
  for (Entry &entry : table) {
    entry.uses = 0;
    if (entry.inUse && entry.closing) {
      CloseDescriptor(&entry.descriptor);
      entry.inUse = false;
      entry.closing = false;
    }
  }
  pthread_mutex_unlock(&tableLock);
}

// Registered at the first use of the lock rather than at load, so that
// nothing runs when the library is loaded; glibc drops them at dlclose.
void RegisterForkHandlers() {
  pthread_atfork(LockBeforeFork, UnlockInParent, UnlockInChild);
}

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

LayerLock::LayerLock() {
  pthread_once(&forkHandlersOnce, RegisterForkHandlers);
  pthread_mutex_lock(&tableLock);
}

LayerLock::~LayerLock() { pthread_mutex_unlock(&tableLock); }

HANDLE AdoptDescriptor(const FileRecord &descriptor) {
  LayerLock lock;
  for (unsigned i = 0; i < kTableSize; ++i) {
    if (!table[i].inUse) {
      table[i].inUse = true;
      table[i].uses = 0;
      table[i].descriptor = descriptor;
      table[i].generation = (table[i].generation + 1) & 0xFFFFFFu;
      return HandleFor(i);
    }
  }
  return INVALID_HANDLE_VALUE;
}

FileRecord *BeginUse(HANDLE handle) {
  LayerLock lock;
  Entry *entry = EntryFor(handle);
  if (entry == nullptr || entry->closing) {
    return nullptr;
  }
  ++entry->uses;
  return &entry->descriptor;
}

void EndUse(HANDLE handle) {
  FileRecord toClose;
  bool done = false;
  {
    LayerLock lock;
    Entry *entry = EntryFor(handle);
    if (entry != nullptr && entry->uses > 0) {
      --entry->uses;
      done = FreeIfDone(entry, &toClose);
    }
  }
  if (done) {
    CloseDescriptor(&toClose);
  }
}

bool CloseEntry(HANDLE handle) {
  FileRecord toClose;
  bool named = false;
  bool done = false;
  {
    LayerLock lock;
    Entry *entry = EntryFor(handle);
    named = entry != nullptr && !entry->closing;
    if (named) {
      entry->closing = true;
      done = FreeIfDone(entry, &toClose);
    }
  }
  if (done) {
    CloseDescriptor(&toClose);
  }
  return named;
}

void MarkHungUp(FileRecord *descriptor) {
  LayerLock lock;
  descriptor->hungUp = true;
}

bool IsHungUp(FileRecord *descriptor) {
  LayerLock lock;
  return descriptor->hungUp;
}

void SetTimeouts(FileRecord *descriptor, const COMMTIMEOUTS &timeouts) {
  LayerLock lock;
  descriptor->timeouts = timeouts;
}

COMMTIMEOUTS TimeoutsOf(FileRecord *descriptor) {
  LayerLock lock;
  return descriptor->timeouts;
}
