#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# make windows: the Windows SDK, with the cross tools alone. Each target of
# cmake/windows-targets is its own cross build under BUILD/<target>,
# installed into DIST/windows/<target>/: TolvaneGPS.dll, on desktop targets
# TolvaneGPS.lib (for MSVC's linker) and TolvaneGPS.def, and
# include/TolvaneGPS.h. Then DIST/windows/SHA256SUMS, and the whole tree as
# DIST/TolvaneGPS-<version>-windows.tar.gz, byte for byte the same from any
# build of the same commit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}
dist=${2:-$root/dist}

# pe_writer, the host tool that writes the CE images.
cmake -S "$root" -B "$build/host" > /dev/null
cmake --build "$build/host" --target pe_writer > /dev/null

while read -r target; do
  echo "== $target"
  cmake -S "$root" -B "$build/$target" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/windows-$target.cmake" \
    -DCMAKE_BUILD_TYPE=MinSizeRel \
    -DTOLVANE_PE_WRITER="$build/host/tools/pe_writer" > /dev/null
  cmake --build "$build/$target" > /dev/null
  rm -rf "$dist/windows/$target"
  cmake --install "$build/$target" --prefix "$dist/windows/$target" \
    > /dev/null
done < "$root/cmake/windows-targets"

epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null ||
                             echo 0)}
version=$(sed -n 's/^project(TolvaneGPS VERSION \([0-9.]*\).*/\1/p' \
          "$root/CMakeLists.txt")
(cd "$dist/windows" &&
 find . -type f ! -name SHA256SUMS | LC_ALL=C sort | xargs sha256sum \
   > SHA256SUMS)
archive=$dist/TolvaneGPS-$version-windows.tar.gz
tar --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
    --mode='u+rw,go=rX' -C "$dist" -cf - windows | gzip -9n > "$archive"
echo "$archive"
cat "$dist/windows/SHA256SUMS"
