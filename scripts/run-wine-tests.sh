#!/usr/bin/env bash
# Runs the Windows test program (tests/windows) under Wine, once per Windows version,
# then once more with a copy of Ostrel.dll in the system folder.
#   run-wine-tests.sh [build-dir]        (default: build/windows-x64)
# WINE_VERSIONS picks the versions Wine pretends to be (default below).
# Prints each check, then one line "N passed, M failed" over all versions.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/windows-x64}" && pwd)
program=$build/tests/windows/ostrel_wine_tests.exe
versions=${WINE_VERSIONS:-win10 win8 win7 vista winxp64}

[[ -f $program && -f $(dirname "$program")/Ostrel.dll ]] ||
  { echo "$program or Ostrel.dll beside it is missing: build the windows-x64 preset" >&2; exit 1; }

# A private prefix, with Wine's own setupapi and winusb.
export WINEPREFIX=$build/wineprefix WINEDLLOVERRIDES="mscoree=;mshtml="
source "$root/scripts/wine-common.sh"
prepare_prefix

passed=0 failed=0
cd "$(dirname "$program")"
# Applications may find the library's copy in the system folder; only the last run puts one there.
system_copy=$WINEPREFIX/drive_c/windows/system32/ostrel.dll
rm -f "$system_copy"
for version in $versions; do
  echo "## Windows version: $version"
  if ! "$wine" winecfg /v "$version" >/dev/null 2>&1; then
    echo "FAIL - Wine cannot pretend to be $version"
    failed=$((failed + 1))
    continue
  fi
  run_counted "$program"
done
"$wine" winecfg /v win10 >/dev/null 2>&1 || true

echo "## Ostrel.dll copied into the system folder"
cp Ostrel.dll "$system_copy"
run_counted "$program" system-copy
rm -f "$system_copy"

echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
