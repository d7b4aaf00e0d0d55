// SPDX-License-Identifier: MIT
// A stand-in for the platform layer that records what the core hands it and
// answers as a test tells it to.
#pragma once

#include <string>
#include <vector>

#include "platform.h"

struct PlatformCall {
  std::string name;
  HANDLE handle = nullptr;       // the handle the call was given
  const void *pointer = nullptr; // name, buffer or DCB pointer
  std::u16string text;           // CreateFileW: the name it was given
  DWORD access = 0, share = 0, disposition = 0, attributes = 0;
  DWORD count = 0;        // bytes asked to read or write
  std::string bytes;      // WriteFile: the bytes it was given
  bool extrasNull = true; // security, template, overlapped all null
  DCB dcb = {};           // SetCommState: the record
};

struct ScriptedRead {
  std::string bytes;
  BOOL result;
};

struct PlatformScript {
  std::vector<HANDLE> openResults;        // CreateFileW answers, in order
  DWORD openError = ERROR_FILE_NOT_FOUND; // GetLastError after a failed open
  bool getCommStateSucceeds = true;
  bool setCommStateSucceeds = true;
  DCB portDcb = {};      // what GetCommState reports
  std::string readBytes; // what ReadFile delivers
  DWORD readCount = 0;   // the count ReadFile reports
  BOOL readResult = TRUE;
  std::vector<ScriptedRead> reads; // taken first, in order, when given
  bool portGone = false;           // ClearCommError fails
  // A read that delivers nothing succeeds at once (the end of a regular
  // file, a driver that ignores time-outs) instead of after the total
  // read time-out, as a port with the core's time-outs does.
  bool emptyReadsReturnAtOnce = false;
};

// The platform's clock: GetTickCount reads it, Sleep moves it on.
extern DWORD platformClockMs;

extern std::vector<PlatformCall> platformCalls;
extern PlatformScript platformScript;

// Forgets the calls, the clock, the script and the core's module state.
void ResetPlatformAndCore();

std::vector<std::string> CallNames();
