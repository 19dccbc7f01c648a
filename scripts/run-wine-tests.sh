#!/usr/bin/env bash
# Runs the Windows test program (tests/windows) under Wine, once per Windows version.
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

echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
