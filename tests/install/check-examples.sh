#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a scratch prefix, or takes a root that Debian
# packages were unpacked into (an empty one: the packages installed on this
# machine, as the autopkgtest runs it), then builds the three examples against it
# (C with dlopen, C++ through the CMake package, Python with ctypes), every
# warning an error, and runs each against gps-sim, through a port name
# beyond ASCII; then the README's own host, build line and script, as
# printed.
#
#   check-examples.sh SOURCE_DIR BUILD_DIR|--root ROOT
set -euo pipefail
source_dir=$1
examples=$source_dir/examples
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ "$2" = --root ]; then
  prefix=$3/usr
else
  prefix=$scratch/prefix
  cmake --install "$2" --prefix "$prefix" > /dev/null
  # Every file installed is in the manifest, the one written at install
  # time too.
  grep -q "^$prefix/.*/pkgconfig/TolvaneGPS.pc\$" "$2/install_manifest.txt"
fi
lib=$(dirname "$(find "$prefix"/lib* -name 'libTolvaneGPS.so.1' | head -n 1)")
test -L "$lib/libTolvaneGPS.so" && test -L "$lib/libTolvaneGPS.so.1"
test -f "$prefix/include/TolvaneGPS.h"
sim=$prefix/bin/gps-sim
export LD_LIBRARY_PATH=$lib

# The pkg-config file names the prefix as a clean absolute path (for the
# unpacked packages, /usr: moved here to the root they were unpacked into).
grep -qx "prefix=${prefix#"${3:-}"}" "$lib/pkgconfig/TolvaneGPS.pc"
flags=$(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config \
          --define-variable=prefix="$prefix" --cflags --libs TolvaneGPS)
case "$flags" in *..*) echo "pkg-config: $flags"; exit 1 ;; esac

cc -std=c11 -Wall -Wextra -Wpedantic -Werror $flags \
  -o "$scratch/c-host" "$examples/c-dlopen/host.c" -ldl
cmake -S "$examples/cpp-link" -B "$scratch/cpp" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic -Wdeprecated-copy -Werror" \
  > /dev/null
cmake --build "$scratch/cpp" > /dev/null

# The archive, its exports alone global, linked three ways into the C host
# of tests/musl: by name, fully static through pkg-config --static, and
# through TolvaneGPS::TolvaneGPS_static (the C++ example, made static).
test -f "$lib/libTolvaneGPS.a"
[ "$(nm -g --defined-only --format=just-symbols "$lib/libTolvaneGPS.a" |
     sed '/:$/d;/^$/d' | sort)" = "$(nm -D --defined-only \
     --format=just-symbols "$lib/libTolvaneGPS.so.1" | sort)" ]
static_host=$source_dir/tests/musl/musl_host.c
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -I"$prefix/include" \
  -o "$scratch/static-host" "$static_host" -L"$lib" -l:libTolvaneGPS.a
static_flags=$(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config \
  --define-variable=prefix="$prefix" --static --cflags --libs TolvaneGPS)
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -static \
  -o "$scratch/pkg-static-host" "$static_host" $static_flags
cmake -S "$examples/cpp-link" -B "$scratch/cpp-static" -DCMAKE_PREFIX_PATH="$prefix" \
  -DTOLVANE_STATIC=ON -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" > /dev/null
cmake --build "$scratch/cpp-static" > /dev/null
if readelf -d "$scratch/static-host" "$scratch/cpp-static/host" |
     grep -q TolvaneGPS || readelf -d "$scratch/pkg-static-host" | grep -q NEEDED; then
  echo "a static host still needs a shared library"; exit 1
fi
mkdir -p "$scratch/static" && chmod 700 "$scratch/static"
"$scratch/static-host" "$sim" "$scratch/static"
"$scratch/pkg-static-host" "$sim" "$scratch/static" > /dev/null

# Each host against a simulated receiver, named through a link whose name
# is not ASCII: its first block holds data.
export LC_ALL=C.UTF-8
for host in "$scratch/c-host" "$scratch/cpp/host" "$scratch/cpp-static/host" \
            "python3 $examples/python/host.py"; do
  mkdir -p "$scratch/out" && chmod 700 "$scratch/out"
  coproc SIM { exec "$sim" --epochs 1 --rate 0 2> /dev/null; }
  read -r port <&"${SIM[0]}"
  ln -sfn "$port" "$scratch/gps-ä€😀"
  answer=$($host "$scratch/gps-ä€😀" "$scratch/out" 1)
  wait "$SIM_PID" || true
  echo "$host: $answer"
  case "$answer" in "block 1: 0 bytes" | "") exit 1 ;; esac
done
# The README's host in C, its build line and its script, fenced blocks 1 to
# 3 of "A host in C", run as they stand: the script ends with 0 and the last
# capture holds whole sentences.
readme_block() {
  awk -v n="$1" '/^## / { inside = $0 == "## A host in C" }
    inside && /^```/ { fenced = !fenced; seen += fenced; next }
    inside && fenced && seen == n' "$source_dir/README.md"
}
readme=$scratch/readme && mkdir -m 700 "$readme"
readme_block 1 > "$readme/host.c"
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -fsyntax-only -I"$prefix/include" \
  "$readme/host.c"
(cd "$readme" && export PATH=$prefix/bin:$PATH \
   PKG_CONFIG_PATH=$lib/pkgconfig PKG_CONFIG_SYSROOT_DIR=${3:-} &&
 bash -c "$(readme_block 2)" && bash -c "$(readme_block 3)")
fix=$readme/fix.nmea
[ "$(head -c 1 "$fix")" = '$' ] && [ "$(tail -c 2 "$fix" | od -An -c | tr -d ' ')" = '\r\n' ] &&
  ! grep -qv '^\$' "$fix" || { echo "README host: fix.nmea is not whole sentences"; exit 1; }
echo "README host: $(grep -c '' "$fix") sentences in the last capture"
echo "examples: built against the install, the archive linked three ways, and captured from gps-sim"
