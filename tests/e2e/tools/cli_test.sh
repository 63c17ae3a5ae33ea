#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Every tool's command line as a user meets it first: --version prints
# "NAME (qrx_velomar) VERSION" and nothing else, --help lists --version (and
# --log-level where the tool logs), an unknown option is refused with exit
# status 2 and a message on standard error only.
# Where MAN_DIR (the man pages' sources) and COMPLETION_DIR are set, the
# tool's man page and bash completion must name every option --help lists.
# Usage: [MAN_DIR=DIR] [COMPLETION_DIR=DIR] cli_test.sh VERSION BIN_DIR TOOL[:logs]...
set -u
version=$1 bin=$2
shift 2
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
work=$(mktemp -d /tmp/cli-test-XXXXXX)
trap 'rm -rf "$work"' EXIT

run() {  # run ARGS...: the tool's exit status in s, its output in $work/out and err
  s=0
  "$exe" "$@" >"$work/out" 2>"$work/err" </dev/null || s=$?
}
for spec in "$@"; do
  tool=${spec%%:*}
  exe=$bin/$tool
  [ -x "$exe" ] || { fail "$tool: no $exe"; continue; }

  run --version
  [ "$s" -eq 0 ] || fail "$tool --version: exit status $s"
  [ "$(cat "$work/out")" = "$tool (qrx_velomar) $version" ] ||
    fail "$tool --version printed '$(cat "$work/out")'"
  [ ! -s "$work/err" ] || fail "$tool --version wrote to standard error: $(cat "$work/err")"

  run --help
  [ "$s" -eq 0 ] || fail "$tool --help: exit status $s"
  grep -q -- '--version' "$work/out" || fail "$tool --help does not list --version"
  [ "$spec" = "$tool" ] || grep -q -- '--log-level' "$work/out" ||
    fail "$tool --help does not list --log-level"
  # The man page and the completion (where there are) know every option.
  page=$(ls "${MAN_DIR:-/nonexistent}/$tool".*.scd 2>/dev/null | head -n 1)
  completion=${COMPLETION_DIR:-/nonexistent}/$tool
  for opt in $(grep -o -- '--[a-z][a-z-]*' "$work/out" | sort -u); do
    [ -z "$page" ] || grep -q -- "\*$opt\*" "$page" ||
      fail "$tool: $opt is not in $(basename "$page")"
    [ ! -f "$completion" ] || grep -q -- "$opt\b" "$completion" ||
      fail "$tool: $opt is not in its bash completion"
  done

  run --no-such-option
  [ "$s" -eq 2 ] || fail "$tool --no-such-option: exit status $s, not 2"
  [ ! -s "$work/out" ] || fail "$tool --no-such-option wrote to standard output"
  [ -s "$work/err" ] || fail "$tool --no-such-option: no message on standard error"
  echo "checked: $tool"
done
echo "$failures failed"
[ "$failures" -eq 0 ]
