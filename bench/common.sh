# SPDX-License-Identifier: Apache-2.0
# What the shell benchmarks share; sourced after scripts/system.sh.

# The machine the figures come from, as the first line of a report.
machine_line() {
  echo "machine: $(nproc --all) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
}

# CPU time of every thread of a process, in nanoseconds.
cpu_ns() {
  local t ns rest sum=0
  for t in /proc/"$1"/task/*/schedstat; do
    read -r ns rest <"$t" || continue
    sum=$((sum + ns))
  done
  echo "$sum"
}

# ns of CPU over s seconds as a share of one core, in percent.
share() { awk -v ns="$1" -v s="$2" 'BEGIN { printf "%.3f%%", ns / (s * 1e9) * 100 }'; }

# Writes the handover drive, playing in a loop, to FILE: a drive that keeps
# changing, so that every round publishes new values.
looping_drive() {
  sed 's/"keyframes": \[/"loop": true, "keyframes": [/' \
    "$root/tools/techmode-sim/drives/drive-handover.json" >"$1"
}
