// SPDX-License-Identifier: MIT
// The descriptors this layer opened, and the handles that name them.
//
// A handle is never a descriptor number: it names an entry of a small table
// and carries that entry's generation. A value this layer did not hand out,
// or one whose entry was closed and reused, names nothing, so no call can
// reach a descriptor the library does not own (standard input included).
//
// The table is the layer's own, kept as an operating system keeps its
// handles: entries are taken and freed under a lock, and each call on a
// handle holds a use of its entry. CloseHandle makes the handle name nothing
// at once, but the descriptor is closed only when the last use ends, so a
// read in flight on another thread goes on with its own descriptor and never
// with a number the host has been given since.
//
// The lock is never inherited held: a fork waits until no thread holds it,
// and the child, whose only thread is the one that forked, ends the uses of
// threads it does not have, so its own calls complete as in any process.
#pragma once

#include <sys/types.h>

#include "platform.h"

// What the layer knows of one descriptor it opened.
struct FileRecord {
  int fd;
  bool isLine; // not a regular file: a port or a pipe, read with time-outs
  bool locked; // flock to undo on close
  bool ttyExclusive;     // TIOCEXCL to undo on close
  pid_t holder;          // the process that took them: only it gives them up
  bool hungUp;           // the line went away: reads fail from now on
  COMMTIMEOUTS timeouts; // all zero at open, as on Windows
};

// The layer's one lock, held for the guard's lifetime. Nothing that can
// block for long runs under it.
class LayerLock {
public:
  LayerLock();
  ~LayerLock();
  LayerLock(const LayerLock &) = delete;
  LayerLock &operator=(const LayerLock &) = delete;
};

// Returns the new handle, or INVALID_HANDLE_VALUE when the table is full (the
// caller still owns fd then).
HANDLE AdoptDescriptor(const FileRecord &descriptor);

// The entry a handle names, held until EndUse; null when the handle names
// none or was closed.
FileRecord *BeginUse(HANDLE handle);
void EndUse(HANDLE handle);

// One use of a handle's entry, held for the guard's lifetime; record() is
// null when the handle names no entry or its entry is closing.
class HandleUse {
public:
  explicit HandleUse(HANDLE handle)
      : handle_(handle), record_(BeginUse(handle)) {}
  ~HandleUse() {
    if (record_ != nullptr) {
      EndUse(handle_);
    }
  }
  HandleUse(const HandleUse &) = delete;
  HandleUse &operator=(const HandleUse &) = delete;
  FileRecord *record() const { return record_; }

private:
  HANDLE handle_;
  FileRecord *record_;
};

// Makes the handle name nothing from now on; its descriptor is closed when
// the last use ends. False when the handle named nothing.
bool CloseEntry(HANDLE handle);

// The read time-outs, kept under the table's lock since another thread may
// be reading with them.
void SetTimeouts(FileRecord *descriptor, const COMMTIMEOUTS &timeouts);
COMMTIMEOUTS TimeoutsOf(FileRecord *descriptor);

// Records that the entry's line went away.
void MarkHungUp(FileRecord *descriptor);
bool IsHungUp(FileRecord *descriptor);

// Closes the descriptor, giving up the hold in the process that took it.
void CloseDescriptor(FileRecord *descriptor);
