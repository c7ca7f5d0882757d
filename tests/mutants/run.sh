#!/usr/bin/env bash
# Runs the suite once per mutant (a plausible one-line bug) and reports which the suite kills.
#   tests/mutants/run.sh BUILD_DIR [MUTANTS_FILE] [ID...]
# Each mutant in the file is a block:
#   ## <id> <what it breaks>
#   @ <path relative to the checkout>
#   - <a line, found exactly once in that file, spaces at either end ignored>
#   + <its replacement>
# A mutant is killed when the build fails or any test fails or times out. The file is
# restored after each mutant, also on interruption.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:?build directory}
list=${2:-$top/tests/mutants/mutants.txt}
shift $(( $# >= 2 ? 2 : $# ))
only=" $* "
timeout_s=${MUTANT_TEST_TIMEOUT:-120}
ctest_args=${MUTANT_CTEST_ARGS:-}
slow='^(tool|install)$'
logs=$(mktemp -d)  # private, so that runs side by side do not read each other's logs

restore() { [ -n "${saved:-}" ] && cp "$saved" "$top/$file" && rm -f "$saved"; saved=; }
trap 'restore; exit 130' INT TERM
trap 'rm -rf "$logs"' EXIT

killed=0 survived=0 broken=0
run_one() {
  [ "$only" = "  " ] || [[ "$only" == *" $id "* ]] || return 0
  saved=$(mktemp)
  cp "$top/$file" "$saved"
  if ! FROM="$from" TO="$to" perl -0777 -i -pe '
      my ($f, $t) = ($ENV{FROM}, $ENV{TO});
      # The line as written, whatever runs of spaces the formatter gave it.
      my $p = join("[ \t]+", map { quotemeta } split(/[ \t]+/, $f));
      my $n = () = /^[ \t]*$p[ \t]*$/mg;
      die "found $n times\n" unless $n == 1;
      s/^([ \t]*)$p[ \t]*$/$1$t/m;' "$top/$file" 2>$logs/mutant.err; then
    echo "BROKEN   $id ($file: $(cat $logs/mutant.err))"; broken=$((broken + 1)); restore; return
  fi
  local verdict=survived
  if ! cmake --build "$build" -j "${JOBS:-2}" >$logs/mutant-build.log 2>&1; then
    verdict="killed (build)"
  # The quick suites first; the tool's and the installation's (slow) only for a mutant they survive.
  elif ! (cd "$build" && ctest -j "${JOBS:-2}" --timeout "$timeout_s" --stop-on-failure -LE "$slow" $ctest_args \
            >$logs/mutant-test.log 2>&1 &&
          ctest -j "${JOBS:-2}" --timeout "$timeout_s" --stop-on-failure -L "$slow" $ctest_args \
            >>$logs/mutant-test.log 2>&1); then
    verdict="killed by $(grep -E '^\s+[0-9]+ - ' $logs/mutant-test.log | sed -E 's/^\s+[0-9]+ - ([^ ]+).*/\1/' | tr '\n' ' ')"
  fi
  restore
  if [ "$verdict" = survived ]; then survived=$((survived + 1)); echo "SURVIVED $id $desc"
  else killed=$((killed + 1)); echo "KILLED   $id $verdict"; fi
}

id= file= from= to= desc=
while IFS= read -r line || [ -n "$line" ]; do
  case "$line" in
    '## '*) [ -n "$id" ] && run_one; read -r id desc <<<"${line#\#\# }"; file= from= to= ;;
    '@ '*) file=${line#@ } ;;
    '- '*) from=$(sed -E 's/^[ \t]+|[ \t]+$//g' <<<"${line#- }") ;;
    '+ '*) to=$(sed -E 's/^[ \t]+|[ \t]+$//g' <<<"${line#+ }") ;;
  esac
done < "$list"
[ -n "$id" ] && run_one
cmake --build "$build" -j "${JOBS:-2}" >/dev/null 2>&1
echo "mutants: killed $killed, survived $survived, broken $broken"
[ "$broken" = 0 ]
