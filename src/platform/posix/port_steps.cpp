// SPDX-License-Identifier: MIT
// The receiver's port on POSIX: its name resolved once, the pseudo-terminal
// a retry may take, and the one port the layer keeps for it.
//
// GPSOpen resolves the name in the working directory of that moment, as
// bytes: a later chdir, a directory that is not valid UTF-8, or one that a
// wide-character path could not hold changes nothing. A relative name that
// cannot be resolved (a directory beyond the system's path length) is opened
// by GPSOpen as given, and never by a retry.
//
// Pseudo-terminal numbers are reused: the lowest free one goes to the next
// program that asks, often the number a receiver simulator had before it
// stopped. A retry takes a pseudo-terminal only when the name clearly leads
// to it: it is the one GPSOpen found and has not held yet (the port was busy
// then), or the name is a link made at or after the terminal came to be (a
// simulator restarted behind its link re-creates the link after making the
// terminal; a link left over from an earlier terminal is older). A
// pseudo-terminal named directly that hung up is never taken again, and a
// dangling link never adopts the next program's terminal.
//
// The layer keeps at most one port for the receiver. Each GPSOpen starts a
// session and GPSClose ends it; a port that an open of an ended session
// brings back is closed at once, and a newer port replaces an older one, so
// racing calls leave no descriptor behind the last GPSClose.
#include <sys/stat.h>
#include <unistd.h>

#include "devices.h"
#include "names.h"
#include "port_steps.h"

namespace {

struct ReceiverName {
  char path[kPathBytes]; // absolute; empty: no retry opens anything
  bool ptyFound;         // GPSOpen found this pseudo-terminal, not yet held
  struct stat pty;
  unsigned session;
};

// All under the layer lock.
ReceiverName receiverName;
unsigned receiverSession;
HANDLE receiverPort = INVALID_HANDLE_VALUE;

// path made absolute in out; false when it does not fit.
bool Resolve(const char *path, char *out) {
  size_t used = 0;
  if (path[0] != '/') {
    if (getcwd(out, kPathBytes) == nullptr) {
      return false;
    }
    while (out[used] != 0) {
      ++used;
    }
    if (used == 0 || out[used - 1] != '/') {
      out[used++] = '/';
    }
  }
  for (size_t i = 0; path[i] != 0; ++i) {
    if (used + 1 >= kPathBytes) {
      return false;
    }
    out[used++] = path[i];
  }
  out[used] = 0;
  return true;
}

bool NotOlder(const timespec &a, const timespec &b) {
  return a.tv_sec > b.tv_sec ||
         (a.tv_sec == b.tv_sec && a.tv_nsec >= b.tv_nsec);
}

// Whether a retry may take the pseudo-terminal now at the name.
bool LeadsToReceiver(const ReceiverName &name, const struct stat &node) {
  if (name.ptyFound && SameNode(node, name.pty)) {
    return true;
  }
  struct stat link;
  return lstat(name.path, &link) == 0 && S_ISLNK(link.st_mode) &&
         NotOlder(link.st_ctim, node.st_ctim);
}

// Keeps port as the receiver's if its session still runs, closing whatever
// it replaces; otherwise closes it and returns the invalid handle.
HANDLE Keep(HANDLE port, unsigned session) {
  if (port == INVALID_HANDLE_VALUE) {
    return port;
  }
  HANDLE toClose = port;
  {
    LayerLock lock;
    if (session == receiverSession) {
      toClose = receiverPort;
      receiverPort = port;
      receiverName.ptyFound = false;
    }
  }
  if (toClose != INVALID_HANDLE_VALUE) {
    CloseHandle(toClose);
  }
  if (toClose == port) {
    SetLastError(ERROR_FILE_NOT_FOUND); // GPSClose came first
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

HANDLE OpenForReceiver(const char *path, const struct stat *expected) {
  return OpenPath(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                  expected);
}

HANDLE OpenAsNamed(const WCHAR *name) {
  ReceiverName fresh = {};
  char given[kPathBytes];
  if (!PosixPathFromName(name, given, sizeof given)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (!Resolve(given, fresh.path)) {
    fresh.path[0] = 0;
  }
  fresh.ptyFound = stat(given, &fresh.pty) == 0 && IsPseudoTerminal(fresh.pty);
  HANDLE replaced = INVALID_HANDLE_VALUE;
  {
    LayerLock lock;
    fresh.session = ++receiverSession;
    receiverName = fresh;
    replaced = receiverPort;
    receiverPort = INVALID_HANDLE_VALUE;
  }
  if (replaced != INVALID_HANDLE_VALUE) {
    CloseHandle(replaced);
  }
  return Keep(OpenForReceiver(fresh.path[0] != 0 ? fresh.path : given, nullptr),
              fresh.session);
}

HANDLE OpenAgain() {
  ReceiverName name;
  {
    LayerLock lock;
    name = receiverName;
  }
  struct stat node;
  if (name.path[0] == 0 || stat(name.path, &node) != 0) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  if (!IsPseudoTerminal(node)) {
    return Keep(OpenForReceiver(name.path, nullptr), name.session);
  }
  if (!LeadsToReceiver(name, node)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return Keep(OpenForReceiver(name.path, &node), name.session);
}

} // namespace

HANDLE OpenReceiverPort(const WCHAR *name, bool again) {
  return again ? OpenAgain() : OpenAsNamed(name);
}

void ForgetReceiverPort() {
  HANDLE port = INVALID_HANDLE_VALUE;
  {
    LayerLock lock;
    ++receiverSession;
    receiverName.path[0] = 0;
    port = receiverPort;
    receiverPort = INVALID_HANDLE_VALUE;
  }
  if (port != INVALID_HANDLE_VALUE) {
    CloseHandle(port);
  }
}
