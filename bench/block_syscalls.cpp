// SPDX-License-Identifier: MIT
// One block at a time, between two marker system calls, for syscalls.sh to
// count under strace what GPSWrite makes and what the same work by hand
// makes:
//
//   block_syscalls library|raw SIZE BLOCKS
#include <cstdlib>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

#include "ports.h"

namespace {

// A call nothing else here makes: strace shows where a block begins and
// ends.
void Mark() { syscall(SYS_getppid); }

template <typename Port> int Run(size_t size, int blocks) {
  Port port;
  const std::string block = Pattern(size);
  for (int i = 0; i < blocks; ++i) {
    if (!Feed(port.line.master(), block)) {
      return 1;
    }
    Mark();
    port.Capture();
    Mark();
  }
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    return 2;
  }
  const std::string kind = argv[1];
  const size_t size = std::strtoul(argv[2], nullptr, 10);
  const int blocks = std::atoi(argv[3]);
  int status = kind == "library" ? Run<LibraryPort>(size, blocks)
                                 : Run<RawPort>(size, blocks);
  unlink(kCapture.c_str());
  return status;
}
