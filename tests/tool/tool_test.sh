#!/usr/bin/env bash
# The ostrel tool as a person at the bench uses it: outputs and exit statuses.
# usage: tool_test.sh <ostrel binary> <bench file>
set -u
tool=$1
bench=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
passed=0
failed=0

# An output matches a pattern; '^$' asks for no output at all.
matches() {
  if [[ $2 == '^$' ]]; then [[ ! -s $1 ]]; else grep -Eq -- "$2" "$1"; fi
}

# expect <name> <wanted status> <wanted stdout pattern> <wanted stderr pattern> -- command...
expect() {
  local name=$1 status=$2 out=$3 err=$4
  shift 5
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [[ $got -eq $status ]] && matches "$work/out" "$out" && matches "$work/err" "$err"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $name: status $got (wanted $status)"
    sed 's/^/  stdout: /' "$work/out"
    sed 's/^/  stderr: /' "$work/err"
  fi
}

expect "list table" 0 '^ +12  2955-L SN30502 +2955 +30502  VORN 2955-L' '^$' -- "$tool" --bench "$bench" list
expect "list skips no-ADDR instrument" 0 '^ +5  2936-R SN12345' '^$' -- "$tool" --bench "$bench" list
expect "sequential ids list all three" 0 '^ +1  2940-T SN20871' '^$' -- "$tool" --bench "$bench" --sequential-ids list
expect "product filter, none" 1 '^$' 'no instruments found with product ID 1234' -- "$tool" --bench "$bench" --pid 1234 list
expect "query by id" 0 '^1\.234$' '^$' -- "$tool" --bench "$bench" query 5 MEAS:VOLT?
expect "query by key, two commands" 0 '^OFF$' '^$' -- "$tool" --bench "$bench" query "2955-L SN30502" "*IDN?" OUTP:STAT?
expect "binary echo" 0 '^00 FF 0D 0A$' '^$' -- "$tool" --bench "$bench" --binary query 12 00 ff 0d 0a
expect "bad hex" 2 '^$' 'hexadecimal bytes' -- "$tool" --bench "$bench" --binary query 12 0g
expect "unknown key" 1 '^$' "no instrument 'NOPE 1' \(found: 5 \"2936-R SN12345\"" -- "$tool" --bench "$bench" query "NOPE 1" X
expect "time-out" 1 '^$' "no reply from 5 to 'BOGUS\?' within its time-out" -- "$tool" --bench "$bench" query 5 BOGUS?
echo '{"instruments": [{"vid": 1}]}' >"$work/bad.json"
expect "bad bench file" 2 '^$' "bench file '.*bad.json': " -- "$tool" --bench "$work/bad.json" list
expect "missing bench file" 2 '^$' "bench file '/no/such/bench.json'" -- "$tool" --bench /no/such/bench.json list
expect "unknown command" 2 '^$' "unknown command 'frob'" -- "$tool" frob
expect "unknown option" 2 '^$' 'unknown option --frob' -- "$tool" --frob list
expect "no command" 2 '^$' '^usage: ostrel' -- "$tool"
expect "version" 0 '^ostrel [0-9]+\.[0-9]+\.[0-9]+$' '^$' -- "$tool" --version
expect "watch reports arrivals and stops" 0 'arrived  ID 0  2936-R SN12345' '^$' -- "$tool" watch --seconds 0.2
printf 'MEAS:TEMP?\nCONF:UNIT\nquit\n' >"$work/input"
expect "shell" 0 '^23\.47$' 'talking to 1' -- bash -c "'$tool' --bench '$bench' --sequential-ids shell 1 <'$work/input'"
expect "demo" 0 'callback: removed  ID [0-9]+  2961-P SN40017' '^$' -- "$tool" demo

echo "ostrel tool: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
