#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Keeps the documents true to the programs and to each other:
#   1. every option a program's --help lists (and each diagctl command's)
#      appears in its man page (and diagctl's in its bash completion);
#   2. every guide in docs/ and every man page is linked from README.md;
#   3. every relative link of README.md and docs/*.md names a file that is
#      there, and its #anchor a heading of that file;
#   4. every command line shown in their sh blocks that runs one of our
#      programs uses only options that program's --help lists, and every
#      script it runs exists and names each option the line gives it;
#   5. every block of commands is one that a test runs: sh and sh root
#      blocks run in scripts/docexamples.sh, sh booted blocks (the
#      operator's guide alone) in scripts/booted.sh;
#   6. the commands of console blocks (transcripts of work in the
#      repository: lines after a "# " or "$ " prompt) name what is there:
#      presets, built programs and their options, test suites that exist
#      and ctest patterns that select a test, scripts and their options.
# Usage: scripts/doccheck.sh [BIN]   (BIN: the built programs, default
# build/default/bin). Prints each problem; exits 1 when there is one.
set -euo pipefail
case "${1:-}" in
  -h | --help) sed -n '2,/^[^#]/p' "$0" | sed '$d' | grep -v '^# SPDX-License-Identifier:' | sed 's/^# \{0,1\}//'; exit 0 ;;
  -*) echo "doccheck.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
esac
cd "$(dirname "$0")/.."
bin=${1:-build/default/bin}
problems=0
problem() { echo "doccheck: $*" >&2; problems=$((problems + 1)); }

# The options a --help text lists.
options_of() { grep -o -- '--[a-z][a-z0-9-]*' | sort -u; }

help_of() {  # PROGRAM [COMMAND]: its --help text
  local program=$1
  shift
  "$bin/$program" "$@" --help 2>&1 || true
}

# 1. --help against the man pages.
check_help() {  # MANPAGE PROGRAM [COMMAND]
  local page=$1
  shift
  [ -x "$bin/$1" ] || return 0  # not built here (an optional program)
  local opt
  for opt in $(help_of "$@" | options_of); do
    # scdoc escapes nothing in options, but may write them bold: *--x*.
    grep -q -- "$opt\b" "$page" || problem "$page: no $opt (from $* --help)"
  done
}
check_help packaging/man/ppsfs.8.scd ppsfs
check_help packaging/man/techmode-sim.1.scd techmode-sim
check_help packaging/man/techmode-mm.1.scd techmode-mm
for command in "" record export serve; do
  # shellcheck disable=SC2086
  check_help packaging/man/diagctl.1.scd diagctl $command
  # shellcheck disable=SC2086
  check_help packaging/completion/diagctl diagctl $command
done

# 2. Every guide and man page reachable from the README.
for f in docs/*.md packaging/man/*.scd; do
  grep -q "]($f)" README.md || problem "README.md: no link to $f"
done

# 3. Relative links and their anchors.
slug() {  # a heading as GitHub makes its anchor
  tr 'A-Z' 'a-z' | sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'
}
for doc in README.md docs/*.md; do
  dir=$(dirname "$doc")
  while IFS= read -r link; do
    target=${link%%#*}
    anchor=
    [ "$target" != "$link" ] && anchor=${link#*#}
    case $target in http:* | https:* | mailto:*) continue ;; esac
    file=$doc
    [ -n "$target" ] && file=$dir/$target
    if [ ! -e "$file" ]; then
      problem "$doc: link to $link: no $file"
      continue
    fi
    if [ -n "$anchor" ] &&
      ! grep '^#' "$file" | sed 's/^#* *//' | slug | grep -qx -- "$anchor"; then
      problem "$doc: link to $link: no heading #$anchor in $file"
    fi
  done < <(grep -o '](\([^)]*\))' "$doc" | sed 's/^](\(.*\))$/\1/')
done

