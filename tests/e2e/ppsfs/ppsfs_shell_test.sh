#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# ppsfs as a shell user meets it: cat, echo, ls, rm, stat and a second user,
# through ppsfs-sandbox in a private mount namespace. Exact texts and exit
# statuses. Usage: ppsfs_shell_test.sh BIN_DIR
set -u
bin=$1
[ -c /dev/fuse ] || { echo "SKIP: no /dev/fuse"; exit 77; }

work=$(mktemp -d /tmp/ppsfs-shell-XXXXXX)
chmod 755 "$work"
trap 'rm -rf "$work"' EXIT
mnt=$work/pps

# The checks run inside the sandbox, with the mount at $mnt.
cat > "$work/checks.sh" <<'CHECKS'
set -u
mnt=$1 nl=$'\n' failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check NAME EXPECTED ACTUAL
  [ "$2" = "$3" ] || fail "$1: expected $(printf '%q' "$2"), got $(printf '%q' "$3")"
}
mkdir -p "$mnt/services/demo"
o=$mnt/services/demo/obj

echo "a::1" > "$o"
check "echo creates, cat shows" "@obj${nl}a::1" "$(cat "$o")"
echo "b:n:2" >> "$o"
check ">> merges" "@obj${nl}a::1${nl}b:n:2" "$(cat "$o")"
check "same inode" "$(stat -c %i "$o")" "$(stat -c %i "$o?delta,wait")"
check "ls lists names only" "obj" "$(ls "$mnt/services/demo")"
# Another user reaches the mount made by root.
check "other user reads" "@obj${nl}a::1${nl}b:n:2" \
  "$(setpriv --reuid=65534 --regid=65534 --clear-groups cat "$o")"
rm "$o?nopersist"
check "rm with qualifier" "" "$(ls "$mnt/services/demo")"

# Saved state for the next sandbox.
mkdir "$mnt/keep"
echo "k::1" > "$mnt/keep/obj"
echo "t::1" > "$mnt/keep/tmp?nopersist"
exit $((failures > 0))
CHECKS

status=0
fail() { echo "FAIL: $*"; status=1; }
sandbox=("$bin/ppsfs-sandbox" -m "$mnt" -p "$work/saved" --)
timeout 60 "${sandbox[@]}" bash "$work/checks.sh" "$mnt" || status=1
# A second sandbox loads what the first saved, except the nopersist object.
out=$(timeout 60 "${sandbox[@]}" sh -c "cat '$mnt/keep/obj'; ls '$mnt/keep'")
[ "$out" = $'@obj\nk::1\nobj' ] || fail "restored state: $(printf '%q' "$out")"
# Over a PPS already mounted there (a host running the system has one at
# /pps), the command runs only on the sandbox's own: once it is mounted,
# and not at all when its ppsfs cannot start (here: a bad option), so it
# never writes into the one outside.
out=$(timeout 60 unshare --mount --propagation private bash -c '
  bin=$1 mnt=$2
  mkdir -p "$mnt"
  "$bin/ppsfs" --foreground --log-level warning "$mnt" & outer=$!
  for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.05; done
  echo "x::1" > "$mnt/outer"
  "$bin/ppsfs-sandbox" -m "$mnt" --log-level warning -- sh -c "ls \"$mnt\"; echo y::1 > \"$mnt/a\""
  "$bin/ppsfs-sandbox" -m "$mnt" --root-mode bad -- sh -c "echo y::1 > \"$mnt/b\"" 2>/dev/null ||
    echo "refused"
  ls "$mnt"
  umount "$mnt"; wait "$outer"' _ "$bin" "$mnt")
[ "$out" = $'refused\nouter' ] || fail "a sandbox over a mounted PPS: $(printf '%q' "$out")"
# Nothing stays mounted outside the sandbox.
! grep -q " $mnt " /proc/self/mountinfo || fail "mount visible outside the sandbox"
exit $status
