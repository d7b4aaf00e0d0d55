#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's C example compiles as it stands, with every warning an error.
set -euo pipefail
source_dir=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed -n '/^```c$/,/^```$/p' "$source_dir/README.md" | sed '1d;$d' > "$scratch/example.c"
test -s "$scratch/example.c"
cc -std=c11 -Wall -Wextra -Wpedantic -Werror -I"$source_dir/include" \
  -o "$scratch/example" "$scratch/example.c" -ldl
echo "README example: compiles"
