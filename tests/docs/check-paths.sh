#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# shellcheck disable=SC2016 # backticks here are Markdown, not commands
# Keeps the README and every page under docs/ true to the tree: each project
# path they name in backticks, and each relative link, must exist. A project
# path is one whose first folder is in the source tree and is not a build
# output (those .gitignore names); names with placeholders (<target>, *,
# $VAR, ...) are examples, not paths.
#
#   check-paths.sh SOURCE_DIR
set -euo pipefail
cd "$1"

# The top-level build outputs, as .gitignore names them ("/build*/").
outputs=$(sed -n 's|^/\([^/]*\)/$|\1|p' .gitignore)

# Markdown text without its fenced code blocks, on one line, so that a span
# broken across lines is still one span.
prose() { awk '/^```/ { fenced = !fenced; next } !fenced' "$1" | tr '\n' ' '; }

# Prints each backticked project path in TEXT that is missing.
missing_paths() {
  grep -o '`[^`]*`' <<< "$1" | tr -d '`' | while read -r span; do
    case $span in */*) ;; *) continue ;; esac
    case $span in *[!A-Za-z0-9_./+-]* | *...* | /*) continue ;; esac
    first=${span%%/*}
    case $first in . | ..) continue ;; esac
    [ -d "$first" ] || continue
    for output in $outputs; do
      # shellcheck disable=SC2254 # the pattern is .gitignore's
      case $first in $output) continue 2 ;; esac
    done
    [ -e "$span" ] || echo "$span"
  done
}

# The checker itself: the stale name it was written for is caught, and the
# folder that replaced it passes.
[ "$(missing_paths '`tools/gpscapture.cpp`')" = tools/gpscapture.cpp ]
[ -z "$(missing_paths '`tools/gpscapture/`')" ]

status=0
while read -r page; do
  for path in $(missing_paths "$(prose "$page")"); do
    echo "$page names $path, which is not in the tree"
    status=1
  done
  # Relative links, from the page's own folder.
  for link in $(prose "$page" | grep -o ']([^):#]*[)#]' | sed 's/^](//; s/.$//'); do
    [ -e "$(dirname "$page")/$link" ] && continue
    echo "$page links to $link, which is not in the tree"
    status=1
  done
done < <(echo README.md; find docs -name '*.md' | sort)
[ "$status" = 0 ] && echo "docs: every path and link named exists"
exit "$status"
