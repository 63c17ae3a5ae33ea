#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The end-to-end load run: builds, starts the whole system in a private
# mount namespace (ppsfs, techmode-sim with its built-in scenario but no
# drift, the daemon as its own user, in the deployment layout of
# scripts/system.sh) and runs bench/loadrun for each command given
# (default: identity gsmopinfo), then stops it all.
#   bench/loadrun.sh [--cpus LIST] [COMMAND...]   e.g. bench/loadrun.sh identity
# --cpus LIST runs every process of the system on those CPUs (taskset -c),
# e.g. --cpus 0 puts the daemon, ppsfs and techmode-sim on one CPU, so each
# FUSE request is served on the CPU that made it, as a QNX message is.
# Extra loadrun options: LOADRUN_ARGS="-r 2000 -m 0" bench/loadrun.sh
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
  --cpus)
    [ $# -ge 2 ] || { echo "loadrun.sh: --cpus needs a CPU list (e.g. 0 or 0,1)" >&2; exit 2; }
    cpus=$2; shift 2
    command -v taskset >/dev/null || { echo "loadrun.sh: --cpus needs taskset (util-linux)" >&2; exit 2; }
    taskset -c "$cpus" true 2>/dev/null || { echo "loadrun.sh: no such CPUs: $cpus" >&2; exit 2; }
    exec taskset -c "$cpus" "$0" "$@" ;;
esac
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
. "$root/scripts/system.sh"
. "$root/bench/common.sh"
enter_namespace default "$self" "$@"
work=$(mktemp -d /tmp/velomar-load.XXXXXX)
trap stop_system EXIT
trap 'exit 130' INT TERM

"$bin/techmode-sim" --print-default | sed 's/"drift": {"enabled": true/"drift": {"enabled": false/' >"$work/scenario.json"
# Measured as deployed: no copy of each log line to a file.
DAEMON_LOG_STDERR=0 start_system -s "$work/scenario.json"
echo "$(machine_line); this run on CPUs $(taskset -pc $$ 2>/dev/null | sed 's/.*: //' || echo all)"
for cmd in "${@:-identity gsmopinfo}"; do
  for c in $cmd; do
    "$bin/loadrun" -p "$daemon_pid" -c "$c" ${LOADRUN_ARGS:-}
    echo
  done
done
