#!/usr/bin/env bash
# The fault soak: in a private mount namespace, the whole system with the
# simulated modem injecting a fault into about a third of the replies of
# every structure kind (its scenario swapped between faulty and clean every
# half second), hostile clients, then 8 clients connecting, sending and
# disconnecting at random. Then SIGTERM, which must end the daemon with
# status 0. Prints the figures; exit status 0 when everything held.
#   scripts/soak.sh            the long run (8 x 5000 requests)
#   scripts/soak.sh --short    the short run CI makes (8 x 150 requests)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
preset=${SOAK_PRESET:-default}
. "$root/scripts/system.sh"
enter_namespace "$preset" "$self" "$@"
requests=5000 connections=10000
[ "${1:-}" = --short ] && requests=150 connections=2000
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
rc=0
extra=()
# AddressSanitizer's quarantine and shadow memory grow by design.
[ "$preset" = asan ] && extra+=(--ignore-memory)
"$bin/soak" -p "$daemon_pid" -r "$requests" --connections "$connections" "${extra[@]}" \
  --faulty "$work/faulty.json" --clean "$work/clean.json" || rc=1
stop daemon TERM
status=$stop_status
echo "soak: daemon exit status after SIGTERM: $status"
[ "$status" -eq 0 ] || rc=1
exit $rc
