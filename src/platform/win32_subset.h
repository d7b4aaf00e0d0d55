// SPDX-License-Identifier: MIT
// The part of the Win32 API that the library calls, for platforms without
// <windows.h>: the POSIX layer implements it, and on Windows CE the device's
// COREDLL.dll does. The names, types and layouts follow the Win32 headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int BOOL;
typedef char16_t WCHAR;
typedef void *HANDLE;
typedef void *HINSTANCE;
typedef void *LPVOID;

// One calling convention on every processor these builds are for.
#define WINAPI

#define TRUE 1
#define FALSE 0

// A handle is an opaque word that nothing dereferences: all ones, or a
// layer's table value. The one place an integer becomes one; a macro, not a
// function, so that a handle at namespace scope stays constant-initialised.
// NOLINTNEXTLINE(performance-no-int-to-ptr): no pointer is derived from it.
#define HANDLE_FROM_VALUE(value) ((HANDLE)(uintptr_t)(value))

// 0 means "no handle"; all ones is what a failed open returns.
#define INVALID_HANDLE_VALUE HANDLE_FROM_VALUE(UINTPTR_MAX)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_NORMAL 0x80u

// The GetLastError codes this subset reports.
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_GEN_FAILURE 31u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INVALID_NAME 123u

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

// Same field order, widths and 28-byte size as the Win32 record.
typedef struct DCB {
  DWORD DCBlength;
  DWORD BaudRate;
  DWORD fBinary : 1;
  DWORD fParity : 1;
  DWORD fOutxCtsFlow : 1;
  DWORD fOutxDsrFlow : 1;
  DWORD fDtrControl : 2;
  DWORD fDsrSensitivity : 1;
  DWORD fTXContinueOnXoff : 1;
  DWORD fOutX : 1;
  DWORD fInX : 1;
  DWORD fErrorChar : 1;
  DWORD fNull : 1;
  DWORD fRtsControl : 2;
  DWORD fAbortOnError : 1;
  DWORD fDummy2 : 17;
  WORD wReserved;
  WORD XonLim;
  WORD XoffLim;
  BYTE ByteSize;
  BYTE Parity;
  BYTE StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  WORD wReserved1;
} DCB;
static_assert(sizeof(DCB) == 28, "DCB must keep the Win32 layout");

// Win32 read time-outs, in milliseconds.
typedef struct COMMTIMEOUTS {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

// What ClearCommError reports of a port's queues.
typedef struct COMSTAT {
  DWORD flags; // the Win32 bit fields fCtsHold ... fTxim
  DWORD cbInQue;
  DWORD cbOutQue;
} COMSTAT;

HANDLE CreateFileW(const WCHAR *fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES *securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile);
BOOL ReadFile(HANDLE file, void *buffer, DWORD bytesToRead, DWORD *bytesRead,
              OVERLAPPED *overlapped);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite,
               DWORD *bytesWritten, OVERLAPPED *overlapped);
BOOL CloseHandle(HANDLE object);
BOOL GetCommState(HANDLE file, DCB *dcb);
BOOL SetCommState(HANDLE file, DCB *dcb);
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts);
BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status);
void Sleep(DWORD milliseconds);
DWORD GetTickCount(void);
DWORD GetLastError(void);
