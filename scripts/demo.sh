#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The main job: builds the programs it runs, then, in a private mount namespace and
# in the deployment layout (scripts/system.sh), mounts the PPS filesystem
# at /pps and the simulated modem at /dev/radio/cellular (built-in
# scenario), creates the network-time objects, starts qrx_velomar_server as
# its own user (-U velomar), shows every screen with diagctl, publishes a
# NITZ update and shows it, turns GSM time on and shows the ts_select
# request arriving, then stops the daemon with SIGTERM and reports its exit
# status. Nothing is mounted on the host.
#
#   scripts/demo.sh                run the demo
#   scripts/demo.sh --shell        set everything up and open a shell inside,
#                                  with a supervisor that restarts what ends
#                                  (exit the shell to tear it down)
#   scripts/demo.sh --timeline NAME [COMMAND]
#                                  play the drive NAME (drive-handover,
#                                  reject-storm, drive-lte, or a scenario
#                                  file) and show diagctl --watch 1 --compact
#                                  COMMAND on it (default radionwinfo; access
#                                  for reject-storm, lteopinfo for drive-lte)
#                                  until it ends or Ctrl-C;
#                                  SPEED=4 plays it four times as fast
#   scripts/demo.sh --web [--shell]
#                                  play drive-handover and run diagctl serve
#                                  on 127.0.0.1:${PORT:-8080} (prints the
#                                  URL) until Ctrl-C; with --shell, serve in
#                                  the background and open a shell inside
#   scripts/demo.sh --modem [system]
#                                  the tech-mode device from a modem that
#                                  ModemManager manages (techmode-mm): by
#                                  default ModemManager in its test mode on a
#                                  private bus with a scripted modem
#                                  (tools/techmode-mm/samples/umts.at); with
#                                  "system" the system's ModemManager and its
#                                  first modem; shows what the modem fills
#                                  (--report) and the screens
#   scripts/demo.sh --prefix DIR   run the installed programs in DIR/bin and
#                                  DIR/sbin (e.g. /usr) instead of building
#
# Installs only what the demo needs and builds only the programs it runs
# (the demo preset, build/demo). Needs root (mount namespaces, FUSE);
# re-runs itself with sudo otherwise. Creates the system user velomar and
# group velomar-diag when missing.
set -euo pipefail
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)

mode=demo
web_shell=
args=("$@")
while [ $# -gt 0 ]; do
  case "$1" in
    --shell) mode=shell; shift ;;
    --timeline)
      [ $# -ge 2 ] || { echo "demo.sh: --timeline needs a drive (see --help)" >&2; exit 2; }
      mode=timeline
      drive=$2
      [ -f "$drive" ] || drive=$root/tools/techmode-sim/drives/$2.json
      if [ ! -f "$drive" ]; then
        echo "demo.sh: no drive '$2'; the drives are:" \
          $(cd "$root/tools/techmode-sim/drives" && ls *.json | sed 's/\.json$//') >&2
        exit 2
      fi
      drive=$(readlink -f "$drive")
      shift 2
      watch_cmd=radionwinfo
      [ "$(basename "$drive")" != reject-storm.json ] || watch_cmd=access
      [ "$(basename "$drive")" != drive-lte.json ] || watch_cmd=lteopinfo
      if [ $# -gt 0 ] && [ "${1#-}" = "$1" ]; then watch_cmd=$1; shift; fi
      ;;
    --web)
      mode=web
      drive=$root/tools/techmode-sim/drives/drive-handover.json
      shift
      if [ "${1:-}" = --shell ]; then web_shell=--shell; shift; fi
      ;;
    --modem)
      mode=modem
      modem_source=test
      shift
      if [ "${1:-}" = system ]; then modem_source=system; shift; fi
      ;;
    --prefix)
      [ $# -ge 2 ] || { echo "demo.sh: --prefix needs a directory" >&2; exit 2; }
      VELOMAR_PREFIX=$(cd "$2" && pwd) || exit 2
      export VELOMAR_PREFIX
      shift 2 ;;
    -h|--help) sed -n '2,/^[^#]/p' "$self" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done

. "$root/scripts/system.sh"
setup_profile=demo
build_targets=(qrx_velomar_server ppsfs techmode-sim diagctl)
if [ "$mode" = modem ]; then
  setup_profile=demo-modem
  build_targets+=(techmode-mm scripted-modem)
  device_tool=techmode-mm
fi
enter_namespace demo "$self" ${args[@]+"${args[@]}"}

work=$(mktemp -d /tmp/velomar-demo.XXXXXX)

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
trap 'stop_system; end_strays' EXIT
trap 'exit 130' INT TERM

if [ "$mode" = web ]; then
  say "Platform stand-ins, techmode-sim playing drive-handover, then qrx_velomar_server"
  start_system -s "$drive"
  echo 0 >"$device_dir/clock"
  echo run >"$device_dir/clock"
  say "diagctl serve (Ctrl-C to stop)"
  if [ "$web_shell" = --shell ]; then
    "$bin/diagctl" serve --listen "127.0.0.1:${PORT:-8080}" &
    sleep 1
    echo "diagctl serve runs in the background; exit the shell to tear everything down."
    PATH=$bin:$PATH bash -i || true
    exit 0
  fi
  "$bin/diagctl" serve --listen "127.0.0.1:${PORT:-8080}" || true
  exit 0
