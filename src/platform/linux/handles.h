// SPDX-License-Identifier: MIT
// The descriptors this layer opened, and the handles that name them.
//
// A handle is never a descriptor number: it names an entry of a small table
// and carries that entry's generation, so a value this layer did not hand
// out, or one whose entry was closed and reused, names nothing, and no call
// reaches a descriptor the library does not own.
//
// Each call on a handle holds a use of its entry. CloseHandle makes the
// handle name nothing at once; the descriptor is closed when the last use
// ends, so a read in flight on another thread finishes on its own descriptor
// and never on a number the host has been given since. The table's lock is
// never inherited held across fork.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include "platform.h"

struct FileRecord {
  int fd;
  struct stat node; // what fd is, as it was opened
  bool isPort;      // opened as a port: no capture file may be this node
  bool locked;      // the flock and, on a serial device, TIOCEXCL to undo
  bool ttyExclusive;
  pid_t holder; // the process that took them: only it gives them up
  // Shared with other threads' calls: under the lock.
  bool hungUp;
  COMMTIMEOUTS timeouts; // all zero at open, as on Windows
};

// The table's lock, held for the guard's lifetime.
class LayerLock {
public:
  LayerLock();
  ~LayerLock();
  LayerLock(const LayerLock &) = delete;
  LayerLock &operator=(const LayerLock &) = delete;
};

// The new handle, or INVALID_HANDLE_VALUE when the table is full (the
// caller still owns the descriptor then).
HANDLE AdoptDescriptor(const FileRecord &descriptor);

// One use of a handle's entry for the guard's lifetime; record() is null
// when the handle names nothing.
class HandleUse {
public:
  explicit HandleUse(HANDLE handle);
  ~HandleUse();
  HandleUse(const HandleUse &) = delete;
  HandleUse &operator=(const HandleUse &) = delete;
  FileRecord *record() const { return record_; }

private:
  FileRecord *record_;
};

// Makes the handle name nothing; false when it named nothing.
bool CloseEntry(HANDLE handle);

// Whether an open port is the node that status describes. Call with the
// lock held.
bool IsAnOpenPort(const struct stat &status);

// Gives up the hold, in the process that took it, and closes.
void CloseDescriptor(FileRecord *descriptor);
