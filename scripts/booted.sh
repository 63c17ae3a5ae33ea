#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The Debian packages in a booted Debian 12 under systemd: installed,
# started, killed, stopped, upgraded, rebooted and purged, each step a
# check that fails when what it names is broken.
#
#   scripts/booted.sh [DEB_DIR]     (default build/default/packages, from scripts/package.sh)
#   scripts/booted.sh --root        only make today's root (scripts/test.sh
#                                   runs it beside the builds)
#
# The root file system is made once a day (debootstrap --variant=minbase,
# with systemd and dbus) under build/booted/root-DATE and reused; each run
# boots an overlay of it (build/booted/run), so the cached root stays
# clean. The container has no network (--private-network): the packages'
# dependencies are resolved from Debian's archive and downloaded into the
# overlay's apt cache before the boot (apt-get --download-only in a
# chroot, with the host's network), then installed from there inside the
# container by apt-get, as an operator's apt-get would. Commands run in it
# through nsenter into its PID 1's namespaces; the host needs no systemd.
# Needs root, debootstrap, systemd-container (systemd-nspawn), /dev/fuse.
set -euo pipefail
case "${1:-}" in
  -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v '^# SPDX-License-Identifier:' | sed 's/^# \{0,1\}//'; exit 0 ;;
  --root) ;;
  -*) echo "booted.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
esac
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root_dir=$(pwd)
[ "$(id -u)" -eq 0 ] || { echo "booted.sh: needs root" >&2; exit 1; }

make_root_only=0
if [ "${1:-}" = --root ]; then
  make_root_only=1
  shift
fi
debs_dir=$(readlink -f "${1:-build/default/packages}")
cache=$root_dir/build/booted
run=$cache/run
packages=(libpps1 libpps-dev ppsfs techmode-sim diagctl qrx-velomar-server)
units=(ppsfs.service techmode-sim.service qrx-velomar.service)
screens=(identity access gsmopinfo tchtxpower tchtxpwr bearer hspaopinfo umtsopinfo radiostats
         radionwinfo)
started=$(date +%s)

step=""
say() {
  step=$*
  echo "== booted: $*"
}
fail() {
  step=""
  echo "booted: FAIL: $*" >&2
  if [ -n "${leader:-}" ] && [ -d "/proc/$leader" ]; then
    echo "-- the units and the last of the journal:" >&2
    inside systemctl status --no-pager --lines=0 "${units[@]}" >&2 || true
    inside journalctl -b --no-pager -n 40 >&2 || true
  fi
  exit 1
}

# --- the root, once a day ----------------------------------------------------
root=$cache/root-$(date -u +%Y%m%d)
if [ ! -e "$root/.complete" ]; then
  say "debootstrap (Debian 12, minbase, systemd, dbus) into $root"
  rm -rf "$root" "$root.partial"
  mkdir -p "$cache"
  t=$(date +%s)
  debootstrap --variant=minbase --include=systemd,systemd-sysv,dbus bookworm "$root.partial" \
    http://deb.debian.org/debian >"$cache/debootstrap.log" 2>&1 ||
    { tail -20 "$cache/debootstrap.log"; fail "debootstrap"; }
  touch "$root.partial/.complete"
  mv "$root.partial" "$root"
  say "root made in $(($(date +%s) - t)) s"
  # Roots of other days go.
  for old in "$cache"/root-*; do
    [ "$old" = "$root" ] || rm -rf "$old"
  done
fi
[ "$make_root_only" -eq 0 ] || exit 0

# --- an overlay of it, and the packages in it ------------------------------
leader=""
nspawn=""
console=""  # set once the web console is enabled
cleanup() {
  local status=$?
  # A command that failed outside the checks' own messages: which step.
  [ $status -eq 0 ] || [ -z "$step" ] || echo "booted: FAIL: a command failed in: $step" >&2
  stop_container
  mountpoint -q "$run/merged" && umount "$run/merged"
  return 0
}
trap cleanup EXIT

stop_container() {
  if [ -n "$nspawn" ] && kill -0 "$nspawn" 2>/dev/null; then
    # SIGTERM asks systemd-nspawn to shut the container down in order.
    kill -TERM "$nspawn" 2>/dev/null || true
    wait "$nspawn" 2>/dev/null || true
  fi
  nspawn=""
  leader=""
}

