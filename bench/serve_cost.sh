#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What the web console's event streams cost: builds, starts the whole system
# in a private mount namespace in the deployment layout (techmode-sim
# playing the handover drive in a loop, the daemon logging to syslog only,
# as bench/record_cost.sh starts it), then diagctl serve refreshing once a
# second, and runs bench/serve_streams: the CPU of diagctl serve and of the
# daemon (and of ppsfs and techmode-sim) over SECONDS with no stream, then
# over SECONDS with CLIENTS streams open on /api/v1/stream, each as a share
# of one core, and serve's and the daemon's together beside the budget, 5%.
#   bench/serve_cost.sh [SECONDS [CLIENTS]]      (default 60 s, 50 streams)
# Run it with nice when the machine is shared: the figures are CPU time,
# not wall time, so they hold.
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
seconds=${1:-60}
clients=${2:-50}
for n in "$seconds" "$clients"; do
  case "$n" in
    ''|*[!0-9]*|0) echo "serve_cost.sh: SECONDS and CLIENTS are whole numbers above 0" >&2; exit 2 ;;
  esac
done
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
. "$root/scripts/system.sh"
. "$root/bench/common.sh"
build_targets=(qrx_velomar_server ppsfs techmode-sim diagctl serve_streams)
enter_namespace default "$self" "$@"
work=$(mktemp -d /tmp/velomar-serve-cost.XXXXXX)
stop_all() { stop serve; stop_system; }
trap stop_all EXIT
trap 'exit 130' INT TERM

looping_drive "$work/drive.json"
DAEMON_LOG_STDERR=0 start_system -s "$work/drive.json"

# Room for every stream: serve refuses more than --max-streams (32 by default).
spawn serve "$work/serve.out" "$work/serve.err" \
  "$bin/diagctl" serve --listen 127.0.0.1:0 --every 1 --max-streams $((clients + 8))
port=
for _ in $(seq 200); do
  port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/serve.out")
  [ -n "$port" ] && break
  ended serve && break
  sleep 0.05
done
if [ -z "$port" ]; then
  cat "$work/serve.err" >&2
  echo "serve_cost.sh: diagctl serve did not start ($(how_ended serve))" >&2
  exit 1
fi

machine_line
"$bin/serve_streams" --port "$port" --token "$(sed -n 's/.*#token=//p' "$work/serve.out")" --clients "$clients" --seconds "$seconds" \
  --serve-pid "$(cat "$work/serve.pid")" --daemon-pid "$daemon_pid" \
  --other "ppsfs=$(cat "$work/ppsfs.pid")" --other "techmode-sim=$(cat "$work/techmode-sim.pid")"
