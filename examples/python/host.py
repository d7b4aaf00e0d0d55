#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""A Python host through ctypes:

    host.py PORT DIR BLOCKS

captures BLOCKS blocks from PORT into DIR/fix.nmea, which should be a folder
only this user can write, and prints each block's size."""
import ctypes
import os
import sys


# The library's 16-bit units in this CPU's own byte order: utf-16-le would be
# byte-swapped on a big-endian CPU (s390x), and plain "utf-16" adds a
# byte-order mark. ctypes.c_wchar_p does not fit either: wchar_t is 32 bits
# on Linux, so the names go as bytes through c_char_p.
UTF16 = "utf-16-le" if sys.byteorder == "little" else "utf-16-be"


def wide(text):
    """A zero-terminated UTF-16 string, as the library takes names."""
    units = text.encode(UTF16) + b"\0\0"
    return ctypes.create_string_buffer(units, len(units))


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: host.py PORT DIR BLOCKS")
    port, folder, blocks = sys.argv[1], sys.argv[2], int(sys.argv[3])
    library = ctypes.CDLL("libTolvaneGPS.so.1")
    for call in (library.GPSOpen, library.GPSWrite):
        call.argtypes = [ctypes.c_char_p]
        call.restype = ctypes.c_int
    path = os.path.join(folder, "fix.nmea")
    library.GPSOpen(wide(port))
    for block in range(1, blocks + 1):
        if os.path.exists(path):
            os.remove(path)  # a lost block is never taken for the last one
        library.GPSWrite(wide(path))
        size = os.path.getsize(path) if os.path.exists(path) else 0
        print("block %d: %d bytes" % (block, size), flush=True)
    library.GPSClose()


if __name__ == "__main__":
    main()
