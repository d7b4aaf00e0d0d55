// SPDX-License-Identifier: MIT
// The receiver's port on Linux: its name resolved once, the pseudo-terminal
// a retry may take, and the one port the layer keeps for it.
//
// GPSOpen resolves the name in the working directory of that moment, as
// bytes, so a later chdir changes nothing.
//
// Pseudo-terminal numbers go to whoever asks next, often the number a
// receiver's program had before it stopped, so a retry takes a
// pseudo-terminal only when the host's name leads to it:
// - it is the one GPSOpen found and has not held yet (held elsewhere then):
//   the node GPSOpen saw, still linked; or
// - a link along the name is a different link from the one that last led to
//   the receiver: a program restarted behind its link made it anew.
// A link is told by its file handle, which carries ext4's inode generation,
// or where a filesystem has none by device, inode and birth time: never by
// its times, which touch, rename, chown and clock steps all move. A link
// appearing where GPSOpen found none is new; where neither handle nor birth
// time exists, a re-made link cannot be told from a touched one, and is
// refused. Other devices are reopened by name.
//
// The layer owns the receiver's port. Each GPSOpen starts a session and
// GPSClose ends it; a port that an open of an ended session brings back is
// closed at once, and a newer port replaces an older one, so racing calls
// leave no descriptor behind the last GPSClose.
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "handles.h"
#include "layer.h"
#include "names.h"
#include "port_steps.h"

