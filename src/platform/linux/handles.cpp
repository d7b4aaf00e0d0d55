// SPDX-License-Identifier: MIT
#include "handles.h"

#include <pthread.h>
#include <stdint.h>
#include <sys/stat.h>

namespace {

// A host holds one port and, inside GPSWrite, one capture file.
constexpr unsigned kTableSize = 16;
constexpr unsigned kIndexBits = 8;

struct Entry {
  FileRecord descriptor;
  bool inUse;   // the descriptor is open
  bool closing; // CloseHandle came: no new use, closed after the last
  unsigned uses;
  uint32_t generation;
};

Entry table[kTableSize];
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t forkHandlersOnce = PTHREAD_ONCE_INIT;

void LockBeforeFork() { pthread_mutex_lock(&tableLock); }
void UnlockInParent() { pthread_mutex_unlock(&tableLock); }

// The threads that held uses are not in the child: their uses end, and an
// entry that waited only for them is closed.
void UnlockInChild() {
  for (Entry &entry : table) {
    entry.uses = 0;
    if (entry.inUse && entry.closing) {
      CloseDescriptor(&entry.descriptor);
      entry.inUse = entry.closing = false;
    }
  }
  pthread_mutex_unlock(&tableLock);
}

// At the lock's first use rather than at load: nothing runs at load.
void RegisterForkHandlers() {
  pthread_atfork(LockBeforeFork, UnlockInParent, UnlockInChild);
}

HANDLE HandleFor(unsigned index) {
  // The low byte is index + 1: never 0, never all ones.
  uintptr_t value =
      (uintptr_t{table[index].generation} << kIndexBits) | (index + 1u);
  return reinterpret_cast<HANDLE>(value);
}

// Call with the lock held: the open entry a handle names, or null.
Entry *EntryFor(HANDLE handle) {
  uintptr_t index = (reinterpret_cast<uintptr_t>(handle) & 0xFF) - 1;
  if (index >= kTableSize || !table[index].inUse ||
      HandleFor(static_cast<unsigned>(index)) != handle) {
    return nullptr;
  }
  return &table[index];
}

// Ends a use, or with close the entry itself; false when there was none.
// The descriptor is closed outside the lock once a closing entry has no use
// left.
bool Release(HANDLE handle, bool close) {
  FileRecord done;
  {
    LayerLock lock;
    Entry *entry = EntryFor(handle);
    if (entry == nullptr || (close && entry->closing)) {
      return false;
    }
    if (close) {
      entry->closing = true;
    } else {
      --entry->uses;
    }
    if (!entry->closing || entry->uses > 0) {
      return true;
    }
    done = entry->descriptor;
    entry->inUse = entry->closing = false;
  }
  CloseDescriptor(&done);
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

HandleUse::HandleUse(HANDLE handle) : handle_(handle), record_(nullptr) {
  LayerLock lock;
  Entry *entry = EntryFor(handle);
  if (entry != nullptr && !entry->closing) {
    ++entry->uses;
    record_ = &entry->descriptor;
  }
}

HandleUse::~HandleUse() {
  if (record_ != nullptr) {
    Release(handle_, false);
  }
}

bool CloseEntry(HANDLE handle) { return Release(handle, true); }

bool IsAnOpenPort(const struct stat &status) {
  for (const Entry &entry : table) {
    const FileRecord &port = entry.descriptor;
    if (entry.inUse && port.isPort &&
        ((port.device == status.st_dev && port.inode == status.st_ino) ||
         (port.isDevice && S_ISCHR(status.st_mode) &&
          port.node == status.st_rdev))) {
      return true;
    }
  }
  return false;
}
