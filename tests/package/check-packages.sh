#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages from a plain build (a compiler and CMake, no
# developer mode), runs lintian on them, unpacks them into a scratch root and
# builds the C consumer against that root with find_package and pkg-config.
set -euo pipefail
source_dir=$1
consumer=$source_dir/tests/install
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
lib=$(dirname "$(find "$root" -name 'libTolvaneGPS.so.1' | head -n 1)")
cmake -S "$consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$root/usr" > /dev/null
cmake --build "$scratch/consumer" > /dev/null
LD_LIBRARY_PATH=$lib "$scratch/consumer/consumer" "$scratch/a.nmea"
PKG_CONFIG_PATH=$lib/pkgconfig cc -o "$scratch/pc-consumer" "$consumer/consumer.c" \
  $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs TolvaneGPS)
LD_LIBRARY_PATH=$lib "$scratch/pc-consumer" "$scratch/b.nmea"
LD_LIBRARY_PATH=$lib "$root/usr/bin/gpscapture" --version
test -f "$scratch/a.nmea" && test -f "$scratch/b.nmea"
echo "packages: lintian clean of errors; find_package and pkg-config consumers ran"
