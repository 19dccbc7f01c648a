#!/usr/bin/env bash
# Runs one stage of `make test` and keeps its counts; then adds them all up.
#   suite.sh run <results-dir> <stage> <command...>
#       runs the command, shows and keeps its output, records "passed failed"
#       from its closing line (ctest's, or "N passed, M failed"); a command
#       that fails without a failed count records one failure
#   suite.sh total <results-dir>
#       one line per stage, then "total: N passed, M failed"; fails if any failed
set -uo pipefail

run() {
  local dir=$1 stage=$2
  shift 2
  mkdir -p "$dir"
  echo "==== $stage: $*"
  local start=$SECONDS status
  "$@" 2>&1 | tee "$dir/$stage.log"
  status=${PIPESTATUS[0]}

  local passed=0 failed=0 line
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$dir/$stage.log" | tail -n 1)
  if [[ -n $line ]]; then
    failed=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
    passed=$(( $(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - failed ))
  else
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$dir/$stage.log" | tail -n 1)
    if [[ -n $line ]]; then
      read -r passed _ failed _ <<<"${line//,/}"
    fi
  fi
  if [[ $status -ne 0 && $failed -eq 0 ]]; then
    echo "==== $stage: FAILED with status $status"
    failed=1
  fi
  echo "$stage $passed $failed $((SECONDS - start))" >>"$dir/counts"
  echo "==== $stage: $passed passed, $failed failed, $((SECONDS - start)) s"
  return "$status"
}

total() {
  local dir=$1 passed=0 failed=0 stage p f s
  echo "==== summary"
  if [[ -f $dir/counts ]]; then
    while read -r stage p f s; do
      printf '  %-24s %4d passed, %3d failed  %5d s\n' "$stage" "$p" "$f" "$s"
      passed=$((passed + p)) failed=$((failed + f))
    done <"$dir/counts"
  fi
  [[ $passed -gt 0 ]] || failed=$((failed + 1))  # nothing ran: that is a failure too
  echo "total: $passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}

case ${1:-} in
  run) shift; run "$@" ;;
  total) shift; total "$@" ;;
  *) echo "usage: $0 run <results-dir> <stage> <command...> | total <results-dir>" >&2; exit 2 ;;
esac
