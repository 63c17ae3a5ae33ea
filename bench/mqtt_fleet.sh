#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What a fleet costs on one machine: builds, starts the whole system in a
# private mount namespace (techmode-sim playing the handover drive in a
# loop), a Mosquitto broker of its own on 127.0.0.1 and N recorders
# (`diagctl record --mqtt` of all nine commands once a second, each under
# its own host name, no file), then prints over SECONDS the CPU of the
# broker and of each recorder (all threads, from /proc/PID/task/*/schedstat)
# as a share of one core, beside the daemon's, ppsfs's and techmode-sim's,
# and what the recorders say they published, delivered and dropped.
#   bench/mqtt_fleet.sh [SECONDS [N]]      (default 60 s, 20 recorders)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
seconds=${1:-60} recorders=${2:-20}
case "$seconds$recorders" in
  *[!0-9]*) echo "mqtt_fleet.sh: SECONDS and N are whole numbers" >&2; exit 2 ;;
esac
[ "$seconds" -gt 0 ] && [ "$recorders" -gt 0 ] || { echo "mqtt_fleet.sh: SECONDS and N above 0" >&2; exit 2; }
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
build_targets=(qrx_velomar_server ppsfs techmode-sim diagctl)
. "$root/scripts/system.sh"
. "$root/bench/common.sh"
enter_namespace default "$self" "$@"
[ -x /usr/sbin/mosquitto ] || { echo "mqtt_fleet.sh: no mosquitto (scripts/setup.sh installs it)" >&2; exit 1; }
work=$(mktemp -d /tmp/velomar-mqtt-fleet.XXXXXX)
recs=()
broker=
finish() {
  local p
  for p in "${recs[@]}"; do kill -INT "$p" 2>/dev/null || true; done
  for p in "${recs[@]}"; do wait "$p" 2>/dev/null || true; done
  [ -n "$broker" ] && { kill "$broker" 2>/dev/null || true; wait "$broker" 2>/dev/null || true; }
  stop_system
}
trap finish EXIT
trap 'exit 130' INT TERM

looping_drive "$work/drive.json"
DAEMON_LOG_STDERR=0 start_system -s "$work/drive.json"

# The broker, as nobody (as root it would switch to a user of its own),
# on a free port of 127.0.0.1.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
chmod 0755 "$work"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest stderr\n' "$port" >"$work/mosquitto.conf"
setpriv --reuid=nobody --regid=nogroup --clear-groups /usr/sbin/mosquitto -c "$work/mosquitto.conf" \
  2>"$work/broker.log" &
broker=$!
for _ in $(seq 100); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

for i in $(seq -w 1 "$recorders"); do
  "$bin/diagctl" record --mqtt "mqtt://127.0.0.1:$port" --host-name "rec$i" --every 1 \
    identity access gsmopinfo tchtxpower bearer hspaopinfo umtsopinfo radiostats radionwinfo 2>"$work/rec$i.err" &
  recs+=($!)
done
sleep 2  # every recorder connected and in its pace

ppsfs_pid=$(cat "$work/ppsfs.pid")
sim_pid=$(cat "$work/techmode-sim.pid")
b0=$(cpu_ns "$broker") d0=$(cpu_ns "$daemon_pid") p0=$(cpu_ns "$ppsfs_pid") s0=$(cpu_ns "$sim_pid")
r0=()
for p in "${recs[@]}"; do r0+=("$(cpu_ns "$p")"); done
sleep "$seconds"
b1=$(cpu_ns "$broker") d1=$(cpu_ns "$daemon_pid") p1=$(cpu_ns "$ppsfs_pid") s1=$(cpu_ns "$sim_pid")
r1=()
for p in "${recs[@]}"; do r1+=("$(cpu_ns "$p")"); done

machine_line
echo "$recorders recorders, 9 commands every 1 s each, QoS 1, to one broker, for $seconds s"
echo "broker (mosquitto $(/usr/sbin/mosquitto -h 2>/dev/null | sed -n 's/.*version \([0-9.]*\).*/\1/p' | head -1)): $(share $((b1 - b0)) "$seconds") of a core"
total=0
line="recorders:"
for i in "${!recs[@]}"; do
  used=$((r1[i] - r0[i]))
  total=$((total + used))
  line+=" $(share "$used" "$seconds")"
done
echo "$line"
echo "recorders together: $(share "$total" "$seconds"), each $(share $((total / recorders)) "$seconds") on average"
echo "daemon $(share $((d1 - d0)) "$seconds"), ppsfs $(share $((p1 - p0)) "$seconds"), techmode-sim $(share $((s1 - s0)) "$seconds")"

for p in "${recs[@]}"; do kill -INT "$p"; done
for p in "${recs[@]}"; do wait "$p" || true; done
recs=()
awk '/record: mqtt:/ { for (i = 1; i <= NF; i++) {
       if ($(i+1) == "records" && $(i+2) == "published,") pub += $i
       if ($(i+1) == "delivered,") del += $i
       if ($(i+1) == "dropped") drop += $i } }
     END { printf "records: %d published, %d delivered, %d dropped\n", pub, del, drop }' "$work"/rec*.err
echo "log warnings of the recorders: $(cat "$work"/rec*.err | grep -c ' warning: ' || true)"
