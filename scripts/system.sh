# Sourced by the demo, the soak and the load run: enters a private mount
# namespace, then starts and stops the whole system inside it. Expects $root
# (the repository); start_system also expects $work (a scratch directory)
# and sets $daemon_pid.
diag=/pps/services/radioctrl/modem0/diag
nwtime=/pps/services/network-time
daemon_pid=

# enter_namespace PRESET SCRIPT [ARGS...]: outside, as root (via sudo when
# needed), installs what is missing, builds PRESET and runs SCRIPT again in
# a private mount namespace; inside, sets $bin. Only the mount point /pps is
# made on the host; what is mounted there stays in the namespace.
enter_namespace() {
  local preset=$1 script=$2
  shift 2
  if [ "${VELOMAR_NAMESPACE_OF:-}" != "$script" ]; then
    if [ "$(id -u)" -ne 0 ]; then exec sudo "$script" "$@"; fi
    "$root/scripts/setup.sh"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" >/dev/null
    mkdir -p /pps
    VELOMAR_NAMESPACE_OF=$script exec unshare --mount --propagation private "$script" "$@"
  fi
  bin=$root/build/$preset/bin
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
    mkdir -p /dev/radio/cellular
  fi
  umount -l "$host"
  rmdir "$host"
  [ -d /dev/radio/cellular ]
}

# start_system USER [techmode-sim options...]
start_system() {
  local user=$1; shift
  if [ -z "${private_dev_done:-}" ]; then private_dev; private_dev_done=1; fi
  "$bin/ppsfs" --log "$work/ppsfs.log" /pps
  "$bin/techmode-sim" "$@" /dev/radio/cellular 2>"$work/techmode-sim.log"
  mkdir -p "$diag" "$nwtime"
  : > "$nwtime/status"
  : > "$nwtime/control"
  # The daemon's log lines also go to its standard error ($work/daemon.log)
  # unless DAEMON_LOG_STDERR=0.
  local log_env=SLOGF_STDERR=1
  [ "${DAEMON_LOG_STDERR:-1}" = 0 ] && log_env=SLOGF_QUIET=1
  env "$log_env" "$bin/qrx_velomar_server" -U "$user" >"$work/daemon.out" 2>"$work/daemon.log" &
  daemon_pid=$!
  local i
  for i in $(seq 200); do
    if [ "$log_env" = SLOGF_STDERR=1 ]; then
      grep -q "Now Start the Velomar PPS Server" "$work/daemon.log" 2>/dev/null && return 0
    elif [ -e "$diag/control" ]; then
      sleep 0.1  # the -U switch and the signal handlers come next
      kill -0 "$daemon_pid" 2>/dev/null && return 0
    fi
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.05
  done
  cat "$work/daemon.log" >&2
  echo "the daemon did not start" >&2
  return 1
}

stop_system() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -TERM "$daemon_pid"
    wait "$daemon_pid" 2>/dev/null || true
  fi
  daemon_pid=
  fusermount3 -u /dev/radio/cellular 2>/dev/null || true
  fusermount3 -u /pps 2>/dev/null || true
}

# An unprivileged user for -U.
demo_user() {
  if id nobody >/dev/null 2>&1; then echo nobody; else echo 65534:65534; fi
}
