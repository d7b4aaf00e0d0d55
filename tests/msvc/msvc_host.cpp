// SPDX-License-Identifier: MIT
// A C++ host as MSVC builds one: compiled for the MSVC ABI, with no C
// runtime, linked through the shipped TolvaneGPS.lib and the public header.
// It checks what MSVC-built code relies on, then captures one block:
//
//   msvc_host PATH   prints "checked" (or "FAIL what"), opens COM7 and
//                    prints "opened"; on a line from standard input,
//                    GPSWrite(PATH), "wrote"; then GPSClose, "closed".
#include "TolvaneGPS.h"

extern "C" {
__declspec(dllimport) void *__stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall ReadFile(void *file, void *buffer,
                                             unsigned long count,
                                             unsigned long *done, void *);
__declspec(dllimport) int __stdcall WriteFile(void *file, const void *buffer,
                                              unsigned long count,
                                              unsigned long *done, void *);
__declspec(dllimport) wchar_t *__stdcall GetCommandLineW(void);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);
}

// Placement new, which the missing C++ library would bring.
inline void *operator new(decltype(sizeof 0), void *place) noexcept {
  return place;
}

namespace {

void Say(const char *line) {
  unsigned long length = 0, done = 0;
  while (line[length] != 0) {
    ++length;
  }
  void *out = GetStdHandle(static_cast<unsigned long>(-11));
  WriteFile(out, line, length, &done, nullptr);
  WriteFile(out, "\n", 1, &done, nullptr);
}

[[noreturn]] void Fail(const char *what) {
  Say(what);
  ExitProcess(1);
  for (;;) {
  }
}

void AwaitLine() {
  char byte = 0;
  unsigned long done = 0;
  void *in = GetStdHandle(static_cast<unsigned long>(-10));
  while (ReadFile(in, &byte, 1, &done, nullptr) && done == 1 && byte != '\n') {
  }
}

// The command line's first argument after the program's name.
const wchar_t *Argument() {
  const wchar_t *at = GetCommandLineW();
  bool quoted = false;
  for (; *at != 0 && (quoted || *at != L' '); ++at) {
    quoted = *at == L'"' ? !quoted : quoted;
  }
  while (*at == L' ') {
    ++at;
  }
  return at;
}

// The stack pointer: a callee that pops the wrong amount moves it.
#if defined(__i386__)
unsigned long StackPointer() {
  unsigned long sp;
  asm volatile("movl %%esp, %0" : "=r"(sp));
  return sp;
}
#else
unsigned long StackPointer() { return 0; }
#endif

// Compiled to a jump straight into the constructor, so that what it
// returns is what the constructor left in the return register.
__declspec(noinline) CTolvaneGPS *Make(void *place) {
  return new (place) CTolvaneGPS;
}

void Check() {
  alignas(8) unsigned char storage[2];
  // MSVC code takes the object's address from what the constructor returns.
  CTolvaneGPS *a = Make(&storage[0]);
  CTolvaneGPS *b = Make(&storage[1]);
  if (a != reinterpret_cast<CTolvaneGPS *>(&storage[0]) ||
      b != reinterpret_cast<CTolvaneGPS *>(&storage[1])) {
    Fail("FAIL the constructor's returned pointer");
  }
  if (&(*a = *b) != a) {
    Fail("FAIL copy assignment");
  }
  // On x86 both members are thiscall: this in ECX, the callee pops.
  const unsigned long before = StackPointer();
  for (int i = 0; i < 1000; ++i) {
    CTolvaneGPS *c = Make(&storage[i & 1]);
    if (&(*c = *a) != c) {
      Fail("FAIL copy assignment in the loop");
    }
  }
  if (StackPointer() != before) {
    Fail("FAIL the stack moved over 1000 member calls");
  }
  if (fnTolvaneGPS() != 42 || nTolvaneGPS != 0) {
    Fail("FAIL fnTolvaneGPS and nTolvaneGPS");
  }
  nTolvaneGPS = 1234;
}

} // namespace

extern "C" void HostMain() {
  Check();
  Say("checked");
  if (GPSOpen(L"COM7") != GPS_COMPLETION_CODE) {
    Fail("FAIL GPSOpen");
  }
  Say("opened");
  AwaitLine();
  if (GPSWrite(Argument()) != GPS_COMPLETION_CODE) {
    Fail("FAIL GPSWrite");
  }
  Say("wrote");
  if (GPSClose() != GPS_COMPLETION_CODE || nTolvaneGPS != 1234) {
    Fail("FAIL GPSClose");
  }
  Say("closed");
  ExitProcess(0);
}
