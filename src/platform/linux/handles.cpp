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
  FileRecord descriptor; // first: a use's record is its entry
  unsigned refs;         // 0: free; else the open itself and each use
  bool closing;          // CloseHandle came: no new use
  uint32_t generation;
};

Entry table[kTableSize];
pthread_mutex_t tableLock = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t forkHandlersOnce = PTHREAD_ONCE_INIT;

// Drops a reference; the last closes the descriptor, outside the lock.
void Release(Entry *entry) {
  FileRecord done;
  {
    LayerLock lock;
    if (--entry->refs > 0) {
      return;
    }
    done = entry->descriptor;
    entry->closing = false;
  }
  CloseDescriptor(&done);
}

void LockBeforeFork() { pthread_mutex_lock(&tableLock); }
void UnlockInParent() { pthread_mutex_unlock(&tableLock); }

// The threads that held uses are not in the child: their uses end, and an
// entry that waited only for them is closed.
void UnlockInChild() {
  for (Entry &entry : table) {
    if (entry.refs > 0 && entry.closing) {
      CloseDescriptor(&entry.descriptor);
      entry.closing = false;
      entry.refs = 0;
    }
    entry.refs = entry.refs > 0 ? 1 : 0; // the open's own
  }
  pthread_mutex_unlock(&tableLock);
}

HANDLE HandleFor(unsigned index) {
  // The low byte is index + 1: never 0, never all ones.
  uintptr_t value =
      (uintptr_t{table[index].generation} << kIndexBits) | (index + 1u);
  return HANDLE_FROM_VALUE(value);
}

// Call with the lock held: the open entry a handle names, or null.
Entry *EntryFor(HANDLE handle) {
  uintptr_t index = (reinterpret_cast<uintptr_t>(handle) & 0xFF) - 1;
  if (index >= kTableSize || table[index].refs == 0 || table[index].closing ||
      HandleFor(static_cast<unsigned>(index)) != handle) {
    return nullptr;
  }
  return &table[index];
}

} // namespace

// The fork handlers go in at the lock's first use (nothing runs at load),
// and before anyone can hold it: a fork while it is held without them
// would leave the child a lock no one releases.
LayerLock::LayerLock() {
  pthread_once(&forkHandlersOnce, [] {
    pthread_atfork(LockBeforeFork, UnlockInParent, UnlockInChild);
  });
  pthread_mutex_lock(&tableLock);
}

LayerLock::~LayerLock() { pthread_mutex_unlock(&tableLock); }

HANDLE AdoptDescriptor(const FileRecord &descriptor) {
  LayerLock lock;
  for (unsigned i = 0; i < kTableSize; ++i) {
    if (table[i].refs == 0) {
      table[i].refs = 1;
      table[i].descriptor = descriptor;
      table[i].generation = (table[i].generation + 1) & 0xFFFFFFu;
      return HandleFor(i);
    }
  }
  return INVALID_HANDLE_VALUE;
}

HandleUse::HandleUse(HANDLE handle) : record_(nullptr) {
  LayerLock lock;
  Entry *entry = EntryFor(handle);
  if (entry != nullptr) {
    ++entry->refs;
    record_ = &entry->descriptor;
  }
}

HandleUse::~HandleUse() {
  if (record_ != nullptr) {
    Release(reinterpret_cast<Entry *>(record_));
  }
}

// The open's own reference keeps the entry until Release drops it.
bool CloseEntry(HANDLE handle) {
  Entry *entry;
  {
    LayerLock lock;
    entry = EntryFor(handle);
    if (entry == nullptr) {
      return false;
    }
    entry->closing = true;
  }
  Release(entry);
  return true;
}

bool IsAnOpenPort(const struct stat &status) {
  for (const Entry &entry : table) {
    const FileRecord &port = entry.descriptor;
    if (entry.refs > 0 && port.isPort &&
        ((port.node.st_dev == status.st_dev &&
          port.node.st_ino == status.st_ino) ||
         (S_ISCHR(port.node.st_mode) && S_ISCHR(status.st_mode) &&
          port.node.st_rdev == status.st_rdev))) {
      return true;
    }
  }
  return false;
}
