#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The library built against musl for one CPU (cmake/musl.cmake) into
# WORK_DIR, then: NEEDED libc.so alone; the archive's global symbols the
# .so's exports alone; the dlopen example loading it under musl's loader;
# musl_host.c linked to the .so and, fully static, to the archive, each
# against gps-sim. arm64 and armhf run under qemu-user, which finds musl's
# loader and libc where Debian's musl packages put them (/lib/ld-musl-*).
#
#   check-musl.sh SOURCE_DIR WORK_DIR x86_64|aarch64|armhf GPS_SIM
set -euo pipefail
source_dir=$1 work=$2 arch=$3 sim=$4
case $arch in
  x86_64) musl=x86_64-linux-musl run=() ;;
  aarch64) musl=aarch64-linux-musl run=(qemu-aarch64) ;;
  armhf) musl=arm-linux-musleabihf run=(qemu-arm) ;;
esac

cmake -S "$source_dir" -B "$work/build" --toolchain "$source_dir/cmake/musl.cmake" \
  -DTOLVANE_MUSL_ARCH="$arch" -DTOLVANE_WERROR=ON > /dev/null
cmake --build "$work/build" -j2 > /dev/null
lib=$work/build/src
needed=$(readelf -d "$lib/libTolvaneGPS.so.1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
[ "$needed" = libc.so ] || { echo "NEEDED: $needed"; exit 1; }
exports=$(nm -D --defined-only --format=just-symbols "$lib/libTolvaneGPS.so.1" | sort)
globals=$(nm -g --defined-only --format=just-symbols "$lib/libTolvaneGPS.a" | sed '/:$/d;/^$/d' | sort)
[ "$exports" = "$globals" ] || { echo "archive globals:"; echo "$globals"; exit 1; }
echo "$arch: $(stat -L -c %s "$lib/libTolvaneGPS.so.1") B .so, $(stat -c %s "$lib/libTolvaneGPS.a") B .a, NEEDED $needed"

cc=("$musl-gcc" -std=c11 -Wall -Wextra -Wpedantic -Werror -I"$source_dir/include")
bin=$work/bin && mkdir -p "$bin"
"${cc[@]}" "$source_dir/examples/c-dlopen/host.c" -o "$bin/c-dlopen"
"${cc[@]}" "$source_dir/tests/musl/musl_host.c" -L"$lib" -lTolvaneGPS \
  -Wl,-rpath,"$lib" -o "$bin/linked"
"${cc[@]}" -static "$source_dir/tests/musl/musl_host.c" -L"$lib" \
  -l:libTolvaneGPS.a -o "$bin/static"

out=$(mktemp -d) && chmod 700 "$out"
trap 'rm -rf "$out"' EXIT
coproc SIM { exec "$sim" --epochs 1 --rate 0 2> /dev/null; }
read -r port <&"${SIM[0]}"
answer=$(LD_LIBRARY_PATH=$lib "${run[@]}" "$bin/c-dlopen" "$port" "$out" 1)
wait "$SIM_PID" || true
echo "c-dlopen: $answer"
case "$answer" in "block 1: 0 bytes" | "") exit 1 ;; esac
for host in linked static; do
  echo "$host:"
  "${run[@]}" "$bin/$host" "$sim" "$out"
done