# 4. The examples: options our programs take, scripts that exist.
for doc in README.md docs/*.md; do
  while read -r line; do
    read -r -a words <<<"$line"  # split, not expanded as file patterns
    [ ${#words[@]} -gt 0 ] || continue
    set -- "${words[@]}"
    program=$(basename "$1")
    case $1 in
      scripts/* | bench/*)
        if [ ! -e "$1" ]; then
          problem "$doc: example runs $1, which is not there"
          continue
        fi
        for word in "${@:2}"; do
          case $word in --[a-z]*) ;; *) continue ;; esac
          grep -q -- "${word%%=*}" "$1" || problem "$doc: example '$line': $1 has no ${word%%=*}"
        done
        continue ;;
    esac
    case $program in
      diagctl | ppsfs | techmode-sim | techmode-mm) ;;
      *) continue ;;
    esac
    [ -x "$bin/$program" ] || continue
    command=
    [ "$program" = diagctl ] && case ${2:-} in record | export | serve) command=$2 ;; esac
    # shellcheck disable=SC2086
    known=$(help_of "$program" $command | options_of)
    for word in "$@"; do
      opt=${word%%=*}
      case $opt in --[a-z]*) ;; *) continue ;; esac
      opt=${opt%%[^a-z0-9-]*}
      grep -qx -- "$opt" <<<"$known" || problem "$doc: example '$line': $program ${command:+$command }has no $opt"
    done
  # (a line ending in \ goes on in the next, as the shell reads it)
  done < <(awk '/^```sh/{on=1; next} /^```/{on=0} on {
      if (sub(/\\$/, "")) { held = held $0 " "; next }
      print held $0; held = "" }' "$doc" | sed 's/ *#.*$//')
done

# 5. Blocks of commands only of the kinds a test runs.
for doc in README.md docs/*.md; do
  while IFS=: read -r n info; do
    info=${info#\`\`\`}
    case $info in
      "sh" | "sh root") ;;
      "sh booted")
        [ "$doc" = docs/running.md ] ||
          problem "$doc:$n: a sh booted block outside docs/running.md is run by no test" ;;
      *) problem "$doc:$n: a block of kind '$info' (sh, sh root and sh booted are run by the tests)" ;;
    esac
  done < <(grep -n '^```sh' "$doc")
done

# 6. The transcripts' commands.
targets=$( (grep -rhoE 'add_executable\([A-Za-z0-9_-]+' --include=CMakeLists.txt . |
  sed 's/.*(//'; grep -rhoE 'velomar_add_fuzzer\([a-z_]+' --include=CMakeLists.txt . |
  sed 's/.*(/fuzz_/') | sort -u)
presets=$(python3 -c 'import json; print("\n".join(p["name"] for p in json.load(open("CMakePresets.json"))["configurePresets"]))')
for doc in README.md docs/*.md; do
  while read -r line; do
    read -r -a words <<<"$line"
    for ((i = 0; i < ${#words[@]}; i++)); do
      word=${words[i]//\'/}
      case $word in
        --preset) grep -qx -- "${words[i + 1]:-}" <<<"$presets" ||
          problem "$doc: '$line': no preset ${words[i + 1]:-}" ;;
        build/*/bin/*)
          program=${word##*/}
          if [ "${word#build/default/bin/}" != "$word" ] && [ -x "$bin/$program" ]; then
            for opt in "${words[@]:i+1}"; do
              opt=${opt//\'/}
              case $opt in --[a-z]*) ;; *) continue ;; esac
              opt=${opt%%=*}
              help_of "$program" | grep -q -- "$opt" ||
                problem "$doc: '$line': $program has no $opt"
            done
          else
            grep -qx -- "$program" <<<"$targets" || problem "$doc: '$line': no program $program is built"
          fi ;;
        --gtest_filter=*)
          for suite in $(tr ':' '\n' <<<"${word#--gtest_filter=}" | sed 's/^-//; s/\..*//'); do
            grep -rqE "TEST(_F|_P)?\($suite," tests ||
              problem "$doc: '$line': no test suite $suite"
          done ;;
        -R)
          if [ -d build/default ] && [ "$(ctest --test-dir build/default -N -R "${words[i + 1]//\'/}" |
            sed -n 's/^Total Tests: //p')" = 0 ]; then
            problem "$doc: '$line': ctest -R ${words[i + 1]} selects no test"
          fi ;;
        scripts/* | bench/*)
          [ -e "$word" ] || problem "$doc: '$line': no $word" ;;
      esac
    done
  done < <(awk '/^```console/{on=1; next} /^```/{on=0} on && /^[#$] /' "$doc" |
    sed -e 's/^[#$] //' -e 's/ #.*$//')
done

if [ "$problems" -gt 0 ]; then
  echo "doccheck: $problems problem(s)" >&2
  exit 1
fi
echo "doccheck: the documents agree with the programs and with each other"
