// SPDX-License-Identifier: MIT
// The library never allocates: this program puts its own allocator in front
// of libc's and counts every allocation made while a library call runs.
#include <atomic>
#include <cstddef>

#include "library_host.h"

extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void Count() {
  if (counting) {
    ++allocations;
  }
}
} // namespace

extern "C" void *malloc(size_t size) {
  Count();
  return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size) {
  Count();
  return __libc_calloc(count, size);
}
extern "C" void *realloc(void *pointer, size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}
extern "C" void *aligned_alloc(size_t alignment, size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}

namespace {

using Allocations = LibraryHost;

template <typename Call> void Counted(Call call) {
  counting = true;
  call();
  counting = false;
}

TEST_F(Allocations, NoneAcrossOpenManyWritesAndClose) {
  allocations = 0;
  Counted([] { free(malloc(1)); });
  ASSERT_EQ(allocations, 1); // the counter sees allocations at all

  allocations = 0;
  std::u16string port = receiver.port();
  std::u16string path = Utf16(dir.File("fix.nmea"));
  Counted([&] { GPSOpen(port.c_str()); });
  for (int block = 0; block < 20; ++block) {
    SendAndSettle("$GPGGA," + std::to_string(block) + "\r\n");
    Counted([&] { GPSWrite(path.c_str()); });
    EXPECT_EQ(ReadWhole(dir.File("fix.nmea")),
              "$GPGGA," + std::to_string(block) + "\r\n");
  }
  Counted([] { GPSClose(); });
  std::printf("allocations by the library: %ld\n", allocations.load());
  EXPECT_EQ(allocations, 0);
}

} // namespace
