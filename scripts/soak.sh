#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The fault soak: in a private mount namespace, the whole system in the
# deployment layout (scripts/system.sh), with a supervisor, and:
#  1. the simulated modem injecting a fault into about a third of the
#     replies of every structure kind (its scenario swapped between faulty
#     and clean every half second), hostile clients; an unprivileged user
#     flooding the control object with 1 MiB messages for a few seconds
#     while a probe client asks every 100 ms; then 8 clients connecting,
#     sending and disconnecting at random while that user holds 300 unread
#     ?delta opens of a status object (bench/soak.cpp);
#  2. kill -9 of ppsfs, of techmode-sim and of the daemon, one at a time:
#     each time the supervisor must bring the system back, in its layout,
#     answering diagctl;
#  3. the clients again, against the restarted system.
# Then SIGTERM, which must end the daemon with status 0. Prints the
# figures; exit status 0 when everything held.
#   scripts/soak.sh            the long run (8 x 5000 requests, then 8 x 1000)
#   scripts/soak.sh --short    the short run CI makes (8 x 150, then 8 x 50)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
  --short|"") ;;
  *) echo "soak.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
esac
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
preset=${SOAK_PRESET:-default}
. "$root/scripts/system.sh"
enter_namespace "$preset" "$self" "$@"
# ppsfs holds a flooding client to its own share (1 MiB waiting at the
# server) and the daemon reads each message once, so the flood runs as
# long as it is told; the probe client's every request must be answered.
requests=5000 connections=10000 after=1000 flood=10 flood_messages=0
[ "${1:-}" = --short ] && requests=150 connections=2000 after=50 flood=2 flood_messages=0
work=$(mktemp -d /tmp/velomar-soak.XXXXXX)
trap stop_system EXIT
trap 'exit 130' INT TERM

p=0.3
"$bin/techmode-sim" --print-default >"$work/clean.json"
sed "s/^  \"drift\": .*\$/  \"drift\": {\"enabled\": true, \"period_ms\": 1000, \"amplitude_db\": 5},\n  \"faults\": {\
\"identity\": {\"device_error\": 5, \"probability\": $p},\
\"mobility\": {\"missing_tags\": [0], \"probability\": $p},\
\"basic\": {\"wrong_command\": true, \"probability\": $p},\
\"radio_stats\": {\"wrong_struct_type\": 9, \"probability\": $p},\
\"serving_cell_3g\": {\"overlong_tags\": [2], \"missing_tags\": [8], \"probability\": $p},\
\"serving_cell_2g\": {\"oversize_reply\": 64, \"probability\": $p},\
\"bearers_3g\": {\"truncate_block\": 10, \"probability\": $p},\
\"bearer_2g\": {\"raw\": \"0120000000000000\", \"probability\": $p},\
\"dedicated_channel_power\": {\"missing_tags\": [0, 1, 2], \"probability\": $p},\
\"inter_rat_measurements\": {\"overlong_block\": true, \"probability\": $p},\
\"hspa_channel\": {\"overlong_block\": true, \"probability\": $p},\
\"hspa_irat_cm\": {\"raw\": \"\", \"probability\": $p},\
\"pdp_contexts\": {\"truncate_block\": 500, \"probability\": $p},\
\"idle_neighbours_2g\": {\"wrong_struct_type\": 16, \"probability\": $p},\
\"dedicated_measurement_2g\": {\"oversize_reply\": 1000, \"probability\": $p},\
\"active_set\": {\"delay_ms\": 20, \"probability\": $p},\
\"monitored_set\": {\"device_error\": 110, \"probability\": $p},\
\"battery_temperature_c\": {\"overlong_block\": true, \"probability\": $p}}/" "$work/clean.json" >"$work/faulty.json"
"$bin/techmode-sim" --check -s "$work/faulty.json" >/dev/null

start_system -s "$work/faulty.json"
start_supervisor
rc=0
extra=()
# AddressSanitizer's quarantine and shadow memory grow by design; ppsfs
# must stay within 64 MiB of its start with the flood and the hog.
if [ "$preset" = asan ]; then extra+=(--ignore-memory); else extra+=(--ppsfs-limit 64); fi
extra+=(--flood-strict)
echo "soak: 1. faults, hostile clients, a ${flood} s flood, then a backlog hog and $requests requests per client"
"$bin/soak" -p "$daemon_pid" --ppsfs-pid "$(cat "$work/ppsfs.pid")" -r "$requests" \
  --connections "$connections" --flood-seconds "$flood" --flood-messages "$flood_messages" \
  --user nobody \
  --diag-group "$diag_group" "${extra[@]}" \
  --faulty "$work/faulty.json" --clean "$work/clean.json" || rc=1

# The layout as the supervisor must restore it: the daemon as its user, the
# device and the diag directory with their owners and modes.
layout() {
  echo "$(awk '/^Uid:/ {print $2}' "/proc/$daemon_pid/status")" \
    "$(stat -c '%a %U %G' "$device_dir/techmode")" "$(stat -c '%a %U %G' "$diag")"
}
want_layout="$(id -u "$daemon_user") 660 root $(id -gn "$daemon_user") 750 root $diag_group"
echo "soak: 2. kill -9 of each process in turn; the supervisor restarts what must restart"
for victim in ppsfs techmode-sim daemon; do
  old=$daemon_pid
  start=$(date +%s%N)
  kill -KILL "$(cat "$work/$victim.pid")"
  if ! wait_restarted "$old" 120; then
    echo "soak: problem: after kill -9 of $victim the daemon did not come back" >&2
    rc=1
    break
  fi
  ms=$((($(date +%s%N) - start) / 1000000))
  s=0
  "$bin/diagctl" identity >/dev/null 2>&1 || s=$?
  now=$(layout)
  echo "soak: kill -9 $victim: back in $((ms / 1000)).$(printf %03d $((ms % 1000))) s (daemon pid $old -> $daemon_pid), diagctl identity exit status $s, layout: $now"
  if [ "$s" -gt 1 ]; then echo "soak: problem: diagctl identity: exit status $s" >&2; rc=1; fi
  if [ "$now" != "$want_layout" ]; then
    echo "soak: problem: the layout after the restart is '$now', not '$want_layout'" >&2
    rc=1
  fi
done
sed 's/^/soak: supervisor: /' "$work/supervisor.log"

echo "soak: 3. the restarted system: $after requests per client"
"$bin/soak" -p "$daemon_pid" --ppsfs-pid "$(cat "$work/ppsfs.pid")" -r "$after" \
  --connections 0 --flood-seconds 0 --hog-opens 0 --user nobody --diag-group "$diag_group" "${extra[@]}" \
  --faulty "$work/faulty.json" --clean "$work/clean.json" || rc=1

stop_system
status=$(cat "$work/daemon.status" 2>/dev/null || echo "?")
echo "soak: daemon exit status after SIGTERM: $status"
[ "$status" -eq 0 ] || rc=1
echo "soak: $([ $rc -eq 0 ] && echo PASS || echo FAIL)"
exit $rc
