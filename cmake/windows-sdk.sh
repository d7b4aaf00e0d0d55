#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# make windows: the Windows SDK, with the cross tools alone. The cross
# builds are cmake/windows.cmake's, one per target of
# cmake/windows-targets.cmake, under BUILD/windows/<target>; each is
# installed into DIST/windows/<target>/: TolvaneGPS.dll, TolvaneGPS.def (the
# exports, for lib /def), where LLVM writes one TolvaneGPS.lib (for MSVC's
# linker), and include/TolvaneGPS.h. Then LICENSE, a README.txt that says which DLL fits
# which device, how to bind it and each file's SHA-256,
# DIST/windows/SHA256SUMS, and the whole tree as
# DIST/TolvaneGPS-<version>-windows.tar.gz, byte for byte the same from any
# build of the same commit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
dist=${2:-$root/dist}

cmake -S "$root" -B "$build" -DTOLVANE_WINDOWS=ON > /dev/null
cmake --build "$build" --target windows > /dev/null
devices=$build/windows/devices # target, tab, the devices it fits
while IFS=$'\t' read -r target _; do
  echo "== $target"
  rm -rf "$dist/windows/$target"
  cmake --install "$build/windows/$target" --prefix "$dist/windows/$target" \
    > /dev/null
done < "$devices"

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null ||
                             echo 0)}
version=$(sed -n 's/^project(TolvaneGPS VERSION \([0-9.]*\).*/\1/p' \
          "$root/CMakeLists.txt")
cp "$root/LICENSE" "$dist/windows/LICENSE"
sums() {
  (cd "$dist/windows" &&
   find . -type f ! -name SHA256SUMS ! -name README.txt | LC_ALL=C sort |
   xargs sha256sum)
}
{
  echo "TolvaneGPS $version for Windows and Windows CE"
  echo
  echo "Which DLL for which device (each folder holds TolvaneGPS.dll):"
  echo
  while IFS=$'\t' read -r target devices; do
    printf '  %-11s %s\n' "$target/" "$devices"
  done < "$devices"
  cat <<'TEXT'

A program loads the DLL of its own processor: an x64 program emulated on
Windows on ARM loads the x86_64 DLL, a native ARM64 program the arm64 one.
ce-armv4 is the safe build up to Pocket PC 2003 and CE 4.x on ARMV4
processors; from CE 5.0 on every ARM processor is ARMV4I, so take
ce-armv4i there. Compact 2013 loads only images made for it (ce-armv7).

How to bind the three calls, each of which returns 999:
  By name:     GetProcAddress(dll, "GPSOpen"); on Windows CE GetProcAddress
               takes a wide name: GetProcAddress(dll, L"GPSOpen"). The
               header's GPSOpenProc, GPSWriteProc and GPSCloseProc are the
               calls' types: (GPSOpenProc)GetProcAddress(...).
  By ordinal:  GPSOpen 1, GPSWrite 2, GPSClose 3:
               GetProcAddress(dll, MAKEINTRESOURCE(1)).
  With the import library: include include/TolvaneGPS.h and link
               TolvaneGPS.lib. Each folder's TolvaneGPS.def lists the seven
               exports at ordinals 1 to 7, the C++ items under the names
               the platform's MSVC gives them. The desktop folders and
               ce-armv7 carry TolvaneGPS.lib; for ce-armv4 and ce-armv4i
               make it with your own tools (VS2005/2008, eVC 4):
                 lib /def:TolvaneGPS.def /machine:ARM /out:TolvaneGPS.lib
               with /machine:THUMB for a Thumb project.

The header compiles as C89 and C++98 as well as today's C and C++. The
calls are cdecl, the C default. No C runtime to ship: the DLLs load none.

Strings are wide: GPSWideChar is wchar_t on Windows and CE, so write
L"COM1" and L"fix.nmea". From a multibyte string, MultiByteToWideChar.

On Windows CE:
  - The port name keeps its colon, as CE names ports: L"COM1:".
  - The library sets no read time-outs on CE: a GPSWrite blocks for as
    long as the device's serial driver lets a read wait, which may be for
    ever on a silent line. Call it from a thread of its own, never the UI
    thread.
On desktop Windows GPSOpen sets the read time-outs: a GPSWrite returns
100 ms after the last byte, at most 2 s after it began.

Licence: MIT, in LICENSE.

SHA-256 of each file:
TEXT
  sums | sed 's/^/  /'
} > "$dist/windows/README.txt"
sums > "$dist/windows/SHA256SUMS"
(cd "$dist/windows" && sha256sum README.txt >> SHA256SUMS)
archive=$dist/TolvaneGPS-$version-windows.tar.gz
tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
    --mode='u+rw,go=rX' -C "$dist" -cf - windows | gzip -9n > "$archive"
echo "$archive"
cat "$dist/windows/SHA256SUMS"
