// SPDX-License-Identifier: MIT
// The built libTolvaneGPS.so as a host meets it: loaded at run time, bound by
// name, and what its dynamic section promises.
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "TolvaneGPS.h"
#include "test_support.h"

namespace {

std::set<std::string> Words(const std::string &command) {
  std::istringstream lines(RunCommand(command));
  std::set<std::string> words;
  for (std::string word; lines >> word;) {
    words.insert(word);
  }
  return words;
}

// Runs in a fresh child, so the library loads with its slot at 0.
int WriteAndCloseBeforeOpenLeaveStandardInputAlone(const std::string &path) {
  int feed[2];
  if (pipe(feed) != 0 || dup2(feed[0], 0) != 0 ||
      write(feed[1], "host input", 10) != 10) {
    return 10;
  }
  void *library = dlopen(TOLVANE_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    return 11;
  }
  auto gpsWrite = reinterpret_cast<GPSWriteProc>(dlsym(library, "GPSWrite"));
  auto gpsClose = reinterpret_cast<GPSCloseProc>(dlsym(library, "GPSClose"));
  auto gpsOpen = reinterpret_cast<GPSOpenProc>(dlsym(library, "GPSOpen"));
  if (gpsWrite == nullptr || gpsClose == nullptr || gpsOpen == nullptr) {
    return 12;
  }
  std::u16string file = Utf16(path);
  if (gpsWrite(file.c_str()) != 999 || gpsClose() != 999) {
    return 13;
  }
  if (!Exists(path) || !ReadWhole(path).empty()) {
    return 14;
  }
  char input[16] = {};
  if (fcntl(0, F_GETFD) != 0 || read(0, input, sizeof input) != 10) {
    return 15; // standard input was closed or read
  }
  return std::string(input) == "host input" ? 0 : 16;
}

TEST(HostView, WriteAndCloseBeforeAnyOpenTouchNothingButTheFile) {
  TempDir dir;
  EXPECT_EXIT(
      std::exit(WriteAndCloseBeforeOpenLeaveStandardInputAlone(dir.File("f"))),
      testing::ExitedWithCode(0), "");
}

TEST(HostView, ExportsTheThreeCallsAndTheNamedItemsAndNothingElse) {
  EXPECT_EQ(Words("nm -D --defined-only --format=just-symbols " +
                  std::string(TOLVANE_LIBRARY_FILE)),
            (std::set<std::string>{
                "GPSClose", "GPSOpen", "GPSWrite",
                "_ZN11CTolvaneGPSC1Ev",    // constructor, complete object
                "_ZN11CTolvaneGPSC2Ev",    // constructor, base object
                "_ZN11CTolvaneGPSaSERKS_", // copy assignment
                "_Z12fnTolvaneGPSv", "nTolvaneGPS"}));
}

TEST(HostView, NamedItemsBindByNameAtRunTime) {
  EXPECT_EXIT(
      {
        void *library = dlopen(TOLVANE_LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
        auto fn =
            reinterpret_cast<int (*)()>(dlsym(library, "_Z12fnTolvaneGPSv"));
        auto n = static_cast<int *>(dlsym(library, "nTolvaneGPS"));
        bool fresh = fn != nullptr && n != nullptr && fn() == 42 && *n == 0;
        if (fresh) {
          *n = 7;
        }
        std::exit(fresh && *static_cast<int *>(dlsym(library, "nTolvaneGPS")) ==
                               7
                      ? 0
                      : 1);
      },
      testing::ExitedWithCode(0), "");
}

// Every warning pedantic and an error: C89 and C++98, as VS2005, VS2008 and
// eVC 4 read it, for each Windows and CE architecture; today's C and C++
// here. The calls' types take the calls, and the class copies without a
// deprecation warning.
#ifdef HEADER_CLANG // the native suite's: the header reads the same anywhere
TEST(HostView, TheHeaderReadsAsEachPlatformsCompilersReadIt) {
  if (*HEADER_CLANG == '\0') {
    GTEST_SKIP() << "skipped: no clang";
  }
  TempDir dir;
  WriteWhole(dir.File("host.c"),
             "#include \"TolvaneGPS.h\"\n"
             "int Bind(void) {\n"
             "  GPSOpenProc o = GPSOpen;\n"
             "  GPSWriteProc w = GPSWrite;\n"
             "  GPSCloseProc c = GPSClose;\n"
             "  return o && w && c ? GPS_COMPLETION_CODE : 0;\n"
             "}\n"
             "#ifdef __cplusplus\n"
             "void Copy(const CTolvaneGPS &a) { CTolvaneGPS b(a); b = a; }\n"
             "#endif\n");
  std::vector<std::string> cases = {"-xc -std=c11",
                                    "-xc++ -std=c++17 -Wdeprecated-copy"};
  std::istringstream architectures(MSVC_ARCHITECTURES);
  for (std::string architecture; architectures >> architecture;) {
    for (const char *old : {"-xc -std=c89", "-xc++ -std=c++98"}) {
      cases.push_back("--target=" + architecture + "-pc-windows-msvc " + old);
    }
  }
  EXPECT_GE(cases.size(), 10u);
  for (const std::string &flags : cases) {
    int status = -1;
    std::string output = RunCommand(
        std::string(HEADER_CLANG) +
            " -fsyntax-only -Wall -Wextra -pedantic-errors -Werror " + flags +
            " -I" TOLVANE_INCLUDE_DIR " " + dir.File("host.c") + " 2>&1",
        &status);
    EXPECT_EQ(status, 0) << flags << ": " << output;
  }
}
#endif

#if TOLVANE_LIBC_ONLY
TEST(HostView, NeedsLibcAloneAndNoAllocator) {
  // libc6 alone: the C library, and where the stack protector's guard lives
  // in the dynamic loader (arm64, riscv64, s390x), the loader.
  std::set<std::string> needed =
      Words("readelf -d " + std::string(TOLVANE_LIBRARY_FILE) +
            " | sed -n 's/.*(NEEDED).*\\[\\(.*\\)\\]/\\1/p'");
  EXPECT_EQ(needed.count("libc.so.6"), 1u);
  for (const std::string &library : needed) {
    EXPECT_TRUE(library == "libc.so.6" || library.rfind("ld-", 0) == 0)
        << library;
  }

  std::set<std::string> undefined =
      Words("nm -D --undefined-only --format=just-symbols " +
            std::string(TOLVANE_LIBRARY_FILE) + " | sed 's/@.*//'");
  for (const char *allocator : {"malloc", "calloc", "realloc", "free", "_Znwm",
                                "_Znam", "_Znwj", "_Znaj"}) {
    EXPECT_EQ(undefined.count(allocator), 0u) << allocator;
  }
}
#endif

} // namespace
