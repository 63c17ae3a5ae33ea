#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# techmode-mm beside techmode-sim: builds both, then, in a private mount
# namespace, mounts techmode-sim (built-in scenario) and techmode-mm (on
# ModemManager in its test mode on a private bus, with the scripted modem
# of tools/techmode-mm/samples/umts.at) side by side and times structure
# requests on both with bench/techmode_ioctl, beside a pipe round trip.
# The target: techmode-mm no slower than 1.5 times techmode-sim.
#   bench/techmode_mm.sh [REQUESTS]     (per device and structure, default 20000)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
requests=${1:-20000}
case "$requests" in
  ''|*[!0-9]*) echo "techmode_mm.sh: REQUESTS must be a whole number" >&2; exit 2 ;;
esac
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
. "$root/scripts/system.sh"
. "$root/bench/common.sh"
setup_profile=demo-modem
build_targets=(techmode-sim techmode-mm scripted-modem techmode_ioctl)
enter_namespace default "$self" "$@"
work=$(mktemp -d /tmp/velomar-techmode-mm.XXXXXX)
stop_all() {
  stop techmode-mm
  stop techmode-sim
  umount -l "$work/sim" "$work/mm" 2>/dev/null || true
  stop_test_modem
}
trap stop_all EXIT
trap 'exit 130' INT TERM

start_test_modem "$root/tools/techmode-mm/samples/umts.at"
mkdir -p "$work/sim" "$work/mm"
mount_fs techmode-sim "$work/sim" "$bin/techmode-sim" -f "$work/sim"
mount_fs techmode-mm "$work/mm" "$bin/techmode-mm" -f --network-time '' "$work/mm"
waits_for 20 grep -q "following modem" "$work/techmode-mm.log"
sleep 3  # the Signal interface's first values
machine_line
"$bin/techmode_ioctl" -n "$requests" "$work/sim/techmode" "$work/mm/techmode"
