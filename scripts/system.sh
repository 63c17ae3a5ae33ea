# SPDX-License-Identifier: Apache-2.0
# Sourced by the demo, the soak and the load run: enters a private mount
# namespace, then starts, supervises and stops the whole system inside it,
# in the deployment layout:
#   - qrx_velomar_server runs as its own system user, -U velomar by name
#     (so its groups come from the group database); it starts as root,
#     opens its objects and the device, then drops to that user;
#   - the tech-mode device is 0660, owner root, group velomar (the
#     daemon's group); 'scenario' beside it 0640;
#   - the diag directory is 0750, owner root, group velomar-diag: only
#     root and that group's members (diagctl users) reach the daemon's
#     objects, which the daemon creates 0666 (it is started with umask 0);
#   - ppsfs runs as root and keeps no save tree here; $PPSFS_ARGS, when
#     set, are more of its options (PPSFS_ARGS=--io-uring).
# scripts/setup.sh creates the accounts. Expects $root (the repository);
# start_system also expects $work (a scratch directory) and sets
# $daemon_pid. Every process is started through spawn, so its pid and,
# once it ends, its exit status are in $work/NAME.pid and NAME.status
# (NAME: ppsfs, techmode-sim, daemon) whoever started it.
diag=/pps/services/radioctrl/modem0/diag
nwtime=/pps/services/network-time
device_dir=/dev/radio/cellular
daemon_user=velomar      # the daemon's own system user, with a group of its own
diag_group=velomar-diag  # may read the diag objects and send commands (diagctl)
daemon_pid=
supervisor_pid=
sim_args=()
# The tech-mode device's program: techmode-sim, or techmode-mm for a modem
# that ModemManager manages (demo.sh --modem); its options are $sim_args.
device_tool=${device_tool:-techmode-sim}

# enter_namespace PRESET SCRIPT [ARGS...]: outside, as root (via sudo when
# needed), installs what is missing and creates the accounts
# (scripts/setup.sh, with --$setup_profile when the caller set one), builds
# PRESET (only the targets in $build_targets when the caller set them) and
# runs SCRIPT again in a private mount namespace; inside, sets $bin and
# $sbin (the daemon's directory). With VELOMAR_PREFIX set (an installed
# tree, such as /usr or a package unpacked into a scratch root) nothing is
# built and the programs come from its bin and sbin; with VELOMAR_BIN (a
# build's bin directory) nothing is built and every program comes from
# there. $namespace_flags, when the caller sets them, are more unshare
# options (--net: a network namespace too). Only the mount point /pps is
# made on the host; what is mounted there stays in the namespace.
enter_namespace() {
  local preset=$1 script=$2
  shift 2
  if [ "${VELOMAR_NAMESPACE_OF:-}" != "$script" ]; then
    if [ "$(id -u)" -ne 0 ]; then
      if ! command -v sudo >/dev/null; then
        echo "$(basename "$script"): needs root (mount namespaces, FUSE): run it as root" >&2
        exit 1
      fi
      exec sudo "$script" "$@"
    fi
    "$root/scripts/setup.sh" ${setup_profile:+"--$setup_profile"}
    if [ -z "${VELOMAR_PREFIX:-}" ] && [ -z "${VELOMAR_BIN:-}" ]; then
      cmake --preset "$preset" >/dev/null
      cmake --build --preset "$preset" -j "$(nproc)" ${build_targets:+--target "${build_targets[@]}"} >/dev/null
    fi
    mkdir -p /pps
    VELOMAR_NAMESPACE_OF=$script exec unshare --mount --propagation private \
      ${namespace_flags[@]+"${namespace_flags[@]}"} "$script" "$@"
  fi
  if [ -n "${VELOMAR_BIN:-}" ]; then
    bin=$VELOMAR_BIN sbin=$VELOMAR_BIN
  elif [ -n "${VELOMAR_PREFIX:-}" ]; then
    bin=$VELOMAR_PREFIX/bin sbin=$VELOMAR_PREFIX/sbin
  else
    bin=$root/build/$preset/bin sbin=$root/build/$preset/bin
  fi
}

