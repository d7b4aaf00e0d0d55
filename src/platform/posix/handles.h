// The descriptors this layer opened, and the handles that name them.
//
// A handle is never a descriptor number: it names an entry of a small table
// and carries that entry's generation. A value this layer did not hand out,
// or one whose entry was closed and reused, names nothing, so no call can
// reach a descriptor the library does not own (standard input included).
#pragma once

#include "platform.h"

struct OpenDescriptor {
  int fd;
  bool waitsOnLine; // a port or pipe: reads follow kPortReadTimeouts
  bool exclusive;   // flock and TIOCEXCL to undo on close
};

// Returns the new handle, or INVALID_HANDLE_VALUE when the table is full (the
// caller still owns fd then).
HANDLE AdoptDescriptor(OpenDescriptor descriptor);

// The entry a handle names, or null when it names none.
const OpenDescriptor *LookUpHandle(HANDLE handle);

// Forgets the entry and returns what it held; false when the handle names
// none.
bool ReleaseHandle(HANDLE handle, OpenDescriptor *released);
