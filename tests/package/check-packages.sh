#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages of an architecture (this machine's by default)
# as make package does, and checks them as Debian does: each package's
# architecture, Multi-Arch and the symbols file it ships, and for this
# machine's architecture blhc on the build log, lintian and the manual pages. Then the packages are unpacked into a scratch root, never
# onto the machine: for this machine's architecture the autopkgtest runs
# against that root; for another, the pseudo-terminal tests (tests/cross) are
# cross-built against it and run under qemu-user. With KEEP=1 the scratch
# folder stays, and its name is printed.
#
#   check-packages.sh SOURCE_DIR [ARCH]
set -euo pipefail
source_dir=$1
arch=${2:-$(dpkg --print-architecture)}
scratch=$(mktemp -d)
trap '[ -n "${KEEP:-}" ] && echo "kept: $scratch" || rm -rf "$scratch"' EXIT
control=$source_dir/debian/control

# Without dh_auto_test: the suite runs those tests itself.
export DEB_BUILD_OPTIONS=nocheck DEB_BUILD_PROFILES=nocheck
"$source_dir/cmake/package.sh" "$scratch" "$arch" > /dev/null
native=$([ "$arch" = "$(dpkg --print-architecture)" ] && echo yes || true)

# The build's flags, the packaging's tags and the manual pages are the same
# on every architecture (debian/rules and the packages' contents are): they
# are checked once, in the native build. Lintian's errors fail the test; the
# warnings left are listed in docs/packaging.md.
if [ -n "$native" ]; then
  [ -z "$(blhc --all "$scratch/build.log")" ] || { blhc --all "$scratch/build.log"; exit 1; }
  echo "blhc: nothing to report"
  lintian --fail-on error --tag-display-limit 0 "$scratch"/*.changes 2>&1 |
    grep -v 'root privileges' || true
  lintian --fail-on error "$scratch"/*.changes > /dev/null 2>&1
  for page in "$source_dir"/man/*; do
    [ -z "$(groff -ww -z -man "$page" 2>&1)" ]
  done
fi

# Each package of debian/control, built for the architecture with the
# Multi-Arch that control gives it.
root=$scratch/root
for package in $(sed -n 's/^Package: //p' "$control"); do
  deb=$(ls "$scratch/${package}"_*_"$arch".deb)
  multi=$(awk -v p="$package" '/^Package:/ { in_p = ($2 == p) }
                               in_p && /^Multi-Arch:/ { print $2 }' "$control")
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
  [ "$(dpkg-deb -f "$deb" Multi-Arch)" = "$multi" ]
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes, Multi-Arch: $multi"
  dpkg-deb -x "$deb" "$root"
done
# The symbols file ships, so dpkg sees any change to the exports: the names
# of debian/libtolvanegps1.symbols, the C++ ones mangled as this CPU's
# compiler mangles them.
symbol_names() { sed -n 's/^ (c++)"\?\([^@"]*\).*/\1/p; s/^ \([^ (]*\)@.*/\1/p'; }
diff <(dpkg-deb --ctrl-tarfile "$scratch"/libtolvanegps1_*_"$arch".deb |
         tar -xOf - ./symbols | symbol_names | c++filt | sort -u) \
     <(symbol_names < "$source_dir/debian/libtolvanegps1.symbols" | sort)

if [ -n "$native" ]; then
  (cd "$source_dir" && ROOT=$root debian/tests/examples)
  LD_LIBRARY_PATH=$(dirname "$(find "$root" -name 'libTolvaneGPS.so.1')") \
    "$root/usr/bin/gpscapture" --version
  exit 0
fi

# Another CPU: its compiler, and qemu-user with the cross toolchain's
# libraries and the package's library ahead of any of the machine's own.
gnu_type=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2> /dev/null)
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2> /dev/null)
cpu=$(awk -v arch="$arch" '$1 == arch { print $2 }' \
  "$source_dir/cmake/debian-architectures")
run=("qemu-$cpu" -L "/usr/$gnu_type"
     -E "LD_LIBRARY_PATH=$root/usr/lib/$multiarch:/usr/$gnu_type/lib")
"${run[@]}" "$root/usr/bin/gps-sim" --version
cmake -S "$source_dir/tests/cross" -B "$scratch/tests" \
  -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_CXX_COMPILER="$gnu_type-g++" \
  -DTolvaneGPS_DIR="$root/usr/lib/$multiarch/cmake/TolvaneGPS" > /dev/null
cmake --build "$scratch/tests" -j2 > /dev/null

# The tests wait on the line far more than they compute: four shards of each
# program run at once. Under qemu-user, /proc shows the emulator's own system
# calls, so the one test that watches a thread enter poll() through /proc
# runs natively only, and so do the 2,000 forks of the fork story (a lock's
# state at a fork does not depend on the CPU, and each fork of the emulator
# costs milliseconds); the one that waits for a pseudo-terminal number to be
# given out again runs after the shards, which would take it.
alone='*.APseudoTerminalIsTakenOnlyWhenTheNameLeadsToIt'
export GTEST_FILTER="-*.ACloseDuringAReadNeverTouchesTheHostsNextFile:*.ChildrenForkedDuringCallsNeverHang:$alone"
# qemu-i386 (7.2) cannot join a thread while signals rain on the process,
# not even in a ten-line program (pthread_join fails with EDEADLK), and
# aborts two threads racing through opens and closes: the signal storm and
# the racing opens run on the other CPUs and natively. Nor can it join a
# thread after a process's storm has ended, so the write that signals
# interrupt runs in a process of its own there.
storm='*.AWriteThatCannotFinishEndsTwoSecondsInWhateverSignalsArrive'
[ "$arch" != i386 ] ||
  GTEST_FILTER+=:*.ASignalStormBendsNoTimeOutAndLosesNoByte:*.RacingOpensAndClosesLeaveNothingOpenAndCloseWins:$storm
export GTEST_TOTAL_SHARDS=4
for program in linked_tests host_view_test; do
  for shard in 0 1 2 3; do
    GTEST_SHARD_INDEX=$shard "${run[@]}" "$scratch/tests/$program" \
      > "$scratch/$program.$shard" 2>&1 &
  done
done
status=0
for job in $(jobs -p); do
  wait "$job" || status=1
done
GTEST_FILTER=$alone GTEST_TOTAL_SHARDS=1 GTEST_SHARD_INDEX=0 "${run[@]}" \
  "$scratch/tests/linked_tests" > "$scratch/linked_tests.alone" 2>&1 || status=1
[ "$arch" != i386 ] || GTEST_FILTER=$storm GTEST_TOTAL_SHARDS=1 \
  GTEST_SHARD_INDEX=0 "${run[@]}" "$scratch/tests/linked_tests" \
  > "$scratch/linked_tests.storm" 2>&1 || status=1
[ $status -eq 0 ] || { cat "$scratch"/*_test*.*; exit 1; }
awk -v what="$arch, under qemu-$cpu" '/^\[  PASSED  \]/ { passed += $4 }
  END { print what ": " passed " tests passed" }' "$scratch"/*_test*.*
