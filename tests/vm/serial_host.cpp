// SPDX-License-Identifier: MIT
// The host program inside the test machine: it loads libTolvaneGPS.so with
// dlopen, as a host does, and follows the rig's commands on its console, in
// the dialect of the Windows hosts (tests/dll_host.h) where the two meet.
// Answers start with "@ " so that the rig can tell them from the kernel's
// messages and the console's echo.
//
//   o PORT         GPSOpen(PORT)              "@ opened"
//   w NAME         GPSWrite(/out/NAME)        "@ wrote NAME MS CPU_MS"
//   c              GPSClose()                 "@ closed"
//   quit           ends                       "@ bye"
//
// The port is named with each o, since the rig opens more than one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/resource.h>
#include <time.h>

namespace {

using NameCall = int (*)(const char16_t *);

// ASCII names only, which is all the rig uses.
void Wide(const char *text, char16_t *out, size_t size) {
  size_t i = 0;
  for (; text[i] != 0 && i + 1 < size; ++i) {
    out[i] = static_cast<unsigned char>(text[i]);
  }
  out[i] = 0;
}

double NowMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

double CpuMs() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

} // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  void *library = dlopen("/libTolvaneGPS.so.1", RTLD_NOW);
  if (library == nullptr) {
    std::printf("@ FAIL %s\n", dlerror());
    return 1;
  }
  auto gpsOpen = reinterpret_cast<NameCall>(dlsym(library, "GPSOpen"));
  auto gpsWrite = reinterpret_cast<NameCall>(dlsym(library, "GPSWrite"));
  auto gpsClose = reinterpret_cast<int (*)()>(dlsym(library, "GPSClose"));
  std::printf("@ ready\n");
  for (char line[256]; std::fgets(line, sizeof line, stdin) != nullptr;) {
    line[std::strcspn(line, "\r\n")] = 0;
    char word[16] = {}, arg[200] = {};
    char16_t wide[200];
    std::sscanf(line, "%15s %199s", word, arg);
    if (std::strcmp(word, "o") == 0) {
      Wide(arg, wide, 200);
      gpsOpen(wide);
      std::printf("@ opened\n");
    } else if (std::strcmp(word, "w") == 0) {
      char path[220];
      std::snprintf(path, sizeof path, "/out/%s", arg);
      Wide(path, wide, 200);
      double start = NowMs(), cpu = CpuMs();
      gpsWrite(wide);
      std::printf("@ wrote %s %.0f %.2f\n", arg, NowMs() - start,
                  CpuMs() - cpu);
    } else if (std::strcmp(word, "c") == 0) {
      gpsClose();
      std::printf("@ closed\n");
    } else if (std::strcmp(word, "quit") == 0) {
      std::printf("@ bye\n");
      return 0;
    }
  }
  return 0;
}
