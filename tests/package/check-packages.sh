#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a plain build (a compiler and CMake, no
# developer mode), runs lintian on them, unpacks them into a scratch root and
# builds and runs the examples against that root.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake -S "$source_dir" -B "$scratch/build" -DCMAKE_INSTALL_PREFIX=/usr > /dev/null
cmake --build "$scratch/build" -j2 > /dev/null
(cd "$scratch/build" && cpack -G DEB > /dev/null)
packages=("$scratch"/build/packages/*.deb)
[ ${#packages[@]} -eq 3 ]
for package in "${packages[@]}"; do
  echo "== $(basename "$package")"
  dpkg-deb -c "$package" | awk '{print $6 $7 $8}'
done

# The manual pages render without a warning.
for page in "$source_dir"/man/*; do
  [ -z "$(groff -ww -z -man "$page" 2>&1)" ]
done

# Errors fail the test; the warnings left are listed in the README.
lintian --fail-on error --tag-display-limit 0 "${packages[@]}" 2>&1 |
  grep -v 'root privileges' || true
lintian --fail-on error "${packages[@]}" > /dev/null 2>&1

root=$scratch/root
for package in "${packages[@]}"; do
  dpkg-deb -x "$package" "$root"
done
"$source_dir/tests/install/check-examples.sh" "$source_dir" --root "$root"
LD_LIBRARY_PATH=$(dirname "$(find "$root" -name 'libTolvaneGPS.so.1')") \
  "$root/usr/bin/gpscapture" --version
echo "packages: lintian clean of errors; the examples ran against them"
