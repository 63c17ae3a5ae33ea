#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the commands the documents show, as their readers would type them,
# so that an example that no longer works fails the tests. A fenced block's
# info string says who types it:
#   ```sh          a member of the diagnostics group, on a host where the
#                  system runs
#   ```sh root     root, on the same host
#   ```sh booted   root on an installed, booted system: scripts/booted.sh
#                  runs those (--booted prints them), not this script
#   anything else  not run (synopses, output, file contents)
# For each document it starts the whole system as scripts/demo.sh does
# (ppsfs at /pps, techmode-sim with its built-in scenario, the daemon as
# its own user) in a private mount and network namespace with a Mosquitto
# broker on 127.0.0.1:1883, makes a scratch directory holding a copy of
# the repository's tools/ (so a drive is named
# tools/techmode-sim/drives/drive-handover.json), and runs the lines in
# order there with bash: sh lines as an unprivileged user (nobody) whose
# one supplementary group is velomar-diag, sh root lines as root, the
# built programs first on PATH.
# Each line has 5 seconds; then it gets SIGINT (SIGKILL 2 s later), and
# must exit 0 all the same: a program that runs until interrupted (diagctl
# --watch, record, serve) ends cleanly on SIGINT. A line ending in & runs
# in the background until the document's lines are done; then it gets
# SIGINT and must exit 0 too. A line ending in \ goes on in the next.
# Lines that run scripts/ or bench/ are not run (doccheck.sh checks their
# options).
#
#   scripts/docexamples.sh [--bin DIR] [DOCUMENT...]   (default: README.md docs/*.md)
#   scripts/docexamples.sh --booted DOCUMENT...         print the sh booted lines
#
# --bin DIR takes the programs from DIR instead of building the default
# preset. Each document's output goes to build/docexamples/NAME.log.
# Needs root (mount namespaces, FUSE); exits 1 when an example failed.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)

