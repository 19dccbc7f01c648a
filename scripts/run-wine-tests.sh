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

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[[ -x $wine ]] || { echo "wine64 not found (scripts/install-deps.sh installs it)" >&2; exit 1; }
[[ -f $program && -f $(dirname "$program")/Ostrel.dll ]] ||
  { echo "$program or Ostrel.dll beside it is missing: build the windows-x64 preset" >&2; exit 1; }

# A private prefix, no display, no Wine chatter; Mono and Gecko are not wanted
# (and could not be downloaded anyway).
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all DISPLAY='' WINEDLLOVERRIDES="mscoree=;mshtml="
wineserver=$(dirname "$wine")/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || echo wineserver)
# Wine's server outlives the programs for a few seconds; wait for it so that
# nothing is left running.
trap '"$wineserver" -w 2>/dev/null || true' EXIT

if [[ ! -f $WINEPREFIX/.ostrel-ready ]]; then
  echo "creating the Wine prefix $WINEPREFIX (once; takes a while)"
  rm -rf "$WINEPREFIX"
  "$wine" wineboot -i >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log" >&2; exit 1; }
  "$wineserver" -w
  touch "$WINEPREFIX/.ostrel-ready"
fi

passed=0 failed=0
cd "$(dirname "$program")"
for version in $versions; do
  echo "## Windows version: $version"
  if ! "$wine" winecfg /v "$version" >/dev/null 2>&1; then
    echo "FAIL - Wine cannot pretend to be $version"
    failed=$((failed + 1))
    continue
  fi
  # Wine's console writes CR LF; the counts line is read back below. Each test
  # has its own time limit inside the program; this one is for Wine itself.
  out=$(timeout 900 "$wine" "$program" 2>&1 | tr -d '\r') && status=0 || status=$?
  echo "$out"
  counts=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$out" | tail -n 1 || true)
  if [[ -z $counts ]]; then
    echo "FAIL - the program ended (status $status) without reporting its counts"
    failed=$((failed + 1))
    continue
  fi
  read -r p _ f _ <<<"${counts//,/}"
  passed=$((passed + p)) failed=$((failed + f))
  if [[ $status -ne 0 && $f -eq 0 ]]; then
    echo "FAIL - the program exited with status $status"
    failed=$((failed + 1))
  fi
done
"$wine" winecfg /v win10 >/dev/null 2>&1 || true

echo "$passed passed, $failed failed"
[[ $failed -eq 0 && $passed -gt 0 ]]