if mountpoint -q "$run/merged"; then umount "$run/merged"; fi
rm -rf "$run"
mkdir -p "$run/upper" "$run/work" "$run/merged"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$run/upper,workdir=$run/work" "$run/merged"
m=$run/merged

mapfile -t debs < <(for p in "${packages[@]}"; do ls "$debs_dir/${p}"_*.deb; done)
[ ${#debs[@]} -eq ${#packages[@]} ] || fail "expected ${packages[*]} in $debs_dir"
version=$(dpkg-deb -f "${debs[0]}" Version)
mkdir -p "$m/root/debs" "$m/root/next"
cp "${debs[@]}" "$m/root/debs/"

# The next version, for the upgrade: the same files repacked as
# VERSION+1, its dependencies on each other moved along.
next=$version+1
mkdir -p "$run/repack"
for d in "${debs[@]}"; do
  x=$run/repack/$(basename "$d")
  dpkg-deb -R "$d" "$x"
  sed -i -e "s/^Version: .*/Version: $next/" -e "s/(= $version)/(= $next)/g" "$x/DEBIAN/control"
  dpkg-deb --root-owner-group -b "$x" "$m/root/next/" >/dev/null
done

say "dependencies from the archive, into the container's apt cache"
cp /etc/resolv.conf "$m/etc/resolv.conf"
chroot "$m" sh -c 'apt-get install --download-only -y -qq /root/debs/*.deb' >"$run/download.log" 2>&1 ||
  { cat "$run/download.log"; fail "apt-get --download-only"; }

# --- boot ------------------------------------------------------------------
boot() {
  systemd-nspawn -D "$m" --boot --register=no --keep-unit --private-network \
    --bind=/dev/fuse --property=DeviceAllow='/dev/fuse rwm' --machine=velomar-booted \
    >>"$run/console.log" 2>&1 </dev/null &
  nspawn=$!
  # The container's PID 1: systemd, a child of systemd-nspawn (once
  # nspawn's own helper child has gone).
  local state=""
  for _ in $(seq 300); do
    leader=""
    for c in $(pgrep -P "$nspawn" || true); do
      [ "$(cat "/proc/$c/comm" 2>/dev/null)" = systemd ] && leader=$c
    done
    if [ -n "$leader" ]; then
      state=$(inside systemctl is-system-running 2>/dev/null || true)
      case $state in running | degraded) break ;; esac
    fi
    kill -0 "$nspawn" 2>/dev/null || fail "systemd-nspawn ended (see $run/console.log)"
    sleep 0.2
  done
  # degraded: a unit failed at boot. None should, in this minimal system.
  [ "$state" = running ] || {
    inside systemctl --failed --no-pager >&2 || true
    fail "the container's system is '$state', not running"
  }
}

inside() {
  nsenter -t "$leader" -m -u -i -n -p env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
as() { # as USER COMMAND...: in the container, as that user with their groups
  local user=$1
  shift
  inside runuser -u "$user" -- "$@"
}
prop() { inside systemctl show -p "$2" --value "$1"; }
invocations() { for u in "${units[@]}"; do prop "$u" InvocationID; done; }

# Each unit active (running), the mounts there and live, the server
# answering a member of the diagnostics group.
all_up() {
  for u in "${units[@]}"; do
    [ "$(prop "$u" ActiveState)/$(prop "$u" SubState)" = active/running ] || return 1
  done
  inside stat -f -c %T /pps >/dev/null 2>&1 || return 1
  inside test -e /dev/radio/cellular/techmode || return 1
  as alice diagctl --timeout 2 identity 2>/dev/null | grep -q SUCCESS || return 1
  [ -z "$console" ] || [ "$(http_status alice "$(console_token alice)" /api/v1/screens)" = 200 ]
}
# http_status USER TOKEN PATH: the status of a GET to the web console, as USER.
http_status() {
  as "$1" bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080 || exit 1
    printf "GET %s HTTP/1.0\r\nHost: 127.0.0.1:8080\r\nAuthorization: Bearer %s\r\n\r\n" "$2" "$1" >&3
    read -r _ code _ <&3 && echo "$code"' _ "$2" "$3" 2>/dev/null || true
}
console_token() { as "$1" cat /run/velomar-console/token 2>/dev/null || true; }
# Waits until all_up, at most 30 s (a deadline for "never", not a
# measure); prints the seconds it took.
wait_all_up() {
  local t0 now
  t0=$(date +%s.%N)
  for _ in $(seq 150); do
    if all_up; then
      now=$(date +%s.%N)
      awk -v a="$t0" -v b="$now" 'BEGIN { printf "%.1f", b - a }'
      return 0
    fi
    sleep 0.2
  done
  return 1
}
fuse_mounts() { inside grep -E '^([^ ]+ ){4}(/pps|/dev/radio/cellular) .* - fuse' /proc/self/mountinfo || true; }
# Waits up to 5 s for the FUSE mounts to be gone (a mount left behind
# stays for good); fails naming what is left.
no_mounts_left() {
  for _ in $(seq 25); do
    [ -z "$(fuse_mounts)" ] && return 0
    sleep 0.2
  done
  fail "$1: $(fuse_mounts)"
}

boot_t=$(date +%s)
boot
say "booted ($(($(date +%s) - boot_t)) s): systemctl is-system-running = running"

# --- installation ----------------------------------------------------------
say "apt-get install of the packages (offline, dependencies from the apt cache)"
inside sh -c 'apt-get install -y -q /root/debs/*.deb' >"$run/install.log" 2>&1 ||
  { cat "$run/install.log"; fail "apt-get install"; }
for p in "${packages[@]}"; do
  [ "$(inside dpkg-query -W -f='${Status} ${Version}' "$p")" = "install ok installed $version" ] ||
    fail "$p is not installed at $version"
done
# The device came through the virtual package.
grep -q velomar-techmode-device <<<"$(inside dpkg-query -W -f='${Provides}' techmode-sim)" ||
  fail "techmode-sim does not provide velomar-techmode-device"

say "accounts: velomar (system user, own group, no login), velomar-diag (system group)"
IFS=: read -r _ _ uid gid _ home shell < <(inside getent passwd velomar) || fail "no user velomar"
[ "$uid" -lt 1000 ] || fail "velomar is not a system user ($uid)"
[ "$(inside getent group "$gid" | cut -d: -f1)" = velomar ] || fail "velomar has no group of its own"
[ "$home:$shell" = /nonexistent:/usr/sbin/nologin ] || fail "velomar: $home $shell"
IFS=: read -r _ _ dgid _ < <(inside getent group velomar-diag) || fail "no group velomar-diag"
[ "$dgid" -lt 1000 ] || fail "velomar-diag is not a system group"

say "enablement: the target enabled, the services started only through it"
[ "$(inside systemctl is-enabled qrx-velomar.target)" = enabled ] ||
  fail "qrx-velomar.target is not enabled: nothing would start at boot"
for u in "${units[@]}"; do
  [ "$(inside systemctl is-enabled "$u" || true)" = disabled ] || fail "$u is enabled on its own"
done

inside useradd --create-home --groups velomar-diag alice
inside useradd --create-home mallory

say "started: ppsfs and techmode-sim before the server, each active (running)"
wait_all_up >/dev/null || fail "the three units are not all up after installation"
server_start=$(prop qrx-velomar.service ExecMainStartTimestampMonotonic)
for u in ppsfs.service techmode-sim.service; do
  [ "$(prop "$u" Type)" = notify ] || fail "$u is not Type=notify"
  ready=$(prop "$u" ActiveEnterTimestampMonotonic)
  [ "$ready" -lt "$server_start" ] || fail "the server started before $u was ready"
done
# Readiness honoured: when systemctl returns from a start the mount is
# there and the server answers at once (without the units' readiness,
# systemctl would return on the fork or the exec, before either).
inside systemctl restart ppsfs.service
[ -n "$(fuse_mounts | grep ' /pps ')" ] || fail "ppsfs.service active with nothing mounted on /pps"
# The server's unit is active only once the server answers: with the
# device frozen (SIGSTOP) the server blocks opening it, and its unit must
# stay activating; it becomes active once the device runs again.
inside systemctl stop qrx-velomar.target
inside systemctl start ppsfs.service techmode-sim.service
sim=$(prop techmode-sim.service MainPID)
# (MainPID 0 is no process: kill would stop this script's whole group.)
[ "$sim" -gt 0 ] || fail "techmode-sim.service has no main process after its start"
inside sh -c "kill -STOP $sim"
inside systemctl start --no-block qrx-velomar.target
for _ in $(seq 15); do
  [ "$(prop qrx-velomar.service ActiveState)" = active ] &&
    fail "qrx-velomar.service active while the server cannot answer (its device frozen)"
  sleep 0.2
done
[ "$(prop qrx-velomar.service ActiveState)" = activating ] || fail "qrx-velomar.service not starting"
inside sh -c "kill -CONT $sim"
wait_all_up >/dev/null || fail "the server did not become ready once its device ran again"

say "a member of velomar-diag gets every screen; others get the refusal"
for s in "${screens[@]}"; do
  out=$(as alice diagctl --timeout 5 "$s" 2>&1) || fail "diagctl $s as a member: $out"
  grep -q SUCCESS <<<"$out" || fail "diagctl $s as a member: $out"
done
status=0
out=$(as mallory diagctl --timeout 5 identity 2>&1) || status=$?
[ $status -eq 5 ] && grep -q "Permission denied" <<<"$out" && grep -q velomar-diag <<<"$out" ||
  fail "diagctl as a user outside velomar-diag: status $status: $out"
as mallory cat /dev/radio/cellular/techmode >/dev/null 2>&1 && fail "mallory reads the device"
as mallory ls /var/lib/ppsfs >/dev/null 2>&1 && fail "mallory reads ppsfs's save tree"
as mallory ls /pps/services/radioctrl/modem0/diag >/dev/null 2>&1 && fail "mallory lists the diag directory"

say "network time: the objects made by the server's unit, an update shown by diagctl nitz"
inside sh -c 'echo "last_sync_detail:json:{\"source\":\"nitz\",\"src_sec\":1700000000}" \
  >>/pps/services/network-time/status' || fail "no network-time status object to publish into"
for _ in $(seq 25); do
  out=$(as alice diagctl nitz 2>&1) && grep -q '2023:11:14' <<<"$out" && break
  sleep 0.2
done
grep -q '2023:11:14' <<<"$out" || fail "diagctl nitz after a network time update: $out"

say "the web console, enabled by the operator: velomar-console's, its token for velomar-diag alone"
inside systemctl enable --quiet --now velomar-console.service
console=yes
wait_all_up >/dev/null || fail "the web console does not answer a member with the token"
[ "$(inside stat -c %U "/proc/$(prop velomar-console.service MainPID)")" = velomar-console ] ||
  fail "the console does not run as velomar-console"
[ "$(inside stat -c '%a %U %G' /run/velomar-console /run/velomar-console/token | tr '\n' ' ')" = \
  "750 velomar-console velomar-diag 640 velomar-console velomar-diag " ] ||
  fail "the token's directory or file is not 0750/0640 of velomar-console:velomar-diag"
[ -z "$(console_token mallory)" ] || fail "a user outside velomar-diag reads the console's token"
# Ready means the token is there: readable as soon as a restart returns.
inside systemctl restart velomar-console.service
[ -n "$(console_token alice)" ] || fail "no token when systemctl restart velomar-console returned"
for token in "" wrong "$(console_token alice)x"; do
  [ "$(http_status mallory "$token" /api/v1/screens)" = 401 ] ||
    fail "the console answers a request with the token '$token' other than 401"
done

say "the operator's guide: its commands (sh booted blocks of docs/running.md), in order"
: >"$run/guide.log"
while IFS= read -r line; do
  echo "# $line" >>"$run/guide.log"
  inside timeout 120 bash -c "cd /root/debs && $line" >>"$run/guide.log" 2>&1 ||
    { tail -n 20 "$run/guide.log" >&2; fail "docs/running.md's '$line' failed"; }
done < <(scripts/docexamples.sh --booted docs/running.md)
wait_all_up >/dev/null || fail "the system is not all up after the operator's guide's commands"

say "kill -9 of each process, two rounds: systemd brings it back, and the server after it"
cursor=$(inside journalctl -n 0 --show-cursor --no-pager | sed -n 's/^-- cursor: //p')
# Two rounds, as crashes that repeat: the server starts six times in a few
# seconds, more than systemd's default start limit allows.
for u in ppsfs.service techmode-sim.service qrx-velomar.service \
  ppsfs.service techmode-sim.service qrx-velomar.service; do
  before=$(invocations)
  pid=$(prop "$u" MainPID)
  killed=$(python3 -c 'import time; print(int(time.monotonic() * 1e6))')
  inside sh -c "kill -9 $pid"
  secs=$(wait_all_up) || fail "after kill -9 of $u the units are not all up again within 30 s"
  # systemd's own time of the server's return (the container shares the
  # host's monotonic clock).
  back=$(prop qrx-velomar.service ActiveEnterTimestampMonotonic)
  active=$(awk -v a="$killed" -v b="$back" 'BEGIN { printf "%.1f", (b - a) / 1e6 }')
  after=$(invocations)
  # The killed unit and the server are new invocations, the server started
  # after the unit it is bound to was ready again.
  [ "$(sed -n 3p <<<"$before")" != "$(sed -n 3p <<<"$after")" ] || fail "the server was not restarted"
  [ "$(prop qrx-velomar.service ExecMainStartTimestampMonotonic)" -gt "$(prop "$u" ActiveEnterTimestampMonotonic)" ] ||
    [ "$u" = qrx-velomar.service ] || fail "the server started before $u was ready again"
  for i in 1 2 3; do
    [ "${units[$((i - 1))]}" = "$u" ] &&
      { [ "$(sed -n ${i}p <<<"$before")" != "$(sed -n ${i}p <<<"$after")" ] || fail "$u not restarted"; }
  done
  say "  $u killed: the server active again after $active s, answering after $secs s"
done

# systemd never gave up on a unit: the server's start limit counts the
# starts its dependencies cause.
limits=$(inside journalctl --no-pager -o cat --after-cursor="$cursor" _PID=1 |
  grep -E "^(ppsfs|techmode-sim|qrx-velomar|velomar-console)[^ ]*: Start request repeated too quickly" ||
  true)
[ -z "$limits" ] || fail "a start limit was hit after the kills: $limits"

say "systemctl stop of the target: everything stops, no mount left behind, nothing failed; start again"
inside systemctl stop qrx-velomar.target
no_mounts_left "mounts left after stop"
for u in "${units[@]}" velomar-console.service; do
  [ "$(prop "$u" ActiveState)" = inactive ] || fail "$u is $(prop "$u" ActiveState) after stop"
done
inside systemctl start qrx-velomar.target
wait_all_up >/dev/null || fail "the target did not bring the units and the console up again"
# Stopped after a kill, before systemd restarts them: the dead mounts go
# too (nothing would start there again to clear them).
inside sh -c "kill -9 $(prop ppsfs.service MainPID) $(prop techmode-sim.service MainPID)"
inside systemctl stop qrx-velomar.target "${units[@]}"
no_mounts_left "dead mounts left after a kill and a stop"
inside systemctl reset-failed "${units[@]}"
inside systemctl start qrx-velomar.target
wait_all_up >/dev/null || fail "the target did not bring the units up again"

say "the journal: one format, priorities as logged, no line twice"
# A warning of techmode-sim's: a scenario file replaced by one it refuses
# (the file is also the configuration the upgrade must keep).
inside cp /usr/share/techmode-sim/default.json /etc/velomar-scenario.json
inside sh -c 'echo "TECHMODE_SIM_OPTIONS=\"-s /etc/velomar-scenario.json\"" > /etc/default/techmode-sim'
inside systemctl restart techmode-sim.service
wait_all_up >/dev/null || fail "not up again after techmode-sim's restart on a scenario file"
inside sh -c 'echo "{" > /etc/velomar-scenario.json'
inside systemctl reload techmode-sim.service || fail "systemctl reload techmode-sim"
inside cp /usr/share/techmode-sim/default.json /etc/velomar-scenario.json
fields=(--output-fields=MESSAGE,PRIORITY,_PID,_TRANSPORT,SYSLOG_IDENTIFIER)
journal() { inside journalctl -b --no-pager -o json "${fields[@]}" "$@"; }
for u in "${units[@]}" velomar-console.service; do journal _SYSTEMD_UNIT="$u"; done >"$run/journal.json"
[ -s "$run/journal.json" ] || fail "no journal entries of the units"
python3 - "$run/journal.json" <<'PY' || fail "the journal's entries of the units (above)"
import json, re, sys
bad = []
seen = {}
for line in open(sys.argv[1]):
    e = json.loads(line)
    msg = e.get("MESSAGE")
    if not isinstance(msg, str):
        continue
    who = e.get("SYSLOG_IDENTIFIER", "?")
    # The journal gives time, program, pid and priority: a line carrying
    # its own time stamp, a <N> prefix it did not take, or a level word
    # would be a second format.
    if re.match(r"\d{4}-\d\d-\d\dT\d\d:\d\d|<[0-7]>|(emergency|alert|critical|error|warning|notice|info|debug): ", msg):
        bad.append(f"another format: {who}: {msg}")
    key = (e.get("_PID"), msg)
    t = e.get("_TRANSPORT")
    if key in seen and seen[key] != t:
        bad.append(f"logged twice ({seen[key]} and {t}): {who}: {msg}")
    seen.setdefault(key, t)
for b in bad:
    print(b)
sys.exit(1 if bad else 0)
PY
warn=$(inside journalctl -b --no-pager -o cat -p warning -u techmode-sim.service)
grep -q "reload refused, scenario kept" <<<"$warn" || fail "journalctl -p warning misses techmode-sim's warning"
grep -q "serving /dev/radio/cellular/techmode" <<<"$warn" && fail "journalctl -p warning shows an info line"
[ "$(inside journalctl -b -o cat -p info..info -u ppsfs.service | grep -c 'mounted at /pps')" -ge 1 ] ||
  fail "ppsfs's 'mounted' line is not at priority info"
# ppsfs.service serves FUSE over io_uring exactly when the kernel offers it
# (the container has the host's kernel): the unit asks for it and its
# sandbox lets the rings be made.
said=$(inside journalctl -b -o cat -u ppsfs.service | grep "FUSE over io_uring" | tail -1 || true)
if [ "$(cat /sys/module/fuse/parameters/enable_uring 2>/dev/null)" = Y ]; then
  grep -Eq "FUSE over io_uring: [0-9]+ queues" <<<"$said" ||
    fail "the kernel offers FUSE over io_uring, ppsfs.service does not use it: ${said:-nothing said}"
else
  grep -q "not offered by the kernel" <<<"$said" ||
    fail "ppsfs.service does not say it serves /dev/fuse without io_uring: ${said:-nothing said}"
fi

say "a bad option in /etc/default/ppsfs: ppsfs fails and stays down, not retried every second; mended, the target starts again"
inside sh -c 'echo "PPSFS_OPTIONS=--no-such-option" > /etc/default/ppsfs'
inside systemctl restart qrx-velomar.target >/dev/null 2>&1 || true
for _ in $(seq 25); do
  [ "$(prop ppsfs.service ActiveState)" = failed ] && break
  sleep 0.2
done
[ "$(prop ppsfs.service ActiveState)" = failed ] ||
  fail "ppsfs.service is $(prop ppsfs.service ActiveState) with a bad option, not failed"
tries=$(inside journalctl -b -u ppsfs.service -o cat | grep -c -- '--no-such-option' || true)
sleep 3
[ "$(inside journalctl -b -u ppsfs.service -o cat | grep -c -- '--no-such-option' || true)" = "$tries" ] ||
  fail "ppsfs is started again and again with a bad option"
inside rm /etc/default/ppsfs
inside systemctl reset-failed
inside systemctl start qrx-velomar.target
wait_all_up >/dev/null || fail "the target did not bring everything back once the option was mended"

say "systemd-analyze security: each sandbox at most what its unit states"
for entry in ppsfs.service:3.2 techmode-sim.service:2.9 qrx-velomar.service:1.3 \
  velomar-console.service:3.2; do
  u=${entry%%:*}
  limit=${entry#*:}
  level=$(inside systemd-analyze security --no-pager "$u" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  [ -n "$level" ] || fail "no exposure level for $u"
  python3 -c "import sys; sys.exit(0 if float('$level') <= float('$limit') else 1)" ||
    fail "$u: exposure $level, more than $limit"
  say "  $u: $level"
done

say "upgrade to $next: configuration kept, every service restarted, an operator's disable kept"
inside sh -c 'mkdir -p /pps/velomar-test && echo "kept::yes" > /pps/velomar-test/object'
inside systemctl disable --quiet qrx-velomar.target
before=$(invocations)
console_before=$(prop velomar-console.service InvocationID)
inside sh -c 'apt-get install -y -q /root/next/*.deb' >"$run/upgrade.log" 2>&1 ||
  { cat "$run/upgrade.log"; fail "apt-get install of $next"; }
for p in "${packages[@]}"; do
  [ "$(inside dpkg-query -W -f='${Version}' "$p")" = "$next" ] || fail "$p not upgraded"
done
wait_all_up >/dev/null || fail "not up after the upgrade"
after=$(invocations)
for i in 1 2 3; do
  [ "$(sed -n ${i}p <<<"$before")" != "$(sed -n ${i}p <<<"$after")" ] ||
    fail "${units[$((i - 1))]} was not restarted by the upgrade"
done
[ "$console_before" != "$(prop velomar-console.service InvocationID)" ] ||
  fail "the web console was not restarted by the upgrade"
inside grep -q -- "-s /etc/velomar-scenario.json" /etc/default/techmode-sim || fail "/etc/default/techmode-sim changed"
inside sh -c 'tr "\0" " " < /proc/$(systemctl show -p MainPID --value techmode-sim)/cmdline' |
  grep -q -- "-s /etc/velomar-scenario.json" || fail "techmode-sim no longer runs with its configured scenario"
inside grep -q "kept::yes" /pps/velomar-test/object || fail "a saved PPS object was lost in the upgrade"
[ "$(inside systemctl is-enabled qrx-velomar.target || true)" = disabled ] ||
  fail "the upgrade enabled the target the operator had disabled"
inside systemctl enable --quiet qrx-velomar.target

say "reboot of the container: everything comes back by itself"
inside systemctl reboot || true
wait "$nspawn" || true
nspawn=""
boot
wait_all_up >/dev/null || fail "after the reboot the units are not all up"
inside grep -q "kept::yes" /pps/velomar-test/object || fail "a saved PPS object was lost in the reboot"

say "apt-get purge: nothing of ours left but the accounts (kept, locked)"
mapfile -t owned < <(for p in "${packages[@]}"; do inside dpkg-query -L "$p"; done | sort -u)
inside apt-get purge -y -q "${packages[@]}" >"$run/purge.log" 2>&1 ||
  { cat "$run/purge.log"; fail "apt-get purge"; }
for f in "${owned[@]}"; do
  # Directories such as /usr/bin stay; our files and our own directories go.
  if inside test -e "$f" && ! inside test -d "$f"; then fail "purge left $f"; fi
done
for f in /var/lib/ppsfs /pps /dev/radio/cellular /usr/share/techmode-sim /etc/systemd/system/multi-user.target.wants/qrx-velomar.target \
  /usr/lib/systemd/system/qrx-velomar.service.d /usr/lib/systemd/system/techmode-sim.service.d; do
  inside test -e "$f" && fail "purge left $f"
done
no_mounts_left "mounts left after purge"
patterns=('ppsfs*' 'techmode-sim*' 'qrx-velomar*' 'velomar-console*')
files=$(inside systemctl list-unit-files --no-legend "${patterns[@]}" || true)
[ -z "$files" ] || fail "unit files left after purge: $files"
# systemd may still name a removed unit it knew (not-found, inactive).
loaded=$(inside systemctl list-units --all --no-legend --plain "${patterns[@]}" |
  awk '$2 != "not-found" || $3 != "inactive"')
[ -z "$loaded" ] || fail "units still loaded or running after purge: $loaded"
inside grep -rqs qrx-velomar /var/lib/systemd/deb-systemd-helper-enabled && fail "enablement state left after purge"
# Debian's practice keeps system accounts: files may still belong to them.
for user in velomar velomar-console; do
  pw=$(inside getent shadow "$user" | cut -d: -f2)
  case $pw in '!'* | '*'*) ;; *) fail "$user's account is not locked after purge" ;; esac
done
inside test -e /etc/systemd/system/qrx-velomar.target.wants && fail "purge left the console's enablement"

stop_container
say "all checks passed in $(($(date +%s) - started)) s"