# Gives the namespace a /dev of its own: a tmpfs with the host's fuse, null,
# zero, full, random, urandom, tty and ptmx nodes, its syslog socket (log)
# and pts and shm bound into it, so the tech-mode device's mount point is
# made here and not on the host.
private_dev() {
  local host n
  host=$(mktemp -d /tmp/velomar-hostdev.XXXXXX)
  if ! mount --rbind /dev "$host"; then rmdir "$host"; return 1; fi
  if mount -t tmpfs -o mode=0755,nosuid tmpfs /dev; then
    for n in fuse null zero full random urandom tty ptmx; do
      [ -e "$host/$n" ] || continue
      : >"/dev/$n"
      mount --bind "$host/$n" "/dev/$n"
    done
    # syslog's socket is usually a symlink into /run, which is shared
    if [ -L "$host/log" ]; then
      cp -P "$host/log" /dev/log
    elif [ -S "$host/log" ]; then
      : >/dev/log
      mount --bind "$host/log" /dev/log
    fi
    for n in pts shm; do
      mkdir -p "/dev/$n"
      mount --rbind "$host/$n" "/dev/$n" 2>/dev/null || true
    done
    ln -s /proc/self/fd /dev/fd
    ln -s /proc/self/fd/0 /dev/stdin
    ln -s /proc/self/fd/1 /dev/stdout
    ln -s /proc/self/fd/2 /dev/stderr
    mkdir -p "$device_dir"
  fi
  umount -l "$host"
  rmdir "$host"
  [ -d "$device_dir" ]
}

# spawn NAME OUT ERR COMMAND...: runs COMMAND in the background, its
# standard output and error appended to OUT and ERR, under a keeper shell
# that writes its pid to $work/NAME.pid and, when it ends, its exit status
# to $work/NAME.status (128+N after signal N). So a supervisor that is not
# its parent can still tell that it ended, and how.
spawn() {
  local name=$1 out=$2 err=$3
  shift 3
  rm -f "$work/$name.pid" "$work/$name.status" "$work/$name.ready"
  (
    "$@" >>"$out" 2>>"$err" &
    pid=$!
    echo "$pid" >"$work/$name.pid.new"
    mv "$work/$name.pid.new" "$work/$name.pid"
    status=0
    wait "$pid" || status=$?
    echo "$status" >"$work/$name.status"
  ) >/dev/null 2>&1 &  # the shell's own "Killed" notes would land anywhere
  until [ -s "$work/$name.pid" ]; do sleep 0.01; done
}

# ended NAME: true once NAME's process has ended (or was never started),
# also when its keeper was killed before it could record how.
ended() {
  [ ! -e "$work/$1.pid" ] || [ -e "$work/$1.status" ] || ! kill -0 "$(cat "$work/$1.pid")" 2>/dev/null
}

# how_ended NAME: "exit status N", "killed by signal N" or "status unknown".
how_ended() {
  local s
  s=$(cat "$work/$1.status" 2>/dev/null || echo "?")
  if [ "$s" = "?" ]; then
    echo "status unknown"
  elif [ "$s" -gt 128 ]; then
    echo "killed by signal $((s - 128))"
  else
    echo "exit status $s"
  fi
}

# stop NAME [SIGNAL]: sends SIGNAL (TERM) to NAME's process and waits for
# it to end; SIGKILL after 10 s. Sets $stop_status to its exit status ("?"
# if its keeper did not record it).
stop() {
  local name=$1 sig=${2:-TERM} pid i
  if ! ended "$name"; then
    pid=$(cat "$work/$name.pid")
    kill -"$sig" "$pid" 2>/dev/null || true
    for i in $(seq 200); do ended "$name" && break; sleep 0.05; done
    if ! ended "$name"; then
      echo "$name did not end on SIG$sig; killing it" >&2
      kill -KILL "$pid" 2>/dev/null || true
      until ended "$name"; do sleep 0.05; done
    fi
  fi
  # The keeper writes the status just after the process has gone.
  for i in $(seq 20); do
    [ -e "$work/$name.status" ] || [ ! -e "$work/$name.pid" ] && break
    sleep 0.05
  done
  stop_status=$(cat "$work/$name.status" 2>/dev/null || echo "?")
}

# mount_fs NAME DIR COMMAND...: starts a FUSE stand-in in the foreground
# (spawn) on DIR and waits until it is mounted there. A mount left by a
# stand-in that was killed is detached first.
mount_fs() {
  local name=$1 dir=$2 i
  shift 2
  umount -l "$dir" 2>/dev/null || true
  spawn "$name" "$work/$name.out" "$work/$name.log" "$@"
  for i in $(seq 200); do
    mountpoint -q "$dir" && return 0
    ended "$name" && break
    sleep 0.05
  done
  cat "$work/$name.log" >&2
  echo "$name did not mount at $dir ($(ended "$name" && how_ended "$name" || echo "still running"))" >&2
  return 1
}

