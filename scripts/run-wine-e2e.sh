#!/usr/bin/env bash
# Runs the Windows end-to-end suites under Wine: the scenarios shared with
# Linux, first against the shipped Ostrel.dll through the test-only
# setupapi.dll and winusb.dll beside it (tests/windows/e2e), then against
# OstrelSim.dll alone (tests/windows/sim); after each, the log it wrote and the
# programs a Windows developer runs with it.
#   run-wine-e2e.sh [build-dir [scenario]]   (default: build/windows-x64, all)
# Prints each check, then one line "N passed, M failed" (the programs' checks
# plus this script's own).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/windows-x64}" && pwd)
shift $(($# > 0 ? 1 : 0))
e2e=$build/tests/windows/e2e
sim=$build/tests/windows/sim
shipped=$build/src/platform/windows/Ostrel.dll

for file in "$e2e/ostrel_wine_e2e.exe" "$e2e/Ostrel.dll" "$e2e/ostrelbench.dll" "$e2e/setupapi.dll" \
            "$e2e/winusb.dll" "$e2e/bench.json" "$e2e/list_and_query.exe" "$e2e/ostrel.exe" "$shipped" \
            "$e2e/ostrel_unload_check.exe" "$sim/ostrel_unload_check.exe" \
            "$sim/ostrel_sim_scenarios.exe" "$sim/OstrelSim.dll" "$sim/bench.json" "$sim/bench_hotplug.exe" \
            "$sim/ostrel.exe" "$sim/list_and_query_cpp.exe" "$sim/binary_block.exe" "$sim/bench_monitor.exe"; do
  [[ -f $file ]] || { echo "$file is missing: build the windows-x64 preset" >&2; exit 1; }
done

source "$root/tests/support/checks.sh"

# What the shims stand in for must be all the library imports from them.
imports() { # imports <dll> <imported module>: the names the DLL imports from it
  x86_64-w64-mingw32-objdump -p "$1" | awk -v m="$2" '
    /DLL Name:/ { inside = (toupper($3) == toupper(m)) ; next }
    inside && NF == 3 && $1 ~ /^[0-9a-f]+$/ && $2 ~ /^[0-9]+$/ { print $3 }' | sort
}
exports() { # exports <dll>: its exported names
  x86_64-w64-mingw32-objdump -p "$1" | awk '/\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && /^\t\[ *[0-9]+\]/ { print $NF; next } on { on = 0 }' | sort
}
covers() { [[ -n $(imports "$1" "$2") ]] && [[ -z $(comm -23 <(imports "$1" "$2") <(exports "$3")) ]]; }

echo "## Set-up"
check "the suite runs the very Ostrel.dll the build produced" cmp -s "$shipped" "$e2e/Ostrel.dll"
if command -v x86_64-w64-mingw32-objdump >/dev/null; then
  check "the shim setupapi.dll exports every SetupAPI call Ostrel.dll imports" \
    covers "$shipped" SETUPAPI.dll "$e2e/setupapi.dll"
  check "the shim winusb.dll exports every WinUSB call Ostrel.dll imports" \
    covers "$shipped" WINUSB.DLL "$e2e/winusb.dll"
fi

# A private prefix of its own (the Wine smoke tests switch Windows versions in theirs).
export WINEPREFIX=$build/wineprefix-e2e WINEDLLOVERRIDES="mscoree=;mshtml="
source "$root/scripts/wine-common.sh"
prepare_prefix
wine_output() { "$wine" "$@" 2>&1 | tr -d '\r'; }

# scenarios <log folder> <program> [scenario]: runs them on a fresh log, then
# checks the lines they must have left in it, in <log folder>\Log: "profile"
# for the profile's Documents folder, where Ostrel.dll asks the shell for it,
# or the folder the scenarios chose for OstrelSim.dll, which then leaves the
# profile's alone. Keeps the log's header for comparison.
scenarios() {
  local chosen=$1 documents line logs=()
  shift
  local folders=("$WINEPREFIX"/drive_c/users/*/Documents)
  [[ $chosen == profile ]] || folders+=("$chosen")
  for documents in "${folders[@]}"; do
    [[ -L $documents ]] || rm -rf "$documents/Log"
  done
  run_counted "$@"
  if [[ $chosen == profile ]]; then
    logs=("$WINEPREFIX"/drive_c/users/*/Documents/Log/Log*_Native.txt)
    check "the library wrote its log to Documents\\Log\\Log<date>_Native.txt in the profile" test -f "${logs[0]}"
  else
    logs=("$chosen"/Log/Log*_Native.txt)
    check "the library wrote its log to the folder ostrel_sim_set_documents_folder chose" test -f "${logs[0]}"
    check "and none to the profile's Documents folder" \
      eval '! compgen -G "$WINEPREFIX/drive_c/users/*/Documents/Log/Log*_Native.txt" >/dev/null'
  fi
  [[ -f ${logs[0]} ]] || return 0
  for line in "Device Key = 2955-L SN30502" "USB::Read ASCII Len = 5, Data = '1.234'" \
              "ReadPipe: Could not perform a read pipe operation." "WM_DEVICECHANGE"; do
    check "it holds \"$line\"" grep -qF -- ", $line"$'\r' "${logs[0]}"
  done
  header=$(header_texts "${logs[0]}")
}
# The texts of the log's header (the first process's), without their prefix and the program's path.
header_texts() {
  awk -F', ' '{ sub(/\r+$/, ""); text = substr($0, length($1 $2 $3) + 7) }
    NR == 1 { sub(/ = .* \*+$/, " = ...", text); print text; next }
    text !~ /^(OS: |64-bit OS|System Folder: |The USB driver |.+ Version |.+ is installed\.$)/ { exit } { print text }' "$1"
}

echo "## Ostrel.dll through the test-only setupapi.dll and winusb.dll"
cd "$e2e"
WINEDLLOVERRIDES="$WINEDLLOVERRIDES;setupapi,winusb=n" scenarios profile ./ostrel_wine_e2e.exe "$@"
shipped_header=${header:-}
# After the log's checks: these programs log the same lines.
# The test-only DLLs plug the bench file of OSTREL_SHIM_BENCH; the tool refuses
# OSTREL_BENCH with Ostrel.dll, a library of real instruments.
export OSTREL_SHIM_BENCH=bench.json WINEDLLOVERRIDES="$WINEDLLOVERRIDES;setupapi,winusb=n"
check "examples/list_and_query.c, unchanged, lists its instruments" \
  grep -qE '^2 +2955-L SN30502 +2955 +30502 +VORN 2955-L' <(wine_output list_and_query.exe)
check "the ostrel tool loads Ostrel.dll and lists them with their IDs from ADDR?" \
  grep -qF '"id":12,"identity":"VORN 2955-L 0.9.8 03/15/24 SN30502"' \
  <(OSTREL_LIBRARY=Ostrel.dll wine_output ostrel.exe list --json)
unset OSTREL_SHIM_BENCH
export WINEDLLOVERRIDES="mscoree=;mshtml="

echo "## OstrelSim.dll alone"
cd "$sim"
header=
scenarios "$sim/documents" ./ostrel_sim_scenarios.exe "$@"
check "its log header reads as Ostrel.dll's" test -n "$header" -a "$header" = "$shipped_header"
output=$(OSTREL_BENCH=bench.json wine_output bench_hotplug.exe) && status=0 || status=$?
echo "$output"
check "examples/bench_hotplug.c lists the three instruments of OSTREL_BENCH with their replies" \
  grep -qzP '3 instruments\n0 +2936-R SN12345 +VORN 2936-R [^\n]*\n1 +2940-T SN20871 +VORN 2940-T [^\n]*\n2 +2955-L SN30502 +VORN 2955-L ' <<<"$output"
check "its callback sees its plug and its unplug, and it exits 0" \
  eval 'grep -qzP "\narrived: ID 3 2961-P SN40001\nleft: ID 3\n" <<<"$output" && [[ $status -eq 0 ]]'
export OSTREL_BENCH=bench.json
check "examples/cpp/list_and_query.cpp (ostrel.hpp) lists and queries them, one query timing out" \
  grep -qzP '\n1  2940-T SN20871  VORN 2940-T [^\n]*\n    MEAS:VOLT\? nothing came within 300 ms\n2  2955-L ' \
  <(wine_output list_and_query_cpp.exe)
check "examples/cpp/binary_block.cpp sends a block with NULs and reads it back" \
  grep -qzP '^block 8 bytes: 0 1 2 0 255 10 13 42\nraw 7 bytes: ' <(wine_output binary_block.exe)
check "examples/cpp/bench_monitor.cpp follows its plug and its unplug through a lambda" \
  grep -qzP '\narrived: 2961-P SN40001, VORN 2961-P [^\n]*\nleft: 2961-P SN40001\n$' <(wine_output bench_monitor.exe)
unset OSTREL_BENCH
check "ostrel.exe --bench loads OstrelSim.dll and lists the bench's instruments" \
  grep -qzE '2936-R SN12345.*2940-T SN20871.*2955-L SN30502' <(wine_output ostrel.exe --bench bench.json list)

# ostrel.exe serve has no VXI-11 (no ONC RPC engine for Windows): without
# --raw-port it says so and what to use instead.
serve_refused() {
  local output
  output=$(wine_output ostrel.exe serve --bench bench.json) && return 1
  echo "$output"
  grep -qF 'serve raw SCPI sockets with --raw-port' <<<"$output"
}
# With --raw-port, a client's query on inst2's socket is answered; Ctrl-C
# while that client is still connected closes its link and releases every
# instrument.
serve_raw() {
  local port=$((20000 + RANDOM % 20000)) output=$build/serve-raw.out reply= pid
  "$wine" ostrel.exe serve --bench bench.json --raw-port "$port" >"$output" 2>&1 </dev/null &
  pid=$!
  for _ in $(seq 1 120); do grep -q inst2 "$output" && break; sleep 0.5; done
  if exec 3<>"/dev/tcp/127.0.0.1/$((port + 2))"; then
    printf '*IDN?\n' >&3
    read -t 10 -r reply <&3 || true
  fi
  pkill -INT -f "ostrel.exe serve --bench bench.json --raw-port $port" || true
  for _ in $(seq 1 60); do grep -q 'stopped:' "$output" && break; sleep 0.5; done
  exec 3>&-
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" || true
  tr -d '\r' <"$output"
  [[ ${reply%$'\r'} == "VORN 2955-L 0.9.8 03/15/24 SN30502" ]] &&
    grep -qF 'stopped: 0 links open, every instrument released (bench handles open: 0)' "$output"
}
check "ostrel.exe serve without --raw-port refuses and points to the raw sockets" serve_refused
check "ostrel.exe serve --raw-port answers a query on a raw socket and stops cleanly on Ctrl-C" serve_raw

report
