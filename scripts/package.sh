#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian packages and tries them as a user would get them:
#   1. builds what they hold (the deliverables target of the default preset,
#      configured for /usr) and runs cpack: build/default/packages/*.deb;
#   2. lintian: no errors;
#   3. unpacks them into a scratch root (dpkg-deb -x) and checks from there:
#      every program's --version; libpps from a C program built with
#      pkg-config (shared and static) and with CMake's find_package (both
#      targets); the units with systemd-analyze verify (no complaint at
#      all); the sample scenarios with techmode-sim --check; the account
#      script on a private copy of /etc (users made as the layout needs,
#      and again changing nothing);
#   4. runs the demo from the unpacked programs (scripts/demo.sh --prefix).
# Needs root (the demo, the copy of /etc in a private mount namespace).
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v '^# SPDX-License-Identifier:' | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "package.sh: takes no arguments (see --help)" >&2; exit 2 ;;
esac
self=$(readlink -f "$0")
cd "$(dirname "$self")/.."
root=$(pwd)
[ "$(id -u)" -eq 0 ] || { echo "package.sh: needs root" >&2; exit 1; }

scripts/setup.sh
version=$(sed -n 's/^project(qrx_velomar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
build=$root/build/default
say() { echo "== package: $*"; }
fail() { echo "package: FAIL: $*" >&2; exit 1; }

say "build and cpack"
cmake --preset default -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build --preset default -j "$(nproc)" --target deliverables >/dev/null
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB >/dev/null)
debs=("$build"/packages/*.deb)
[ ${#debs[@]} -eq 7 ] || fail "expected 7 packages (techmode-mm among them), got: ${debs[*]}"

say "lintian"
lintian --fail-on error "${debs[@]}" 2>&1 | grep -v 'running with root privileges' || true
lintian --fail-on error "${debs[@]}" >/dev/null 2>&1 || fail "lintian reports errors"

scratch=$(mktemp -d /tmp/velomar-package.XXXXXX)
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
for d in "${debs[@]}"; do dpkg-deb -x "$d" "$scratch/root"; done
usr=$scratch/root/usr

say "programs"
for p in bin/ppsfs bin/ppsfs-sandbox bin/techmode-sim bin/diagctl; do
  [ "$("$usr/$p" --version)" = "$(basename "$p") (qrx_velomar) $version" ] ||
    fail "$p --version: $("$usr/$p" --version 2>&1)"
done
[ -x "$usr/sbin/qrx_velomar_server" ] || fail "no sbin/qrx_velomar_server"
for page in man1/diagctl.1 man1/techmode-sim.1 man5/pps.5 man8/ppsfs.8 man8/ppsfs-sandbox.8 \
            man8/qrx_velomar_server.8; do
  [ -s "$usr/share/man/$page.gz" ] || fail "no man page $page"
done
for s in "$usr"/share/techmode-sim/*.json "$usr"/share/techmode-sim/drives/*.json; do
  "$usr/bin/techmode-sim" --check -s "$s" >/dev/null || fail "sample $s does not check out"
done

say "libpps: pkg-config and CMake"
cat >"$scratch/main.c" <<'C'
#include <stdio.h>
#include <string.h>
#include <sys/pps.h>
int main(void) {
    pps_encoder_t e;
    char text[64];
    pps_encoder_initialize(&e, false);
    pps_encoder_add_string(&e, "msg", "identity");
    pps_encoder_add_int(&e, "id", 7);
    snprintf(text, sizeof text, "%s", pps_encoder_buffer(&e));
    pps_encoder_cleanup(&e);
    return strcmp(text, "msg::identity\nid:n:7\n") != 0;
}
C
libdir=$(dirname "$(find "$usr/lib" -name libpps.pc)")/..
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc "$scratch/main.c" $(pkg-config --cflags --libs libpps) -Wl,-rpath,"$libdir" -o "$scratch/shared"
cc "$scratch/main.c" $(pkg-config --cflags libpps) -Wl,-Bstatic $(pkg-config --static --libs libpps |
   sed 's/-lstdc++ -lm//') -Wl,-Bdynamic -lstdc++ -lm -o "$scratch/static"
cat >"$scratch/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.21)
project(consumer C)
find_package(libpps 1.0 CONFIG REQUIRED)
add_executable(cmake_shared main.c)
target_link_libraries(cmake_shared PRIVATE libpps::pps)
add_executable(cmake_static main.c)
target_link_libraries(cmake_static PRIVATE libpps::pps_static)
CMAKE
cmake -S "$scratch" -B "$scratch/b" -G Ninja -DCMAKE_PREFIX_PATH="$usr" \
  -DCMAKE_BUILD_RPATH="$libdir" >/dev/null
cmake --build "$scratch/b" >/dev/null
for p in "$scratch/shared" "$scratch/static" "$scratch/b/cmake_shared" "$scratch/b/cmake_static"; do
  "$p" || fail "$(basename "$p"): wrong PPS text"
done
# Read whole before grep: grep -q stops at its match, and ldd writing on
# would then end with SIGPIPE and fail the pipeline.
linked=$(ldd "$scratch/shared")
grep -q "libpps.so.1 => $libdir" <<<"$linked" || fail "not linked to the unpacked libpps.so.1"
! ldd "$scratch/static" | grep -q libpps || fail "the static program needs libpps.so"

say "systemd units"
# Verified where they will be, but naming the unpacked programs.
units=$scratch/units
cp -r "$usr/lib/systemd/system" "$units"
sed -i "s|=/usr/|=$usr/|g" "$units"/*.service
man_check=(--man=no)
command -v man >/dev/null && man_check=(--man=yes)
# techmode-sim and techmode-mm conflict (one device at a time): each is
# verified with the server bound to it alone, as its package installs it.
for device in techmode-sim techmode-mm; do
  other=techmode-mm
  [ $device = techmode-mm ] && other=techmode-sim
  rm -rf "$units.$device"
  cp -r "$units" "$units.$device"
  rm -f "$units.$device/qrx-velomar.service.d/$other.conf" "$units.$device/$other.service"
  out=$(cd "$units.$device" && MANPATH=$usr/share/man systemd-analyze verify "${man_check[@]}" \
          ./ppsfs.service ./$device.service ./qrx-velomar.service ./qrx-velomar.target \
          ./velomar-console.service 2>&1) || true
  [ -z "$out" ] || fail "systemd-analyze verify (with $device): $out"
done
[ -s "$usr/share/polkit-1/rules.d/50-techmode-mm.rules" ] || fail "no polkit rule for techmode-mm"

say "accounts (postinst on a private copy of /etc)"
mkdir "$scratch/control"
dpkg-deb -e "$build"/packages/qrx-velomar-server_*.deb "$scratch/control"
cp -a /etc "$scratch/etc"
unshare --mount --propagation private bash -euc '
  scratch=$1
  mount --bind "$scratch/etc" /etc
  userdel --force velomar 2>/dev/null || true
  groupdel velomar 2>/dev/null || true
  groupdel velomar-diag 2>/dev/null || true
  for run in first again; do
    # Outside dpkg, deb-systemd-helper declines to enable the target
    # (and says so): only the accounts are tried here.
    "$scratch/control/postinst" configure 2> >(grep -v "was not called from dpkg" >&2)
    IFS=: read -r name _ uid gid _ home shell < <(getent passwd velomar)
    [ "$uid" -lt 1000 ] || { echo "velomar is not a system user ($uid)"; exit 1; }
    [ "$(getent group "$gid" | cut -d: -f1)" = velomar ] || { echo "velomar has no group of its own"; exit 1; }
    [ "$home:$shell" = /nonexistent:/usr/sbin/nologin ] || { echo "velomar: $home $shell"; exit 1; }
    IFS=: read -r _ _ dgid _ < <(getent group velomar-diag)
    [ "$dgid" -lt 1000 ] || { echo "velomar-diag is not a system group"; exit 1; }
    [ "$run" = first ] && before=$(cat /etc/passwd /etc/group) ||
      [ "$before" = "$(cat /etc/passwd /etc/group)" ] || { echo "a second run changed them"; exit 1; }
  done
' _ "$scratch" || fail "the account script"

say "the demo from the unpacked programs"
scripts/demo.sh --prefix "$usr" >"$scratch/demo.out" 2>&1 || { cat "$scratch/demo.out"; fail "demo"; }
grep -q "diagctl exit status" "$scratch/demo.out" && { cat "$scratch/demo.out"; fail "a screen failed"; }
grep -q "^exit status: 0;" "$scratch/demo.out" || { cat "$scratch/demo.out"; fail "the daemon's exit"; }
say "$(grep -c 'SUCCESS' "$scratch/demo.out") screens SUCCESS; packages in $build/packages"
