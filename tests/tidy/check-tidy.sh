#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# check-tidy.sh CLANG_TIDY SOURCE BUILD WORK: clang-tidy on each file of
# SOURCE/src and SOURCE/tools in BUILD's compile commands, with the checks
# of SOURCE/.clang-tidy; any finding fails. Two at a time, niced: the rest
# of the suite runs beside it.
set -euo pipefail
tidy=$1 source=$2 build=$3 work=$4
mkdir -p "$work"
# GCC's -fno-gnu-unique (cmake/static-archive.cmake) is no clang option.
sed 's/ -fno-gnu-unique//g' "$build/compile_commands.json" \
  > "$work/compile_commands.json"
sed -n 's/^ *"file": "\(.*\)",*$/\1/p' "$work/compile_commands.json" |
  sort -u | while read -r file; do
    case $file in "$source"/src/* | "$source"/tools/*) echo "$file" ;; esac
  done > "$work/files"
[ -s "$work/files" ] || { echo "no file of src/ or tools/ in $build"; exit 1; }
echo "clang-tidy on $(wc -l < "$work/files") files"
# One file a process: clang-tidy 14's analyzer, given several, no longer
# knows va_start after the first and calls its va_list uninitialised.
nice -n 19 xargs -P2 -n1 "$tidy" -p "$work" --quiet --warnings-as-errors='*' \
  < "$work/files" 2>&1 |
  { grep -v '^[0-9]* warnings\? \(and [0-9]* errors\? \)\?generated\.$' || true; }