# The objects and modes the daemon expects when it starts: the diag
# directory (0750 to the diagnostics group; the daemon makes its objects in
# it as root) and the network-time service's objects, as that service
# would publish them.
make_layout() {
  mkdir -p "$diag" "$nwtime"
  chown "root:$diag_group" "$diag"
  chmod 0750 "$diag"
  [ -e "$nwtime/status" ] || : >"$nwtime/status"
  [ -e "$nwtime/control" ] || : >"$nwtime/control"
}

start_ppsfs() {
  # shellcheck disable=SC2086  # PPSFS_ARGS: options, split on spaces
  mount_fs ppsfs /pps "$bin/ppsfs" -f ${PPSFS_ARGS:-} /pps && make_layout  # its log: standard error
}

start_sim() {
  mount_fs "$device_tool" "$device_dir" "$bin/$device_tool" -f \
    --owner root --group "$(id -gn "$daemon_user")" --mode 0660 "${sim_args[@]}" "$device_dir"
}

# daemon_answers: true when the daemon answers a request (diagctl's exit
# status 0 SUCCESS or 1 FAILURE; 3 is no daemon, 4 no answer). An answer
# comes only from the poll loop, which starts after the objects and the
# device are open, -U is applied and the signal handlers are in place, so
# this is the readiness test, with no log line to look for.
daemon_answers() {
  local s=0
  "$bin/diagctl" --timeout 2 identity >/dev/null 2>&1 || s=$?
  [ "$s" -eq 0 ] || [ "$s" -eq 1 ]
}

# start_daemon: starts the daemon (as root, -U $daemon_user) and waits until
# it answers (at most 60 s); sets $daemon_pid. Its standard output goes to
# $work/daemon.out, its log lines (also sent to syslog) to $work/daemon.log
# unless DAEMON_LOG_STDERR=0.
start_daemon() {
  local log_env=SLOGF_STDERR=1 mask
  [ "${DAEMON_LOG_STDERR:-1}" = 0 ] && log_env=SLOGF_QUIET=1
  # With no umask its objects get the modes it asks for (0666), the
  # directory's 0750 deciding who reaches them: the diagnostics group may
  # then also write config (diagctl gsm-time), not only read.
  mask=$(umask)
  umask 000
  spawn daemon "$work/daemon.out" "$work/daemon.log" \
    env "$log_env" "$sbin/qrx_velomar_server" -U "$daemon_user"
  umask "$mask"
  daemon_pid=$(cat "$work/daemon.pid")
  local deadline=$((SECONDS + 60))
  while [ "$SECONDS" -lt "$deadline" ]; do
    if daemon_answers; then
      : >"$work/daemon.ready"
      return 0
    fi
    ended daemon && break
    sleep 0.05
  done
  tail -n 20 "$work/daemon.log" >&2
  echo "the daemon did not start ($(ended daemon && how_ended daemon || echo "no answer"))" >&2
  return 1
}

# start_system [device options...]: ppsfs at /pps with the layout, the
# tech-mode device ($device_tool) at /dev/radio/cellular, then the daemon,
# once each is ready.
start_system() {
  if [ -z "${private_dev_done:-}" ]; then private_dev; private_dev_done=1; fi
  if ! getent passwd "$daemon_user" >/dev/null || ! getent group "$diag_group" >/dev/null; then
    echo "no user $daemon_user or group $diag_group: run scripts/setup.sh" >&2
    return 1
  fi
  umask 022
  sim_args=("$@")
  start_ppsfs && start_sim && start_daemon
}

# start_supervisor: from now on, in the background, restarts what ends:
# ppsfs (then the layout, then the daemon, which ends with it), techmode-sim
# (then the daemon, whose device fd died with it; it opens the device only
# at start) and the daemon alone. It says what it did in
# $work/supervisor.log. stop_system stops it first.
start_supervisor() {
  (
    stopping=
    trap 'stopping=1' TERM
    while [ -z "$stopping" ]; do
      ok=0
      if ended ppsfs; then
        echo "$(date +%T) ppsfs ended ($(how_ended ppsfs)): restarting it, the layout and the daemon"
        stop daemon
        start_ppsfs && start_daemon || ok=$?
      elif ended "$device_tool"; then
        echo "$(date +%T) $device_tool ended ($(how_ended "$device_tool")): restarting it and the daemon"
        stop daemon
        start_sim && start_daemon || ok=$?
      elif ended daemon; then
        echo "$(date +%T) the daemon ended ($(how_ended daemon)): restarting it"
        start_daemon || ok=$?
      else
        sleep 0.2
        continue
      fi
      if [ "$ok" -eq 0 ]; then
        echo "$(date +%T) back: the daemon (pid $(cat "$work/daemon.pid")) answers"
      else
        sleep 1  # then try again
      fi
    done
  ) >>"$work/supervisor.log" 2>&1 &
  supervisor_pid=$!
}

