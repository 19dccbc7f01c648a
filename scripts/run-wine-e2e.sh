#!/usr/bin/env bash
# Runs the Windows end-to-end suite (tests/windows/e2e) under Wine: the shipped
# Ostrel.dll against the simulated bench through the test-only setupapi.dll and
# winusb.dll beside the program.
#   run-wine-e2e.sh [build-dir [scenario]]   (default: build/windows-x64, all)
# Prints each check, then one line "N passed, M failed" (the program's checks
# plus this script's own).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/windows-x64}" && pwd)
shift $(($# > 0 ? 1 : 0))
suite=$build/tests/windows/e2e
program=$suite/ostrel_wine_e2e.exe
shipped=$build/src/platform/windows/Ostrel.dll

for file in "$program" "$suite/Ostrel.dll" "$suite/ostrelbench.dll" "$suite/setupapi.dll" "$suite/winusb.dll" \
            "$suite/bench.json" "$suite/list_and_query.exe" "$suite/ostrel.exe" "$shipped"; do
  [[ -f $file ]] || { echo "$file is missing: build the windows-x64 preset" >&2; exit 1; }
done

passed=0 failed=0
check() { # check <description> <command...>
  local what=$1; shift
  if "$@"; then echo "ok   - $what"; passed=$((passed + 1)); else echo "FAIL - $what"; failed=$((failed + 1)); fi
}

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
check "the suite runs the very Ostrel.dll the build produced" cmp -s "$shipped" "$suite/Ostrel.dll"
if command -v x86_64-w64-mingw32-objdump >/dev/null; then
  check "the shim setupapi.dll exports every SetupAPI call Ostrel.dll imports" \
    covers "$shipped" SETUPAPI.dll "$suite/setupapi.dll"
  check "the shim winusb.dll exports every WinUSB call Ostrel.dll imports" \
    covers "$shipped" WINUSB.DLL "$suite/winusb.dll"
fi

# A private prefix of its own (the Wine smoke tests switch Windows versions in
# theirs); setupapi and winusb from beside the program instead of Wine's own.
export WINEPREFIX=$build/wineprefix-e2e WINEDLLOVERRIDES="mscoree=;mshtml=;setupapi,winusb=n"
source "$root/scripts/wine-common.sh"
prepare_prefix
# Only this run's log lines may satisfy the check after it.
for documents in "$WINEPREFIX"/drive_c/users/*/Documents; do
  [[ -L $documents ]] || rm -rf "$documents/Log"
done

echo "## Scenarios"
cd "$suite"
run_counted "$program" "$@"

echo "## The log under the Wine profile"
logs=("$WINEPREFIX"/drive_c/users/*/Documents/Log/Log*_Native.txt)
check "the library wrote its log to Documents\\Log\\Log<date>_Native.txt in the profile" test -f "${logs[0]}"
if [[ -f ${logs[0]} ]]; then
  for line in "Device Key = 2955-L SN30502" "USB::Read ASCII Len = 5, Data = '1.234'" \
              "ReadPipe: Could not perform a read pipe operation." "WM_DEVICECHANGE"; do
    check "it holds \"$line\"" grep -qF -- ", $line"$'\r' "${logs[0]}"
  done
fi

# After the log's checks: these programs log the same lines.
echo "## Programs that know only Ostrel.dll, on the bench OSTREL_BENCH names"
wine_output() { OSTREL_BENCH=bench.json "$wine" "$@" 2>&1 | tr -d '\r'; }
check "examples/list_and_query.c, unchanged, lists its instruments" \
  grep -qE '^2 +2955-L SN30502 +2955 +30502 +VORN 2955-L' <(wine_output list_and_query.exe)
check "the ostrel tool loads Ostrel.dll and lists them with their IDs from ADDR?" \
  grep -qF '"id":12,"identity":"VORN 2955-L 0.9.8 03/15/24 SN30502"' \
  <(OSTREL_LIBRARY=Ostrel.dll wine_output ostrel.exe list --json)

echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
