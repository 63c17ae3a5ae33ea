#!/usr/bin/env bash
# Puts "SPDX-License-Identifier: Apache-2.0" at the top of every source file
# that git tracks and that lacks one, in that file's own comment syntax:
# C and C++ sources and headers, CMake files and templates, shell scripts,
# systemd units, pkg-config templates, man page sources, the linker's
# version script, the Debian maintainer scripts and the completion. Data
# (JSON, fuzz corpora, golden files), documents and the licence itself are
# left alone. Running it again changes nothing; run it after a merge brings
# in new files. Usage: scripts/spdx.sh [--check]   (--check: only list the
# files that lack the line, exit status 1 if any)
set -euo pipefail
check=
case "${1:-}" in
  "") ;;
  --check) check=1 ;;
  -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v '^# SPDX-License-Identifier:' | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "spdx.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
tag="SPDX-License-Identifier: Apache-2.0"

# The comment that carries the line for PATH, or nothing for a file left alone.
comment_for() {
  local path=$1 name=${1##*/}
  case $path in
    tests/fuzz/corpus/*) return ;;
  esac
  case $name in
    *.cpp | *.cc | *.hpp) echo "// $tag" ;;
    *.c | *.h | *.map | *.h.in) echo "/* $tag */" ;;
    CMakeLists.txt | *.cmake | *.cmake.in | *.pc.in | *.service.in | *.conf | *.sh) echo "# $tag" ;;
    *.scd) echo "; $tag" ;;
    copyright | *.*) ;;
    *)
      # Files without a suffix: scripts, and what packaging/ holds.
      if head -c 2 "$path" | grep -q '^#!' || [[ $path == packaging/* ]]; then
        echo "# $tag"
      fi
      ;;
  esac
}

lacking=0
while IFS= read -r path; do
  [ -f "$path" ] || continue
  line=$(comment_for "$path")
  [ -n "$line" ] || continue
  head -n 5 "$path" | grep -q 'SPDX-License-Identifier' && continue
  lacking=$((lacking + 1))
  if [ -n "$check" ]; then echo "$path"; continue; fi
  tmp=$(mktemp)
  # After a "#!" line, and after a man page's first line (scdoc wants its
  # title first); else first.
  if head -c 2 "$path" | grep -q '^#!' || [[ $path == *.scd ]]; then
    { head -n 1 "$path"; echo "$line"; tail -n +2 "$path"; } >"$tmp"
  else
    { echo "$line"; cat "$path"; } >"$tmp"
  fi
  cat "$tmp" >"$path"  # keeps the file's mode
  rm -f "$tmp"
done < <(git ls-files)

if [ -n "$check" ]; then
  [ "$lacking" -eq 0 ]
else
  echo "spdx: added the line to $lacking files"
fi
