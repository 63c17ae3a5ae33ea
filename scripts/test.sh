#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds everything and runs every test: first the default build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build; then builds and tries
# the Debian packages (scripts/package.sh), installs them in a booted
# Debian 12 under systemd (scripts/booted.sh), runs the short soak and each
# fuzz target for 30 seconds (scripts/fuzz.sh); the documents are checked
# against the programs and their examples run (scripts/doccheck.sh,
# scripts/docexamples.sh). Warnings are errors, and so
# is a C or C++ source that clang-format (.clang-format) would change.
# Installs what it needs first (scripts/setup.sh). Run as root: the
# end-to-end tests mount file systems in private mount namespaces.
set -euo pipefail
case "${1:-}" in
  "") ;;
  -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v '^# SPDX-License-Identifier:' | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "test.sh: takes no arguments (see --help)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."

scripts/setup.sh
mkdir -p build
# The booted-system test's Debian root is made (once a day) beside the
# builds: debootstrap waits on the archive, not on the processor.
scripts/booted.sh --root >build/booted-root.log 2>&1 &
root_job=$!

echo "== format"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files -z '*.c' '*.cpp' '*.h'
else
  find . -path ./build -prune -o \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0
fi | xargs -0 clang-format --dry-run -Werror
# Every fault of the mutation check still names a line of the code (the
# check itself, scripts/mutants.sh, takes an hour and is run by hand).
scripts/mutants.sh --check

# ppsfs's tests run once more over io_uring (ppsfs --io-uring), which the
# fuse module offers only with its enable_uring parameter on: on for the
# run where the kernel has it, then put back.
uring=/sys/module/fuse/parameters/enable_uring
if [ -w "$uring" ]; then
  uring_was=$(cat "$uring")
  trap 'echo "$uring_was" > "$uring"' EXIT
  echo Y > "$uring"
else
  echo "note: no $uring (a kernel without FUSE over io_uring): its test runs are skipped"
fi

jobs=$(nproc)
for preset in default asan; do
  echo "== build: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== test: $preset"
  ctest --preset "$preset" -j "$jobs"
done
# The documents against the programs and each other, and their examples
# run as their readers would type them (the operator's guide's in the
# booted system below).
echo "== docs"
scripts/doccheck.sh build/default/bin
scripts/docexamples.sh --bin build/default/bin
# The Debian packages: built, lintian, unpacked, the demo run from them.
echo "== package"
scripts/package.sh
# The same packages in a booted Debian 12: installed, started by systemd,
# killed, stopped, upgraded, rebooted, purged.
echo "== booted system"
wait "$root_job" || { echo "note: making the root beside the builds failed (build/booted-root.log); booted.sh tries again"; }
scripts/booted.sh
# The short fault soak, on the sanitizer build (a report ends the daemon
# with a non-zero status, which fails the soak).
echo "== soak (short, asan)"
SOAK_PRESET=asan scripts/soak.sh --short

echo "== fuzz"
scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
echo "== all tests passed"
