#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The mutation check: how many plausible faults the tests catch. Each fault
# of scripts/mutants.txt (a file, a snippet of one of its lines and its
# replacement) is put into a copy of the source tree, one at a time; the
# copy is rebuilt (ninja compiles only what the fault touches) and the tests
# of the faulty file's part of the code run. A fault is caught when a test
# fails (a test that fails is run once more, so that one flaky run does not
# count), survived when they all pass, and invalid when the build fails;
# invalid faults are not counted in the score. The working tree is never
# changed: the copy is build/mutants/src, its build build/mutants/build, and
# the faulty file of the copy is restored after each fault, on Ctrl-C too.
#
# Prints a line per fault, then the score (caught / (caught + survived)) per
# directory and in total, and the faults that survived.
#
#   scripts/mutants.sh [OPTIONS]
#     --only REGEX    only the faults whose file matches REGEX (extended)
#     --pick N[,N..]  only these faults (numbers as --list shows them)
#     --rerun STATUS  only the faults whose last result was STATUS
#                     (survived, invalid or caught); implies --update
#     --update        keep the last results of the faults not run now, so
#                     that the summary covers them all (after new tests:
#                     --rerun survived)
#     --list          list the faults, each with its number, and whether
#                     its snippet is found exactly once
#     --check         only check the list: exit status 3 when a snippet is
#                     not found exactly once (stale after a refactoring)
#     --jobs N        tests run at once (ctest -j; default 2)
#     --build-jobs N  compile jobs (default 2)
#     --all-tests     every test for every fault, not only the file's tests
#     --timeout S     seconds one test may take (default 120)
#     --summary FILE  also write the summary (scores, survivors) to FILE
#     -h, --help      this text
#
# Exit status: 0 when every selected fault ran (survivors included), 1 when
# the tree without faults does not build or its tests fail, 2 for a bad
# command line or fault list, 3 when a selected fault is stale, 130 when
# interrupted. Run as root (the tests mount file systems in private mount
# namespaces), on a shared machine under nice:
#   nice -n 19 scripts/mutants.sh --jobs 2
# MUTANTS_DIR sets the work directory (default build/mutants).
set -euo pipefail
# Close what the caller left open (flock(1)'s lock, a terminal's extra fds):
# a daemon that a test starts and that outlives it would hold them.
for fd in /proc/$$/fd/*; do
  fd=${fd##*/}
  if [ "$fd" -gt 2 ] && [ "$fd" -lt 255 ]; then eval "exec $fd>&-"; fi
done

self=$(readlink -f "$0")
root=$(cd "$(dirname "$self")/.." && pwd)
faults_file="$root/scripts/mutants.txt"

usage() { sed -n '2,/^[^#]/p' "$self" | sed '$d' | grep -v SPDX-License-Identifier | sed 's/^# \{0,1\}//'; }
die_usage() { echo "mutants.sh: $*" >&2; echo "(see --help)" >&2; exit 2; }

only="" pick="" rerun="" update=0 mode=run jobs=2 build_jobs=2 all_tests=0 timeout=120 summary_file=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --only) [ $# -ge 2 ] || die_usage "--only needs a REGEX"; only=$2; shift 2 ;;
    --pick) [ $# -ge 2 ] || die_usage "--pick needs numbers"; pick=$2; shift 2 ;;
    --rerun) [ $# -ge 2 ] || die_usage "--rerun needs a STATUS"; rerun=$2; update=1; shift 2 ;;
    --update) update=1; shift ;;
    --list) mode=list; shift ;;
    --check) mode=check; shift ;;
    --jobs) [ $# -ge 2 ] || die_usage "--jobs needs a number"; jobs=$2; shift 2 ;;
    --build-jobs) [ $# -ge 2 ] || die_usage "--build-jobs needs a number"; build_jobs=$2; shift 2 ;;
    --all-tests) all_tests=1; shift ;;
    --timeout) [ $# -ge 2 ] || die_usage "--timeout needs seconds"; timeout=$2; shift 2 ;;
    --summary) [ $# -ge 2 ] || die_usage "--summary needs a FILE"; summary_file=$2; shift 2 ;;
    *) die_usage "unknown option $1" ;;
  esac