fi

if [ "$mode" = timeline ]; then
  # What the drive is, checked before anything starts.
  about=$("$bin/techmode-sim" --check -s "$drive") || exit 2
  say "Platform stand-ins, techmode-sim playing $(basename "$drive" .json), then qrx_velomar_server"
  start_system -s "$drive" --speed "${SPEED:-1}"
  echo "$about"
  length=$(sed -n 's/.*a drive of \([0-9.]*\) s.*/\1/p' <<<"$about")
  say "diagctl --watch 1 --compact $watch_cmd   (Ctrl-C to stop)"
  echo "The drive's clock, from another terminal (the device is mounted in this run's namespace):"
  echo "  sudo nsenter -t $$ -m cat $device_dir/clock"
  echo "  sudo nsenter -t $$ -m sh -c 'echo 30 > $device_dir/clock'   # jumps to 30 s"
  sleep 2
  # The drive from its start, whatever time the start-up took.
  echo 0 >"$device_dir/clock"
  echo run >"$device_dir/clock"
  if [ -z "$length" ] || grep -q looping <<<"$about"; then
    "$bin/diagctl" --watch 1 --compact "$watch_cmd" || true
  else
    # To the end of the drive and a little after it.
    secs=$(awk -v l="$length" -v s="${SPEED:-1}" 'BEGIN { printf "%d", l / s + 4 }')
    timeout --foreground -s INT "$secs" "$bin/diagctl" --watch 1 --compact "$watch_cmd" || true
  fi
  exit 0
fi

if [ "$mode" = modem ]; then
  [ -x "$bin/techmode-mm" ] ||
    { echo "demo.sh: techmode-mm was not built (no libmm-glib: scripts/setup.sh --demo-modem)" >&2; exit 1; }
  trap 'stop_system; stop_test_modem; end_strays' EXIT
  if [ "$modem_source" = test ]; then
    say "ModemManager in its test mode on a private bus, with a scripted modem"
    script=$root/tools/techmode-mm/samples/umts.at
    start_test_modem "$script"
    mmcli -m any --create-bearer=apn=internet.demo >/dev/null  # a PDP context for umtsopinfo
    echo "the modem's script: $script; ModemManager's log: $work/mm.log"
  fi
  mmcli -m any | sed -n '/Hardware/,/equipment id/p;/Status/,/access tech/p' || true
  say "What this modem fills: techmode-mm --report"
  "$bin/techmode-mm" --report --refresh 1 | grep -v '^     .*missing (ModemManager has no source)' || true
  say "Platform stand-ins, techmode-mm, then qrx_velomar_server -U $daemon_user"
  start_system --refresh 1
  sleep 2  # the first reading, and the network time published
  for cmd in identity gsmopinfo radionwinfo umtsopinfo tchtxpower nitz; do
    say "diagctl $cmd"
    "$bin/diagctl" "$cmd" || echo "(diagctl exit status $?)"
  done
  exit 0
fi

say "Platform stand-ins, then qrx_velomar_server -U $daemon_user"
start_system
echo "ppsfs at /pps, techmode-sim at $device_dir (built-in scenario: WCDMA, GSM neighbours)"
ls -l "$device_dir"
ls -ld "$diag"
grep -E '^(Uid|Gid|Groups)' "/proc/$daemon_pid/status"

if [ "$mode" = shell ]; then
  start_supervisor
  cat <<TXT

Everything is running in this shell's private mount namespace:
  $bin/diagctl identity        (or any command; --json, --watch 1)
  cat $diag/status_utra
  daemon log: $work/daemon.log   (pid in $work/daemon.pid)
A supervisor restarts ppsfs, techmode-sim or the daemon when one ends (the
daemon too when a stand-in restarts); it says so in $work/supervisor.log.
Only root and members of $diag_group reach $diag.
Exit the shell to stop the daemon and unmount.
TXT
  PATH=$bin:$PATH bash -i || true
  exit 0
fi

for cmd in identity access radiostats tchtxpower hspaopinfo bearer gsmopinfo umtsopinfo radionwinfo; do
  say "diagctl $cmd"
  "$bin/diagctl" "$cmd" || echo "(diagctl exit status $?)"
done

say "NITZ update from the network-time service"
echo 'last_sync_detail:json:{"source":"nitz","src_sec":1700000000}' >>"$nwtime/status"
sleep 0.2
"$bin/diagctl" nitz

say "GSM time on: the daemon asks the network-time service for ts_select"
"$bin/diagctl" gsm-time on
sleep 0.2
echo "$nwtime/control now holds:"
cat "$nwtime/control"

say "Stopping the daemon with SIGTERM"
stop daemon TERM
echo "exit status: $stop_status; last line on its standard output: $(tail -n 1 "$work/daemon.out")"
echo "daemon log (syslog lines, also on standard error): $work/daemon.log"
