// SPDX-License-Identifier: MIT
// The constructor as an MSVC-built host calls it. MSVC constructors hand the
// object's address back (EAX/RAX, x0), and MSVC callers use that value; a
// GCC or MinGW constructor returns nothing. So the constructor is exported
// through this entry. CTolvaneGPS holds nothing, so constructing one is
// handing its address back.
#include "TolvaneGPS.h"

// A member called the MSVC way on x86: this in ECX, the callee pops. GCC
// applies thiscall to a plain function too, but warns under -Wpedantic
// that C++ would make it a member.
#if defined(__i386__)
#define MSVC_MEMBER __attribute__((thiscall))
#pragma GCC diagnostic ignored "-Wattributes"
#else
#define MSVC_MEMBER
#endif

extern "C" CTolvaneGPS *MSVC_MEMBER
TolvaneGPSConstructForMsvc(CTolvaneGPS *self) {
  return self;
}