done
for n in "$jobs" "$build_jobs" "$timeout"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || die_usage "'$n' is not a positive number"
done
[ -z "$pick" ] || [[ $pick =~ ^[0-9]+(,[0-9]+)*$ ]] || die_usage "--pick takes numbers separated by commas"
case "$rerun" in ""|survived|invalid|caught) ;; *) die_usage "--rerun takes survived, invalid or caught" ;; esac
if [ -n "$only" ]; then
  # A bad regex is a usage error, not "no fault matches".
  rc=0; [[ x =~ $only ]] || rc=$?
  [ "$rc" -le 1 ] || die_usage "--only: '$only' is not a regular expression"
fi

work=${MUTANTS_DIR:-$root/build/mutants}
src="$work/src"
bld="$work/build"
results="$work/results.tsv"  # fault, directory, status, build s, test s, file, description, test
mkdir -p "$work"
helper="$work/mutants-helper.pl"

# The fault list and the ctest listing are read by this helper, so that
# snippets are matched as plain text, whatever characters they hold.
cat >"$helper" <<'PERL'
use strict;
use warnings;

my ($cmd, $list, @args) = @ARGV;

sub load {
    open(my $fh, '<', $list) or die "mutants.sh: cannot read $list: $!\n";
    my (@faults, $cur);
    my $n = 0;
    while (my $l = <$fh>) {
        $n++;
        chomp $l;
        if ($l =~ /^\[([^\]\s]+)\]\s+(\S.*?)\s*$/) {
            push @faults, $cur = {file => $1, desc => $2, old => [], new => [], at => $n};
        } elsif ($l =~ /^- (.+)$/) {
            die "$list:$n: a '-' line outside a fault\n" unless $cur;
            die "$list:$n: a '-' line after the '+' lines\n" if @{$cur->{new}};
            push @{$cur->{old}}, $1;
        } elsif ($l =~ /^\+(?: (.*))?$/) {
            die "$list:$n: a '+' line without '-' lines before it\n" unless $cur && @{$cur->{old}};
            push @{$cur->{new}}, defined $1 ? $1 : '';
        } elsif ($l =~ /^\s*$/) {
            $cur = undef;
        } elsif ($l !~ /^\s*#/) {
            die "$list:$n: not a fault line: $l\n";
        }
    }
    for my $f (@faults) {
        die "$list:$f->{at}: the fault has no '-' line\n" unless @{$f->{old}};
        die "$list:$f->{at}: the fault has no '+' line\n" unless @{$f->{new}};
    }
    return @faults;
}

# The '-' lines as a pattern: each after the line end and indentation of
# the one before it.
sub pattern {
    my ($f) = @_;
    my $re = join('\n[ \t]*', map { quotemeta } @{$f->{old}});
    return qr/$re/;
}

sub slurp {
    my ($path) = @_;
    open(my $fh, '<', $path) or return undef;
    local $/;
    return scalar <$fh>;
}

sub occurrences {
    my ($f, $tree) = @_;
    my $text = slurp("$tree/$f->{file}");
    return -1 unless defined $text;
    my $re = pattern($f);
    my $count = () = $text =~ /$re/g;
    return $count;
}

my @faults = load();
if ($cmd eq 'parse') {
    my $i = 0;
    for my $f (@faults) {
        $i++;
        print "$i\t$f->{file}\t$f->{desc}\n";
    }
} elsif ($cmd eq 'count') {
    my ($tree, @which) = @args;
    @which = (1 .. scalar @faults) unless @which;
    print "$_\t", occurrences($faults[$_ - 1], $tree), "\n" for @which;
} elsif ($cmd eq 'apply') {
    my ($tree, $i) = @args;
    my $f = $faults[$i - 1];
    exit 4 unless occurrences($f, $tree) == 1;
    my $path = "$tree/$f->{file}";
    my $text = slurp($path);
    my $re = pattern($f);
    my $new = join("\n", @{$f->{new}});
    $text =~ s/$re/$new/;
    open(my $out, '>', $path) or die "mutants.sh: cannot write $path: $!\n";
    print $out $text;
    close($out) or die "mutants.sh: cannot write $path: $!\n";
} elsif ($cmd eq 'tests') {
    # ctest --show-only=json-v1 on standard input: each test's program (the
    # script it runs, else its executable) and a regular expression that
    # selects it: a GoogleTest suite by its name, any other test whole.
    require JSON::PP;
    local $/;
    my $json = JSON::PP::decode_json(<STDIN>);
    my %seen;
    for my $t (@{$json->{tests}}) {
        my @command = @{$t->{command} || []};
        next unless @command;
        my ($script) = grep { /\.sh$/ } @command;
        my $program = defined $script ? $script : $command[0];
        $program =~ s{.*/}{};
        my $gtest = grep { /^--gtest_filter=/ } @command;
        my $name = $t->{name};
        my $atom;
        if ($gtest && $name =~ /^([^.]+)\./) {
            ($atom = $1) =~ s/([][.^\$*+?()|\\{}])/\\$1/g;
            $atom .= '\.';
        } else {
            ($atom = $name) =~ s/([][.^\$*+?()|\\{}])/\\$1/g;
            $atom .= '$';
        }
        print "$program\t$atom\n" unless $seen{"$program\t$atom"}++;
    }
} else {
    die "mutants.sh: helper: unknown command $cmd\n";
}
PERL

