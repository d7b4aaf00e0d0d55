#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages with dpkg-buildpackage from a copy of the tree,
# so that nothing lands beside the tree: the .debs, .buildinfo, .changes and
# the build log (build.log, for blhc) go into OUT; for this machine's own
# architecture the source package too. With ARCH, another architecture's
# binary packages are cross-built (profiles cross and nocheck).
#
#   package.sh OUT [ARCH]
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "$1" && cd "$1" && pwd)
arch=${2:-$(dpkg --print-architecture)}

copy=$out/tolvanegps
rm -rf "$copy" && mkdir -p "$copy"
tar -C "$source_dir" --exclude='./build*' --exclude=./dist --exclude=./.git \
  -cf - . | tar -C "$copy" -xf -

options=(-us -uc)
if [ "$arch" != "$(dpkg --print-architecture)" ]; then
  options+=(-b -a"$arch" -Pcross,nocheck)
  export DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}"
  # Without the architecture's own libc6-dev, build-essential for it cannot
  # be checked: the cross toolchain's sysroot stands in.
  dpkg-query -W -f='${Status}' "libc6-dev:$arch" 2> /dev/null |
    grep -q "ok installed" || options+=(-d)
fi
if ! (cd "$copy" && dpkg-buildpackage "${options[@]}") > "$out/build.log" 2>&1
then
  tail -n 40 "$out/build.log" >&2
  echo "dpkg-buildpackage failed: the whole log is $out/build.log" >&2
  exit 1
fi
rm -rf "$copy"
ls "$out"/*.deb
