#!/usr/bin/env bash
# The main job. Builds the project and shows what exists so far.
#
# The full demo (PPS filesystem and modem simulator mounted in a private
# mount namespace, the daemon started under an unprivileged user, every
# screen shown with diagctl) needs pieces that are not built yet; until they
# are, this script says so instead of pretending.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

echo
echo "Built so far (build/default):"
for lib in build/default/platform/*.a; do
  [ -e "$lib" ] && echo "  library  $(basename "$lib")"
done
for bin in build/default/bin/*; do
  case "$(basename "$bin")" in *_test) continue ;; esac
  [ -x "$bin" ] && echo "  program  $(basename "$bin")"
done

missing=()
for prog in qrx_velomar_server ppsfs techmode-sim diagctl; do
  [ -x "build/default/bin/$prog" ] || missing+=("$prog")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo
  echo "The demo cannot run yet: not built: ${missing[*]}."
  echo "Only the QNX stand-in libraries (libpps, slogf, devctlv) exist; run"
  echo "scripts/test.sh to see them tested."
  exit 0
fi
