// The descriptors this layer opened, and the handles that name them.
//
// A handle is never a descriptor number: it names an entry of a small table
// and carries that entry's generation. A value this layer did not hand out,
// or one whose entry was closed and reused, names nothing, so no call can
// reach a descriptor the library does not own (standard input included).
#pragma once

#include <sys/types.h>

#include "platform.h"

// Room for any port name the core passes on (99 UTF-16 units as UTF-8).
constexpr size_t kPortPathBytes = 512;

struct OpenDescriptor {
  int fd;           // -1 once a port's line has hung up
  bool waitsOnLine; // a port or pipe: reads follow kPortReadTimeouts
  bool exclusive;   // flock and TIOCEXCL to undo on close
  pid_t holder;     // the process that took them: only it gives them up
  // A port keeps its path and its last settings, to come back on its own
  // when the receiver is plugged in again. Empty for everything else.
  char path[kPortPathBytes];
  bool hasSettings;
  DCB settings;
};

// Returns the new handle, or INVALID_HANDLE_VALUE when the table is full (the
// caller still owns fd then).
HANDLE AdoptDescriptor(OpenDescriptor descriptor);

// The entry a handle names, or null when it names none.
OpenDescriptor *LookUpHandle(HANDLE handle);

// Forgets the entry and returns what it held; false when the handle names
// none.
bool ReleaseHandle(HANDLE handle, OpenDescriptor *released);
