/* SPDX-License-Identifier: MIT */
/* TolvaneGPS: stores what a GPS receiver on a serial port sends, one block
 * per call, as the whole content of a file the host names.
 *
 * Usable from C and C++. Every call returns GPS_COMPLETION_CODE, whatever
 * happened; the host learns the outcome from the capture file. */
#ifndef TOLVANEGPS_H
#define TOLVANEGPS_H

/* Port names and file paths are zero-terminated UTF-16 strings: on Windows
 * wchar_t, so write L"COM1". C++ has both character types built in, so a
 * C++ host needs no C library header; C89 has wchar_t from <stddef.h>,
 * which even a freestanding compiler has. */
#if defined(_WIN32) && defined(__cplusplus)
typedef wchar_t GPSWideChar;
#elif defined(_WIN32)
#include <stddef.h>
typedef wchar_t GPSWideChar;
#elif defined(__cplusplus)
typedef char16_t GPSWideChar;
#else
#include <uchar.h>
typedef char16_t GPSWideChar;
#endif

#if defined(_WIN32)
/* The module-definition file decides the export table; hosts import. */
#if defined(TOLVANEGPS_BUILDING)
#define TOLVANEGPS_API
#else
#define TOLVANEGPS_API __declspec(dllimport)
#endif
#else
#define TOLVANEGPS_API __attribute__((visibility("default")))
#endif

/* cdecl on 32-bit x86, whatever a project's default (/Gz, /Gr); elsewhere
 * there is one convention. */
#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define TOLVANEGPS_CALL __cdecl
#else
#define TOLVANEGPS_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The value every GPS call returns. It carries no success or failure. */
enum { GPS_COMPLETION_CODE = 999 };

/* Opens the receiver's port (for example u"/dev/ttyUSB0" or u"COM1") and sets
 * it to 4800 8N1, XON/XOFF both ways, DTR and RTS off. Closes a port that an
 * earlier GPSOpen left open. */
TOLVANEGPS_API int TOLVANEGPS_CALL GPSOpen(const GPSWideChar *portName);

/* Reads one block of up to 5000 bytes from the port and makes exactly those
 * bytes the whole content of the file at filePath (created or emptied). */
TOLVANEGPS_API int TOLVANEGPS_CALL GPSWrite(const GPSWideChar *filePath);

/* Closes the port. Later calls touch nothing until the next GPSOpen. */
TOLVANEGPS_API int TOLVANEGPS_CALL GPSClose(void);

/* The three calls' types, for a host that binds them at run time:
 * (GPSOpenProc)GetProcAddress(dll, "GPSOpen"), or dlsym. */
typedef int(TOLVANEGPS_CALL *GPSOpenProc)(const GPSWideChar *portName);
typedef int(TOLVANEGPS_CALL *GPSWriteProc)(const GPSWideChar *filePath);
typedef int(TOLVANEGPS_CALL *GPSCloseProc)(void);

#ifdef __cplusplus
}

/* Items that carry the module's name for C++ hosts; they play no part in the
 * GPS work. */
class TOLVANEGPS_API CTolvaneGPS {
public:
  CTolvaneGPS(void);
#if __cplusplus >= 201103L
  /* Declared, as the declared assignment makes an implicit one deprecated;
   * C++98 (VS2005, VS2008) has no = default and gets the same implicit one. */
  CTolvaneGPS(const CTolvaneGPS &) = default;
#endif
  CTolvaneGPS &operator=(const CTolvaneGPS &);
};

/* Returns 42. */
TOLVANEGPS_API int TOLVANEGPS_CALL fnTolvaneGPS(void);

/* 0 at load; the library never reads or writes it. */
extern TOLVANEGPS_API int nTolvaneGPS;
#endif

#endif