# The lines of DOCUMENT's blocks whose info string is exactly KIND, as
# "LINE<TAB>TEXT", continuation lines joined.
lines_of() {  # KIND DOCUMENT
  awk -v kind="$1" '
    /^```/ {
      if (on) { on = 0; next }
      info = substr($0, 4); sub(/[ \t]+$/, "", info)
      on = (info == kind) ? 1 : 0
      next
    }
    on {
      if (text == "") start = NR
      line = $0
      if (line ~ /\\$/) { text = text substr(line, 1, length(line) - 1) " "; next }
      text = text line
      if (text !~ /^[ \t]*(#|$)/) printf "%d\t%s\n", start, text
      text = ""
    }' "$2"
}

if [ "${1:-}" = --booted ]; then
  shift
  for doc in "$@"; do lines_of "sh booted" "$doc" | cut -f2-; done
  exit 0
fi

examples_bin=
if [ "${1:-}" = --bin ]; then
  [ $# -ge 2 ] || { echo "docexamples.sh: --bin needs a directory" >&2; exit 2; }
  examples_bin=$(readlink -f "$2")
  shift 2
fi
case "${1:-}" in
  -h | --help) sed -n '2,/^[^#]/p' "$self" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
  -*) echo "docexamples.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
esac
docs=("$@")
[ ${#docs[@]} -gt 0 ] || docs=(README.md docs/*.md)
for doc in "${docs[@]}"; do
  [ -f "$doc" ] || { echo "docexamples.sh: no document $doc" >&2; exit 2; }
done

. "$root/scripts/system.sh"
if [ -n "$examples_bin" ]; then
  export VELOMAR_BIN=$examples_bin
fi
namespace_flags=(--net)
enter_namespace default "$self" ${examples_bin:+--bin "$examples_bin"} "${docs[@]}"

ip link set lo up
logs=$root/build/docexamples
mkdir -p "$logs"
work=$(mktemp -d /tmp/velomar-docexamples.XXXXXX)
chmod 0755 "$work"
reader_gid=$(getent group "$diag_group" | cut -d: -f3)
failures=0
background=()

mosquitto_pid=
if [ -x /usr/sbin/mosquitto ]; then
  printf 'listener 1883 127.0.0.1\nallow_anonymous true\npersistence false\nuser nobody\n' >"$work/mosquitto.conf"
  /usr/sbin/mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
  mosquitto_pid=$!
fi

cleanup() {
  stop_system
  [ -z "$mosquitto_pid" ] || kill "$mosquitto_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# run_line AS DIR TEXT [&]: TEXT with bash in DIR, as the reader (AS is
# "reader" or "root"), its output appended to $log. In the foreground it
# gets 5 s, then SIGINT; the exit status is the line's.
as_who() {
  if [ "$1" = root ]; then
    echo env
  else
    echo setpriv --reuid=65534 --regid=65534 --groups="$reader_gid" env
  fi
}
run_line() {
  local who=$1 dir=$2 text=$3
  # shellcheck disable=SC2046  # as_who: a command and its options
  (cd "$dir" && exec timeout -s INT -k 2 --preserve-status 5 $(as_who "$who") -i \
    PATH="$bin:/usr/sbin:/usr/bin:/sbin:/bin" HOME="$dir" LANG=C.UTF-8 TERM=dumb \
    bash -c "$text") >>"$log" 2>&1
}
start_background() {
  local who=$1 dir=$2 text=$3
  # shellcheck disable=SC2046
  (cd "$dir" && exec setsid $(as_who "$who") -i \
    PATH="$bin:/usr/sbin:/usr/bin:/sbin:/bin" HOME="$dir" LANG=C.UTF-8 TERM=dumb \
    bash -c "$text") >>"$log" 2>&1 &
  background+=("$!:$text")
  sleep 2
}
# Ends the background lines with SIGINT; each must exit 0.
end_background() {
  local entry pid text status
  for entry in ${background[@]+"${background[@]}"}; do
    pid=${entry%%:*} text=${entry#*:}
    kill -INT -- "-$pid" 2>/dev/null || true
    for _ in $(seq 40); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL -- "-$pid" 2>/dev/null || true
    status=0
    wait "$pid" || status=$?
    if [ "$status" -ne 0 ]; then
      failed "$text &" "exit status $status after SIGINT"
    fi
  done
  background=()
}
failed() {
  echo "docexamples: $doc: '$1': $2 (output: $log)" >&2
  failures=$((failures + 1))
}

for doc in "${docs[@]}"; do
  name=$(basename "$doc" .md)
  log=$logs/$name.log
  : >"$log"
  all=$( (lines_of sh "$doc" | sed 's/^/reader\t/'; lines_of "sh root" "$doc" | sed 's/^/root\t/') |
    sort -t "$(printf '\t')" -k2,2n)
  # Only the lines that run something here.
  todo=$(awk -F '\t' '$3 !~ /^[ \t]*(scripts|bench)\//' <<<"$all")
  [ -n "$todo" ] || continue
  echo "== $doc"
  start_system
  dir=$work/$name
  mkdir -m 0700 "$dir"
  cp -r "$root/tools" "$dir/tools"
  chown -R 65534:65534 "$dir"
  while IFS=$'\t' read -r who line text; do
    tag=
    [ "$who" = root ] && tag=", as root"
    # Each line's output begins on a line of its own.
    [ ! -s "$log" ] || [ -z "$(tail -c 1 "$log")" ] || echo >>"$log"
    echo "\$ $text    # $doc:$line$tag" >>"$log"
    bare=$(sed -E 's/[[:space:]]+#[[:space:]].*$//; s/[[:space:]]+$//' <<<"$text")
    if [ "${bare: -1}" = "&" ] && [ "${bare: -2}" != "&&" ]; then
      start_background "$who" "$dir" "${bare%&}"
      continue
    fi
    status=0
    run_line "$who" "$dir" "$text" || status=$?
    [ "$status" -eq 0 ] || failed "$text" "exit status $status"
  done <<<"$todo"
  end_background
  stop_system
done

if [ "$failures" -gt 0 ]; then
  echo "docexamples: $failures example(s) failed" >&2
  exit 1
fi
echo "docexamples: every example ran (output: $logs)"
