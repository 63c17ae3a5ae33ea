#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the libFuzzer targets (fuzz preset: clang, ASan + UBSan) and runs
# each for SECONDS (default 60) on a scratch copy of its seed corpus in
# tests/fuzz/corpus/<target>/. Fails when any target reports a crash, a leak,
# undefined behaviour, a failed check, a hang (10 s on one input) or runs out
# of memory; prints per target the executions and the coverage reached
# (cov: edges, ft: features, from libFuzzer's last status line).
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# Targets: ppsprocess pps_decoder techmode ppsfs_write (all by default).
# Per target, build/fuzz/run/<target>/ keeps the log, the grown corpus and
# any finding (crash-*, leak-*, timeout-*, oom-*); re-run one with
#   build/fuzz/bin/fuzz_<target> build/fuzz/run/<target>/findings/<file>
set -euo pipefail
cd "$(dirname "$0")/.."

all_targets=(ppsprocess pps_decoder techmode ppsfs_write)

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'
}

seconds=60
if [ $# -gt 0 ]; then
  case "$1" in
    -h | --help)
      usage
      exit 0
      ;;
    *[!0-9]* | "")
      echo "fuzz.sh: SECONDS must be a whole number, not '$1'" >&2
      exit 2
      ;;
    *)
      seconds=$1
      shift
      ;;
  esac
fi
if [ "$seconds" -lt 1 ]; then
  echo "fuzz.sh: SECONDS must be at least 1" >&2
  exit 2
fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  if [ ! -d "tests/fuzz/corpus/$t" ]; then
    echo "fuzz.sh: unknown target '$t' (known: ${all_targets[*]})" >&2
    exit 2
  fi
done

echo "== build: fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1

failed=()
rows=()
for t in "${targets[@]}"; do
  run=build/fuzz/run/$t
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/findings"
  cp tests/fuzz/corpus/"$t"/* "$run/corpus/"
  echo "== fuzz: $t for ${seconds}s"
  status=0
  # -close_fd_mask=3: the code under test prints and logs a lot; libFuzzer
  # and the sanitizers keep reporting on their own copy of standard error.
  build/fuzz/bin/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
    -close_fd_mask=3 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$run/findings/" "$run/corpus" >"$run/log" 2>&1 || status=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$run/log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$run/log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  corp=$(sed -n 's/.* corp: \([0-9]*\)\/.*/\1/p' <<<"$last")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$run/log" | tail -1)

  result=ok
  if [ "$status" -ne 0 ] || grep -qE 'runtime error:|ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|fuzz check failed' "$run/log" ||
    [ -n "$(ls -A "$run/findings")" ]; then
    result=FAILED
    failed+=("$t")
    echo "-- $t failed (exit status $status); end of $run/log:"
    tail -n 60 "$run/log"
    ls "$run/findings" | sed "s|^|-- finding: $run/findings/|"
  fi
  rows+=("$(printf '%-12s %-7s %12s %8s %7s %7s %6s' "$t" "$result" "${execs:-?}" "${rate:-?}" \
    "${cov:-?}" "${ft:-?}" "${corp:-?}")")
done

echo "== fuzz summary (${seconds}s per target)"
printf '%-12s %-7s %12s %8s %7s %7s %6s\n' target result executions exec/s cov ft corpus
printf '%s\n' "${rows[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "== fuzzing FAILED: ${failed[*]}"
  exit 1
fi
echo "== fuzzing passed"
