#!/usr/bin/env bash
# Installs every Debian package the project needs, skipping what is there.
# Works on a fresh machine (runs apt-get update first when anything is
# missing). Needs root, or sudo.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config   # the build
  libfuse3-dev fuse3                             # ppsfs and techmode-sim
  rapidjson-dev                                  # libpps decoder (in-situ JSON)
  libcli11-dev                                   # command lines of the tools
  libgtest-dev libgmock-dev                      # tests
  libbenchmark-dev                               # bench/
  clang libclang-rt-dev                          # libFuzzer and sanitizers
  util-linux procps                              # unshare, mount namespaces; ps
  dbus libdbus-1-dev                             # bench/fanout: the dbus-daemon beside ppsfs
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#packages[@]} packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
