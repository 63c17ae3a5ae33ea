#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What a recording costs the daemon: builds, starts the whole system in a
# private mount namespace in the deployment layout (techmode-sim playing
# the handover drive in a loop, the daemon logging to syslog only, as
# bench/loadrun.sh starts it), then reads the daemon's CPU time (all its
# threads, from /proc/PID/task/*/schedstat) over SECONDS of nothing, the
# floor, and over SECONDS of `diagctl record` of all nine commands once a
# second, and prints both as a share of one core beside the budget, 1%.
# ppsfs's, techmode-sim's and diagctl's own CPU time are printed too.
#   bench/record_cost.sh [SECONDS]      (default 60)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
seconds=${1:-60}
case "$seconds" in
  ''|*[!0-9]*|0) echo "record_cost.sh: SECONDS must be a whole number above 0" >&2; exit 2 ;;
esac
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
. "$root/scripts/system.sh"
. "$root/bench/common.sh"
enter_namespace default "$self" "$@"
work=$(mktemp -d /tmp/velomar-record-cost.XXXXXX)
trap stop_system EXIT
trap 'exit 130' INT TERM

looping_drive "$work/drive.json"
DAEMON_LOG_STDERR=0 start_system -s "$work/drive.json"

ppsfs_pid=$(cat "$work/ppsfs.pid")
sim_pid=$(cat "$work/techmode-sim.pid")
machine_line

d0=$(cpu_ns "$daemon_pid")
sleep "$seconds"
d1=$(cpu_ns "$daemon_pid")

p0=$(cpu_ns "$ppsfs_pid"); s0=$(cpu_ns "$sim_pid")
"$bin/diagctl" record -o "$work/record.jsonl" --every 1 \
  identity access gsmopinfo tchtxpower bearer hspaopinfo umtsopinfo radiostats radionwinfo 2>"$work/record.err" &
rec=$!
r0=$(cpu_ns "$rec"); d2=$(cpu_ns "$daemon_pid")
sleep "$seconds"
d3=$(cpu_ns "$daemon_pid"); p1=$(cpu_ns "$ppsfs_pid"); s1=$(cpu_ns "$sim_pid"); r1=$(cpu_ns "$rec")
kill -INT "$rec"
wait "$rec"

lines=$(wc -l <"$work/record.jsonl")
bytes=$(stat -c %s "$work/record.jsonl")
errors=$(grep -c '"error":' "$work/record.jsonl" || true)
used=$((d3 - d2))
echo "diagctl record of 9 commands every 1 s for $seconds s: $lines records ($errors errors), $((bytes / seconds)) bytes/s"
echo "daemon CPU, idle (floor):    $(share $((d1 - d0)) "$seconds") of a core"
echo "daemon CPU, while recording: $(share "$used" "$seconds") of a core  (budget 1%)"
echo "ppsfs $(share $((p1 - p0)) "$seconds"), techmode-sim $(share $((s1 - s0)) "$seconds"), diagctl $(share $((r1 - r0)) "$seconds")"
if [ $((used * 100)) -lt $((seconds * 1000000000)) ]; then
  echo "within budget"
else
  echo "OVER BUDGET: the daemon used more than 1% of a core"
fi
