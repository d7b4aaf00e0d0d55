#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# System calls a block: GPSWrite against the same work by hand, counted with
# strace between block_syscalls' markers, for 5000- and 80-byte blocks.
set -euo pipefail
helper=$1
trace=$(mktemp)
trap 'rm -f "$trace"' EXIT

per_block() {
  strace -qq -o "$trace" "$helper" "$1" "$2" "$3"
  awk '/^getppid\(/ { inside = !inside; if (!inside) blocks++; next }
       inside { calls++ }
       END { printf "%.1f", calls / blocks }' "$trace"
}

for size in 5000 80; do
  blocks=20
  [ "$size" -eq 80 ] && blocks=5 # each ends on the 100 ms quiet gap
  library=$(per_block library "$size" "$blocks")
  raw=$(per_block raw "$size" "$blocks")
  echo "GPSWrite/$size: $library system calls a block, by hand $raw" \
       "(goal: at most 3 more)"
done
