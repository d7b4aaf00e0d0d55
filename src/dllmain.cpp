// SPDX-License-Identifier: MIT
// The DLL's entry point: there is nothing to set up or tear down.
#include "platform.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
