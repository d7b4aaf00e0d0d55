#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix and builds a C consumer against it
# with find_package and with pkg-config; both must run.
set -euo pipefail
build=$1
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/prefix" > /dev/null
lib=$(dirname "$(find "$scratch/prefix" -name 'libTolvaneGPS.so.1' | head -n 1)")
test -L "$lib/libTolvaneGPS.so" && test -L "$lib/libTolvaneGPS.so.1"
test -f "$scratch/prefix/include/TolvaneGPS.h"

cmake -S "$here" -B "$scratch/cmake" -DCMAKE_PREFIX_PATH="$scratch/prefix" > /dev/null
cmake --build "$scratch/cmake" > /dev/null
LD_LIBRARY_PATH=$lib "$scratch/cmake/consumer" "$scratch/a.nmea"

export PKG_CONFIG_PATH=$lib/pkgconfig
cc -o "$scratch/pc-consumer" "$here/consumer.c" $(pkg-config --cflags --libs TolvaneGPS)
LD_LIBRARY_PATH=$lib "$scratch/pc-consumer" "$scratch/b.nmea"
test -f "$scratch/a.nmea" && test ! -s "$scratch/a.nmea" && test -f "$scratch/b.nmea"
echo "install package: find_package and pkg-config consumers ran"