# wait_restarted OLD_PID [SECONDS]: waits until a daemon other than OLD_PID
# answers (the supervisor restarted it); sets $daemon_pid.
wait_restarted() {
  local old=$1 limit=${2:-60} i pid
  for i in $(seq $((limit * 20))); do
    pid=$(cat "$work/daemon.pid" 2>/dev/null || true)
    if [ -n "$pid" ] && [ "$pid" != "$old" ] && [ -e "$work/daemon.ready" ] && ! ended daemon; then
      daemon_pid=$pid
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# stop_system: stops the supervisor, then the daemon (SIGTERM; its exit
# status is then in $work/daemon.status), then the stand-ins, which unmount
# themselves on SIGTERM.
stop_system() {
  if [ -n "$supervisor_pid" ]; then
    kill -TERM "$supervisor_pid" 2>/dev/null || true
    wait "$supervisor_pid" 2>/dev/null || true
    supervisor_pid=
  fi
  [ -n "${work:-}" ] || return 0
  stop daemon
  daemon_pid=
  stop "$device_tool"
  stop ppsfs
  umount -l "$device_dir" 2>/dev/null || true
  umount -l /pps 2>/dev/null || true
}

# end_strays: ends (SIGTERM, then SIGKILL after 2 s) every process left in
# this private mount namespace but this script and its own children: what
# a shell inside started and left behind (diagctl serve ... &), which would
# otherwise outlive the run, holding its port. Call it after stop_system.
# Does nothing outside a private mount namespace.
end_strays() {
  local ours pid left=()
  ours=$(readlink /proc/self/ns/mnt)
  [ "$ours" != "$(readlink /proc/1/ns/mnt 2>/dev/null)" ] || return 0
  for pid in $(ls /proc | grep -E '^[0-9]+$'); do
    [ "$pid" != $$ ] && [ "$pid" != "$BASHPID" ] || continue
    [ "$(readlink "/proc/$pid/ns/mnt" 2>/dev/null)" = "$ours" ] || continue
    case " $(awk '/^PPid:/ { print $2 }' "/proc/$pid/status" 2>/dev/null) " in
      " $$ " | " $BASHPID " | "  ") continue ;;
    esac
    left+=("$pid")
  done
  [ ${#left[@]} -gt 0 ] || return 0
  echo "ending what was left running: $(ps -o comm= -p "$(IFS=,; echo "${left[*]}")" | tr '\n' ' ')" >&2
  kill -TERM "${left[@]}" 2>/dev/null || true
  for _ in $(seq 20); do
    kill -0 "${left[@]}" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "${left[@]}" 2>/dev/null || true
}

# waits_for SECONDS COMMAND...: runs COMMAND until it succeeds (quietly),
# at most SECONDS; then once more, its output shown, and its status.
waits_for() {
  local limit=$1 i
  shift
  for i in $(seq $((limit * 5))); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
  "$@"
}

# start_test_modem SCRIPT: a private dbus-daemon as the system bus (its
# address exported for what starts after), ModemManager in its test mode
# on it, and scripted-modem answering SCRIPT as its modem, enabled (for
# techmode-mm without hardware). stop_test_modem stops them.
start_test_modem() {
  local script=$1 port=abstract:velomar-$$
  spawn bus "$work/bus.address" "$work/bus.log" dbus-daemon --session --nofork --print-address=1
  waits_for 10 grep -q . "$work/bus.address"
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/bus.address")
  export DBUS_SYSTEM_BUS_ADDRESS DBUS_SESSION_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS
  spawn modemmanager "$work/mm.log" "$work/mm.log" \
    ModemManager --test-session --test-enable --test-no-udev --no-auto-scan --debug
  spawn scripted-modem "$work/modem.log" "$work/modem.log" "$bin/scripted-modem" "$port" "$script"
  waits_for 10 gdbus call --session -d org.freedesktop.ModemManager1 -o /org/freedesktop/ModemManager1 \
    -m org.freedesktop.ModemManager1.Test.SetProfile velomar generic "['$port']"
  waits_for 30 mmcli -m any -e
}

stop_test_modem() {
  stop scripted-modem
  stop modemmanager
  stop bus
}
