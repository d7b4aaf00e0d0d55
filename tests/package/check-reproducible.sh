#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds everything that ships twice and compares checksums: the Debian
# packages (the .so and the tools inside them, with their debug symbols) and
# every Windows and CE DLL and import library. The first side is the packages
# dpkg-buildpackage makes from the tree itself under umask 022 in UTC, with
# the DLLs of the main build; the second is a copy of the tree at a longer
# path, under umask 077 and another time zone, all built afresh, the DLLs by
# the SDK script. The build reads no clock: every time stamp comes from
# SOURCE_DATE_EPOCH, which dpkg-buildpackage takes from debian/changelog.
# With KEEP=1 both builds stay in the scratch folder it names, for
# diffoscope to show a difference.
set -euo pipefail
source_dir=$1
windows_dir=$2 # the main build's build/windows
scratch=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] && echo "kept: $scratch" || rm -rf "$scratch"' EXIT

# The packages alone, without the tests, which change none of their bytes.
export DEB_BUILD_OPTIONS=nocheck DEB_BUILD_PROFILES=nocheck

# Side one.
(umask 022 && TZ=UTC "$source_dir/cmake/package.sh" "$scratch/one" > /dev/null)

# Side two: the tree copied (its history too, which dates the DLLs), the
# packages and the Windows SDK built as make package and make windows do.
copy=$scratch/a-much-longer-directory-name-for-the-second-build/TolvaneGPS
mkdir -p "$copy"
tar -C "$source_dir" --exclude='./build*' --exclude=./dist -cf - . |
  tar -C "$copy" -xf -
(
  umask 077
  export TZ=Pacific/Kiritimati
  "$copy/cmake/package.sh" "$scratch/two" > /dev/null
  if [ -d "$windows_dir" ]; then
    "$copy/cmake/windows-sdk.sh" "$scratch/two/windows" "$scratch/two/dist" \
      > /dev/null
  fi
)

status=0
compare() {
  local one=$1 two=$2 name=$3
  local a b
  a=$(sha256sum < "$one" | cut -c1-64)
  b=$(sha256sum < "$two" | cut -c1-64)
  if [ "$a" = "$b" ]; then
    echo "same      $a  $name"
  else
    echo "DIFFERENT $a $b  $name"
    status=1
  fi
}
for file in $(cd "$scratch/one" && ls ./*.deb); do
  compare "$scratch/one/$file" "$scratch/two/$file" "${file#./}"
done
# Every DLL and import library of the SDK, against the main build's.
if [ -d "$windows_dir" ]; then
  for two in "$scratch"/two/dist/windows/*/TolvaneGPS.{dll,lib}; do
    [ -f "$two" ] || continue
    target=$(basename "$(dirname "$two")")
    one=$(find "$windows_dir/$target" -name "$(basename "$two")" \
      -not -path '*/CMakeFiles/*' | head -n 1)
    compare "$one" "$two" "windows/$target/$(basename "$two")"
  done
fi
exit $status