helper() { perl "$helper" "$@"; }

# ---- The faults ------------------------------------------------------------

declare -a f_file f_desc f_dir
parsed=$(helper parse "$faults_file") || exit 2
while IFS=$'\t' read -r i file desc; do
  f_file[$i]=$file
  f_desc[$i]=$desc
  case "$file" in
    platform/*|tools/*) f_dir[$i]=$(echo "$file" | cut -d/ -f1-2) ;;
    *) f_dir[$i]=${file%%/*} ;;
  esac
done <<<"$parsed"
total=${#f_file[@]}
[ "$total" -gt 0 ] || { echo "mutants.sh: $faults_file holds no fault" >&2; exit 2; }

# The last results of the faults still in the list (the same file and
# description), under their number in the list as it is now.
declare -A f_number
for ((i = 1; i <= total; i++)); do f_number["${f_file[$i]}"$'\t'"${f_desc[$i]}"]=$i; done
last_results() {
  [ -f "$results" ] || return 0
  local n i dir status b t file desc by
  while IFS=$'\t' read -r n dir status b t file desc by; do
    i=${f_number["$file"$'\t'"$desc"]:-}
    [ -n "$i" ] && printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$i" "$dir" "$status" "$b" "$t" "$file" "$desc" "$by"
  done <"$results"
  return 0
}

selected=()
if [ -n "$rerun" ]; then
  while IFS=$'\t' read -r i _ status _; do
    [ "$status" = "$rerun" ] || continue
    if [ -z "$only" ] || [[ ${f_file[$i]} =~ $only ]]; then selected+=("$i"); fi
  done < <(last_results)
  [ ${#selected[@]} -gt 0 ] || { echo "mutants.sh: no fault $rerun in the last results ($results)" >&2; exit 0; }
elif [ -n "$pick" ]; then
  IFS=, read -r -a picked <<<"$pick"
  for i in "${picked[@]}"; do
    [ "$i" -ge 1 ] && [ "$i" -le "$total" ] || die_usage "there is no fault $i (1 to $total)"
    selected+=("$i")
  done
else
  for ((i = 1; i <= total; i++)); do
    if [ -z "$only" ] || [[ ${f_file[$i]} =~ $only ]]; then selected+=("$i"); fi
  done
fi
[ ${#selected[@]} -gt 0 ] || { echo "mutants.sh: no fault's file matches '$only'" >&2; exit 2; }

# Whether each snippet is found exactly once, in the working tree.
declare -a f_count
while IFS=$'\t' read -r i count; do f_count[$i]=$count; done < <(helper count "$faults_file" "$root")

describe_count() {
  case "$1" in
    1) echo ok ;;
    -1) echo "STALE (no such file)" ;;
    0) echo "STALE (snippet not found)" ;;
    *) echo "STALE (snippet found $1 times)" ;;
  esac
}

if [ "$mode" = list ]; then
  for i in "${selected[@]}"; do
    printf '%3d  %-44s %s\n' "$i" "${f_file[$i]}" "${f_desc[$i]}"
    [ "${f_count[$i]}" = 1 ] || printf '     %s\n' "$(describe_count "${f_count[$i]}")"
  done
  exit 0
fi

stale=0
for i in "${selected[@]}"; do
  if [ "${f_count[$i]}" != 1 ]; then
    echo "mutants.sh: fault $i ($faults_file, ${f_file[$i]}: ${f_desc[$i]}): $(describe_count "${f_count[$i]}")" >&2
    stale=$((stale + 1))
  fi
done
if [ "$mode" = check ]; then
  [ "$stale" -eq 0 ] || exit 3
  echo "mutants.sh: all ${#selected[@]} faults found exactly once"
  exit 0
fi
[ "$stale" -eq 0 ] || { echo "mutants.sh: $stale stale fault(s): update $faults_file" >&2; exit 3; }

# ---- Which tests run for which file ----------------------------------------

# The test programs (the executables or the scripts that ctest runs) that
# exercise each part of the code, in two stages: the quick unit tests, then
# (when they all pass) the tests of whole programs. The first prefix that a
# fault's file starts with decides. The web console's test starts a browser
# and takes some 20 s, so it runs only for the console's own code.
#   "PREFIX : STAGE 1 PROGRAMS : STAGE 2 PROGRAMS"
TEST_MAP=(
  "platform/libpps/ : libpps_test pps_test diag_test diagctl_screens_test : ppsfs_test ppsfs_shell_test.sh system_test"
  "platform/slog/ : slog_test log_line_test pps_test techmode_test : system_test"
  "platform/devctl/ : devctl_test techmode_test : techmode_sim_test system_test"
  "pps/ : pps_test diag_test : system_test hostile_test"
  "techmode/ : tlv_codec_test techmode_test diag_test techmode_sim_timeline_test : techmode_sim_test system_test"
  "diag/ : diag_test : system_test diagctl_system_test"
  "service/ : runasuser_test : system_test hostile_test"
  "tools/common/ : log_line_test diagctl_screens_test : cli_test.sh ppsfs_test techmode_sim_test hostile_test"
  "tools/ppsfs/ : ppsfs_test ppsfs_shell_test.sh ppsfs_mount_test.sh notify_test : hostile_test system_test"
  "tools/techmode-device/ : techmode_sim_timeline_test techmode-sim techmode_sim_test diag_test techmode_mm_mapping_test : system_test diagctl_system_test hostile_test"
  "tools/techmode-sim/ : techmode_sim_timeline_test techmode-sim techmode_sim_test diag_test : system_test diagctl_system_test hostile_test"
  "tools/techmode-mm/ : techmode_mm_mapping_test : techmode_mm_test"
  "tools/diagctl/WebServer : diagctl_screens_test : diagctl_serve_test diagctl_system_test"
  "tools/diagctl/Mqtt : diagctl_mqtt_test : diagctl_serve_test"
  "tools/diagctl/Fleet : diagctl_screens_test : diagctl_serve_test diagctl_mqtt_test"
  "tools/diagctl/ : diagctl_screens_test : diagctl_system_test hostile_test"
)

# The build targets a test program needs (test executables are targets of
# their own name and depend on the programs they start).
targets_of() {
  case "$1" in
    ppsfs_shell_test.sh|ppsfs_mount_test.sh) echo ppsfs ;;
    cli_test.sh) echo all ;;  # every tool's command line
    *) echo "$1" ;;
  esac
}

map_entry() {  # the TEST_MAP entry of a file
  local file=$1 entry prefix
  for entry in "${TEST_MAP[@]}"; do
    prefix=${entry%% *}
    if [[ $file == "$prefix"* ]]; then
      echo "$entry"
      return 0
    fi
  done
  return 1
}
for i in "${selected[@]}"; do
  map_entry "${f_file[$i]}" >/dev/null ||
    { echo "mutants.sh: no tests are mapped to ${f_file[$i]}: add its part to TEST_MAP" >&2; exit 2; }
done

# ---- The copy of the tree and its build -------------------------------------

# Copies the files of the working tree (tracked, and new ones not ignored)
# that differ from the copy; what the tree no longer has goes. Files copied
# get a new time, so ninja rebuilds what depends on them; the others keep
# theirs, so nothing else is rebuilt.
sync_copy() {
  mkdir -p "$src"
  local listing="$work/files.list" f
  (cd "$root" && git ls-files -z -c -o --exclude-standard) | tr '\0' '\n' | sort -u >"$listing"
  while IFS= read -r f; do
    [ -f "$root/$f" ] || continue  # deleted in the working tree
    if ! cmp -s "$root/$f" "$src/$f"; then
      mkdir -p "$src/$(dirname "$f")"
      cp "$root/$f" "$src/$f"
    fi
  done <"$listing"
  (cd "$src" && find . -type f -printf '%P\n' | sort) | comm -23 - "$listing" |
    while IFS= read -r f; do rm -f "$src/$f"; done
}

current=""                 # the fault's file while the copy holds the fault
saved="$work/original"     # its text without the fault
restore() {
  if [ -n "$current" ]; then
    cp "$saved" "$src/$current"  # a new time: ninja rebuilds it next time
    current=""
  fi
}

logs="$work/logs"
started=$SECONDS
done_count=0

summary() {
  [ -s "$results" ] || return 0
  local out
  out=$(awk -F'\t' '
    { dirs[$2] = 1; n[$2]++; s[$2, $3]++; N++; S[$3]++ }
    function pct(c, v) { return c + v == 0 ? "-" : sprintf("%d%%", int(c * 1000 / (c + v) + 5) / 10) }
    END {
      print "Mutation score: caught / (caught + survived); a fault whose build fails is invalid and not scored."
      printf "  %-20s %6s %7s %9s %8s %6s\n", "directory", "faults", "caught", "survived", "invalid", "score"
      k = 0
      for (d in dirs) order[++k] = d
      for (a = 1; a <= k; a++) for (b = a + 1; b <= k; b++) if (order[b] < order[a]) { t = order[a]; order[a] = order[b]; order[b] = t }
      for (a = 1; a <= k; a++) {
        d = order[a]
        printf "  %-20s %6d %7d %9d %8d %6s\n", d, n[d], s[d, "caught"], s[d, "survived"], s[d, "invalid"], pct(s[d, "caught"], s[d, "survived"])
      }
      printf "  %-20s %6d %7d %9d %8d %6s\n", "total", N, S["caught"], S["survived"], S["invalid"], pct(S["caught"], S["survived"])
    }' "$results")
  out+=$'\n'
  local kind
  for kind in survived invalid; do
    if awk -F'\t' -v k="$kind" '$3 == k { found = 1 } END { exit !found }' "$results"; then
      if [ "$kind" = survived ]; then out+=$'Survived (no test failed):\n'; else out+=$'Invalid (the build failed):\n'; fi
      out+=$(awk -F'\t' -v k="$kind" '$3 == k { printf "  %3d  %s: %s\n", $1, $6, $7 }' "$results")
      out+=$'\n'
    fi
  done
  local secs=$((SECONDS - ${loop_started:-$started}))
  out+="Time: $((secs / 60)) min $((secs % 60)) s for $done_count fault(s)"
  [ "$done_count" -gt 0 ] && out+=", $((secs / done_count)) s each"
  echo
  echo "$out"
  if [ -n "$summary_file" ]; then printf '%s\n' "$out" >"$summary_file"; fi
}

on_signal() {
  trap - INT TERM
  restore
  echo
  echo "mutants.sh: interrupted; the copy is restored. What ran:" >&2
  summary
  exit 130
}
trap restore EXIT
trap on_signal INT TERM

# What an interrupted run reports is this run's, with --update the last
# results of the other faults as well.
if [ "$update" = 1 ] && [ -f "$results" ]; then
  keep=" ${selected[*]} "
  last_results | while IFS= read -r line; do
    [[ $keep == *" ${line%%$'\t'*} "* ]] || printf '%s\n' "$line"
  done >"$results.new"
  mv "$results.new" "$results"
else
  : >"$results"
fi
echo "== copy of the tree: $src"
sync_copy
if [ ! -f "$bld/build.ninja" ]; then
  echo "== configure: $bld (the default preset's settings)"
  (cd "$src" && cmake --preset default -B "$bld" >"$work/configure.log" 2>&1) ||
    { cat "$work/configure.log" >&2; echo "mutants.sh: configuring the copy failed" >&2; exit 1; }
fi
echo "== build without faults"
if ! cmake --build "$bld" -j "$build_jobs" >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  echo "mutants.sh: the tree does not build without faults ($work/build.log)" >&2
  exit 1
fi

# Test program -> the regular expression of its tests.
declare -A program_re
listing=$(cd "$bld" && ctest --show-only=json-v1) || { echo "mutants.sh: ctest cannot list the tests" >&2; exit 1; }
while IFS=$'\t' read -r program atom; do
  program_re[$program]+="${program_re[$program]:+|}$atom"
done < <(helper tests "$faults_file" <<<"$listing")

tests_regex() {  # the programs' tests as one regular expression
  local re="" p
  for p in "$@"; do
    [ -n "${program_re[$p]:-}" ] || { echo "mutants.sh: no tests of '$p' in the build: update TEST_MAP" >&2; return 1; }
    re+="${re:+|}${program_re[$p]}"
  done
  echo "^($re)"
}

# Per fault: the targets to build and the tests of each stage.
declare -a f_targets f_stage1 f_stage2
all_programs=()
for i in "${selected[@]}"; do
  if [ "$all_tests" = 1 ]; then
    f_targets[$i]=all f_stage1[$i]="" f_stage2[$i]=""
    continue
  fi
  entry=$(map_entry "${f_file[$i]}")
  rest=${entry#* : }
  read -r -a one <<<"${rest%% : *}"
  read -r -a two <<<"${rest#* : }"
  f_stage1[$i]=$(tests_regex "${one[@]}") || exit 1
  f_stage2[$i]=$(tests_regex "${two[@]}") || exit 1
  f_targets[$i]=$(for p in "${one[@]}" "${two[@]}"; do targets_of "$p"; done | sort -u | tr '\n' ' ')
  all_programs+=("${one[@]}" "${two[@]}")
done

run_tests() {  # regex (empty: all), log file, ctest options...
  local args=(--test-dir "$bld" -j "$jobs" --timeout "$timeout")
  [ -n "$1" ] && args+=(-R "$1")
  ctest "${args[@]}" "${@:3}" >>"$2" 2>&1
}

build() {  # targets (or all), log file
  local args=(--build "$bld" -j "$build_jobs") targets
  if [[ " $1 " != *" all "* ]]; then
    read -r -a targets <<<"$1"
    args+=(--target "${targets[@]}")
  fi
  cmake "${args[@]}" >"$2" 2>&1
}

echo "== tests without faults"
if [ "$all_tests" = 1 ]; then
  baseline_re=""
else
  baseline_re=$(tests_regex $(printf '%s\n' "${all_programs[@]}" | sort -u)) || exit 1
fi
: >"$work/baseline.log"
if ! run_tests "$baseline_re" "$work/baseline.log"; then
  grep -E '\*\*\*|Failed|Timeout' "$work/baseline.log" | tail -n 20 >&2 || true
  echo "mutants.sh: tests fail without any fault ($work/baseline.log): fix them first" >&2
  exit 1
fi
grep -E 'tests passed' "$work/baseline.log" | sed 's/^/   /'

# ---- One fault at a time ----------------------------------------------------

mkdir -p "$logs"
echo "== ${#selected[@]} fault(s)"
loop_started=$SECONDS
for i in "${selected[@]}"; do
  file=${f_file[$i]}
  t0=$SECONDS
  cp "$src/$file" "$saved"
  current=$file
  by=""
  if ! helper apply "$faults_file" "$src" "$i"; then
    restore
    echo "mutants.sh: fault $i no longer applies to the copy of $file" >&2
    exit 3
  fi
  log="$logs/$i.log"
  failed="$bld/Testing/Temporary/LastTestsFailed.log"
  rm -f "$failed"
  : >"$log.tests"
  status=survived
  # A build that stops without a failed command, or tests that end by a
  # signal, were stopped from outside (another user's kill): tried again.
  for try in 1 2 3; do
    build "${f_targets[$i]}" "$log" && break
    grep -q '^FAILED: ' "$log" && { status=invalid; break; }
    [ "$try" -lt 3 ] || { status=invalid; echo "mutants.sh: the build of fault $i keeps being stopped" >&2; }
  done
  t1=$SECONDS
  if [ "$status" != invalid ]; then
    for stage in "${f_stage1[$i]}" "${f_stage2[$i]}"; do
      [ -n "$stage" ] || [ "$all_tests" = 1 ] || continue
      for try in 1 2 3; do
        rc=0
        rm -f "$failed"
        run_tests "$stage" "$log.tests" --stop-on-failure --repeat until-pass:2 || rc=$?
        [ "$rc" -ge 128 ] || break
      done
      if [ "$rc" -ne 0 ]; then
        status=caught
        [ -f "$failed" ] && by=$(head -n 1 "$failed" | cut -d: -f2-)
        break
      fi
      [ "$all_tests" = 0 ] || break
    done
  fi
  restore
  [ "$status" = invalid ] || rm -f "$log"
  [ "$status" = caught ] && rm -f "$log.tests"
  [ "$status" = invalid ] && rm -f "$log.tests"
  done_count=$((done_count + 1))
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$i" "${f_dir[$i]}" "$status" "$((t1 - t0))" \
    "$((SECONDS - t1))" "$file" "${f_desc[$i]}" "$by" >>"$results"
  printf '[%3d/%d] %-8s build %3ss tests %3ss  #%d %s: %s%s\n' "$done_count" "${#selected[@]}" \
    "$status" "$((t1 - t0))" "$((SECONDS - t1))" "$i" "$file" "${f_desc[$i]}" "${by:+  ($by)}"
done

sort -t$'\t' -k1,1n -o "$results" "$results"
summary
