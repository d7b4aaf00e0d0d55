// SPDX-License-Identifier: MIT
// The COREDLL.dll calls the CE DLL makes, in the order of its import table,
// with their ordinals (the same on every CE version). The DLL's import
// slots, the CE loader's stand-ins and the tests all come from this list.
#pragma once

#define COREDLL_IMPORTS(X)                                                     \
  X(CreateFileW, 168)                                                          \
  X(SetCommState, 118)                                                         \
  X(CloseHandle, 553)                                                          \
  X(ReadFile, 170)                                                             \
  X(WriteFile, 171)                                                            \
  X(ClearCommError, 108)                                                       \
  X(Sleep, 496)                                                                \
  X(GetLastError, 516)                                                         \
  X(GetTickCount, 535)