namespace {

constexpr unsigned kChainLinks = 8;
constexpr unsigned kHandleBytes = 64;

// What a link is, whatever its times say: the bytes of its file handle and
// mount id, or of its device, inode and birth time; none when unknown.
struct LinkIdentity {
  unsigned bytes;
  unsigned char data[sizeof(file_handle) + kHandleBytes + sizeof(int)];
};

struct LinkChain {
  unsigned count; // links from the name on, to the node they lead to
  LinkIdentity links[kChainLinks];
};

struct ReceiverName {
  char path[kPathBytes]; // absolute; empty: no retry opens anything
  int foundPty;          // 1 + the pseudo-terminal GPSOpen found (O_PATH), or 0
  LinkChain chain;       // the links that last led to the receiver
  unsigned session;
};

// All under the layer lock.
ReceiverName receiverName;
unsigned receiverSession;
HANDLE receiverPort = INVALID_HANDLE_VALUE;

constexpr unsigned kStatxInode = 0x100, kStatxBirth = 0x800;

LinkIdentity IdentityOf(const char *link) {
  LinkIdentity id = {};
  alignas(file_handle) unsigned char handle[sizeof(file_handle) + kHandleBytes];
  auto *header = reinterpret_cast<file_handle *>(handle);
  header->handle_bytes = kHandleBytes;
  int mount;
  // Flags 0: the link itself, not what it leads to.
  if (name_to_handle_at(AT_FDCWD, link, header, &mount, 0) == 0) {
    id.bytes = sizeof(file_handle) + header->handle_bytes;
    memcpy(id.data, handle, id.bytes);
    memcpy(id.data + id.bytes, &mount, sizeof mount);
    id.bytes += sizeof mount;
    return id;
  }
  // statx(2)'s record as the kernel lays it out, for C libraries without a
  // wrapper: the mask first, the inode at byte 32, the birth time at 80 and
  // the device at 136.
  uint32_t record[64];
  if (syscall(SYS_statx, AT_FDCWD, link, AT_SYMLINK_NOFOLLOW,
              kStatxInode | kStatxBirth, record) == 0 &&
      (record[0] & kStatxBirth) != 0) {
    memcpy(id.data, record + 8, 8);
    memcpy(id.data + 8, record + 20, 16);
    memcpy(id.data + 24, record + 34, 8);
    id.bytes = 32;
  }
  return id;
}

// Known to be another file; an unknown identity is never known to differ.
bool Differs(const LinkIdentity &a, const LinkIdentity &b) {
  return a.bytes != 0 && b.bytes != 0 &&
         (a.bytes != b.bytes || memcmp(a.data, b.data, a.bytes) != 0);
}

// The links from path on, hop by hop, to the first name that is no link.
LinkChain ChainAt(const char *path) {
  LinkChain chain = {};
  char at[kPathBytes], target[kPathBytes];
  memcpy(at, path, strlen(path) + 1); // every path here fits kPathBytes
  struct stat status;
  while (lstat(at, &status) == 0 && S_ISLNK(status.st_mode)) {
    if (chain.count == kChainLinks) {
      chain.links[kChainLinks - 1].bytes = 0; // too long to tell
      return chain;
    }
    chain.links[chain.count++] = IdentityOf(at);
    const ssize_t length = readlink(at, target, sizeof target);
    // A relative target is relative to the link's folder.
    const char *slash = strrchr(at, '/');
    const size_t folder =
        length > 0 && target[0] != '/' && slash != nullptr ? slash - at + 1 : 0;
    if (length <= 0 || folder + length >= sizeof at) {
      return chain;
    }
    memcpy(at + folder, target, length);
    at[folder + length] = 0;
  }
  return chain;
}

// Whether a link along the name is not the one that last led there.
bool HasNewLink(const LinkChain &now, const LinkChain &last) {
  for (unsigned i = 0; i < now.count; ++i) {
    if (i >= last.count || Differs(now.links[i], last.links[i])) {
      return true;
    }
  }
  return false;
}

// The pseudo-terminal GPSOpen found is still the one at path: its node
// keeps its number, but loses its last link when the terminal is freed.
bool IsTheFoundTerminal(int found, const struct stat &node) {
  struct stat then;
  return found > 0 && fstat(found - 1, &then) == 0 && then.st_nlink > 0 &&
         then.st_ino == node.st_ino && then.st_dev == node.st_dev;
}

// path made absolute in out, or out empty when it does not fit.
void Resolve(const char *path, char *out) {
  size_t used = 0;
  if (path[0] != '/' && getcwd(out, kPathBytes) != nullptr) {
    used = strlen(out);
    out[used++] = '/'; // "//name" in the root folder: the same path
  }
  const size_t length = strlen(path);
  if ((path[0] != '/' && used == 0) || used + length >= kPathBytes) {
    out[0] = 0;
    return;
  }
  memcpy(out + used, path, length + 1);
}

// Closes, outside the lock, what a session let go of.
void LetGo(int foundPty, HANDLE port) {
  if (foundPty > 0) {
    close(foundPty - 1);
  }
  if (port != INVALID_HANDLE_VALUE) {
    CloseHandle(port);
  }
}

// Opens the receiver's port, held alone, and keeps it if its session still
// runs, closing whatever it replaces, with the links that led to it;
// otherwise closes it.
HANDLE OpenAndKeep(const char *path, unsigned session, const LinkChain &chain) {
  HANDLE port = OpenPath(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  if (port == INVALID_HANDLE_VALUE) {
    return port;
  }
  HANDLE replaced = port;
  int found = 0;
  {
    LayerLock lock;
    if (session == receiverSession) {
      replaced = receiverPort;
      receiverPort = port;
      receiverName.chain = chain;
      found = receiverName.foundPty; // held now
      receiverName.foundPty = 0;
    }
  }
  LetGo(found, replaced);
  if (replaced == port) {
    SetLastError(ERROR_FILE_NOT_FOUND); // GPSClose came first
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

// Starts a session for the name, closing what the last one kept.
void StartSession(ReceiverName *fresh) {
  HANDLE replaced;
  int found;
  {
    LayerLock lock;
    fresh->session = ++receiverSession;
    found = receiverName.foundPty;
    receiverName = *fresh;
    replaced = receiverPort;
    receiverPort = INVALID_HANDLE_VALUE;
  }
  LetGo(found, replaced);
}

HANDLE OpenAsNamed(const WCHAR *name) {
  char given[kPathBytes];
  if (!PosixPathFromName(name, given, sizeof given)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  ReceiverName fresh = {};
  Resolve(given, fresh.path);
  const char *path = fresh.path[0] != 0 ? fresh.path : given;
  fresh.chain = ChainAt(path);
  struct stat node;
  if (stat(path, &node) == 0 && IsPseudoTerminal(node)) {
    fresh.foundPty = 1 + AboveStandardStreams(open(path, O_PATH | O_CLOEXEC));
  }
  StartSession(&fresh);
  return OpenAndKeep(path, fresh.session, fresh.chain);
}

HANDLE OpenAgain() {
  ReceiverName name;
  {
    LayerLock lock;
    name = receiverName;
  }
  struct stat node;
  const LinkChain chain = ChainAt(name.path);
  if (name.path[0] == 0 || stat(name.path, &node) != 0 ||
      (IsPseudoTerminal(node) && !IsTheFoundTerminal(name.foundPty, node) &&
       !HasNewLink(chain, name.chain))) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  return OpenAndKeep(name.path, name.session, chain);
}

} // namespace

HANDLE OpenReceiverPort(const WCHAR *name, bool again) {
  return again ? OpenAgain() : OpenAsNamed(name);
}

void CloseReceiverPort(HANDLE port) {
  {
    LayerLock lock;
    if (port != receiverPort) {
      return; // a newer port replaced it, and closed it then
    }
    receiverPort = INVALID_HANDLE_VALUE;
  }
  CloseHandle(port);
}

void ForgetReceiverPort() {
  static ReceiverName none;
  StartSession(&none);
}
