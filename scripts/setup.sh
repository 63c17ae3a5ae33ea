#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Installs every Debian package the project needs (--demo: only what the
# demo needs; --demo-modem: and what scripts/demo.sh --modem needs),
# skipping what is there (runs apt-get update first when anything is
# missing), then creates the accounts of the deployment layout
# when they are missing:
#   velomar        system user (and its own group) the daemon runs as (-U velomar)
#   velomar-diag   system group that may read the diag objects and use diagctl
# Works on a fresh machine; running it again changes nothing. Needs root, or sudo.
set -euo pipefail

# What the demo needs: building the programs and running them.
demo_packages=(
  build-essential cmake ninja-build pkg-config   # the build
  libfuse3-dev fuse3                             # ppsfs and techmode-sim
  liburing-dev                                   # ppsfs --io-uring: FUSE over io_uring
  libsystemd-dev                                 # sd_notify: ppsfs and techmode-sim tell systemd when mounted
  rapidjson-dev                                  # libpps decoder (in-situ JSON)
  libcli11-dev                                   # command lines of the tools
  util-linux procps                              # unshare, mount namespaces; ps
  passwd                                         # useradd, groupadd: the accounts below
  libmicrohttpd-dev                              # diagctl serve: event-driven HTTP(S) and its limits
  libjs-chart.js                                 # diagctl serve: the page's charts
)
# What the tests, benchmarks, fuzzing and packaging need beside it.
more_packages=(
  libgtest-dev libgmock-dev                      # tests
  libcpp-httplib-dev                             # the tests' and benchmarks' HTTP client
  openssl curl                                   # diagctl serve's TLS test: a certificate, a client
  prometheus                                     # /metrics scraped by a real Prometheus; promtool
  libbenchmark-dev                               # bench/
  clang libclang-rt-dev                          # libFuzzer and sanitizers
  clang-format                                   # the formatting check of scripts/test.sh
  dbus libdbus-1-dev                             # bench/fanout: the dbus-daemon beside ppsfs
  chromium chromium-driver                       # diagctl serve's page tests (headless, WebDriver)
  scdoc                                          # man pages
  dpkg-dev file lintian                          # Debian packages: cpack's dependencies, lintian
  systemd                                        # systemd-analyze: the packaging test checks the units
  libmosquitto-dev                               # diagctl record/serve --mqtt (diagctl builds without it)
  mosquitto                                      # the MQTT tests' and bench/mqtt_fleet.sh's broker
  python3-dbusmock                               # techmode-mm's cell info test: a fake ModemManager
  iproute2                                       # scripts/docexamples.sh: the loopback of its network namespace
)
# What techmode-mm and scripts/demo.sh --modem need beside the demo's (the
# tests need them too).
modem_packages=(
  libmm-glib-dev libglib2.0-dev                  # techmode-mm (built only where libmm-glib is found)
  modemmanager dbus                              # ModemManager in its test mode on a private bus
  debootstrap systemd-container                  # scripts/booted.sh: a Debian 12 root, booted by systemd-nspawn
  python3                                        # scripts/booted.sh: reads the container's journal as JSON
)

packages=("${demo_packages[@]}")
case "${1:-}" in
  --demo) ;;
  --demo-modem) packages+=("${modem_packages[@]}") ;;
  "") packages+=("${more_packages[@]}" "${modem_packages[@]}") ;;
  -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v '^# SPDX-License-Identifier:' | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "setup.sh: unknown option $1 (--demo: only what the demo needs; --demo-modem: and techmode-mm)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "setup.sh: needs root to install packages and create accounts: run it as root" >&2
    exit 1
  fi
  sudo="sudo"
fi

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
else
  echo "setup: installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The deployment layout's accounts (scripts/system.sh and tests/e2e use the
# same names). The daemon's user is a system user of its own, with a group
# of its own, no home and no login: not nobody, whose other processes could
# signal the daemon.
daemon_user=velomar
diag_group=velomar-diag
if ! getent group "$diag_group" >/dev/null; then
  echo "setup: creating system group $diag_group (may read the diag objects; diagctl users join it)"
  $sudo groupadd --system "$diag_group"
fi
if ! getent passwd "$daemon_user" >/dev/null; then
  echo "setup: creating system user $daemon_user (qrx_velomar_server runs as it)"
  group_opt=(--user-group)
  getent group "$daemon_user" >/dev/null && group_opt=(--gid "$daemon_user")
  $sudo useradd --system "${group_opt[@]}" --no-create-home --home-dir /nonexistent \
    --shell /usr/sbin/nologin --comment "qrx_velomar_server" "$daemon_user"
fi
