# What the Wine runners share: finding Wine, a private prefix, and running a
# Windows test program whose output closes with "N passed, M failed".
# Sourced by run-wine-tests.sh and run-wine-e2e.sh, which set $build,
# WINEPREFIX and WINEDLLOVERRIDES first and keep $passed and $failed.

wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[[ -x $wine ]] || { echo "wine64 not found (scripts/install-deps.sh installs it)" >&2; exit 1; }
wineserver=$(dirname "$wine")/wineserver64
[[ -x $wineserver ]] || wineserver=$(command -v wineserver || echo wineserver)
export WINEDEBUG=-all DISPLAY=''
# Wine's server outlives the programs for a few seconds; wait for it so that
# nothing is left running.
trap '"$wineserver" -w 2>/dev/null || true' EXIT

# prepare_prefix: creates $WINEPREFIX once. Mono and Gecko are not wanted (and
# could not be downloaded anyway). Wine links the profile's Documents to the
# Unix home, which every prefix on the machine shares: each prefix gets a
# folder of its own, so that its logs touch nobody else's.
prepare_prefix() {
  [[ -f $WINEPREFIX/.ostrel-ready ]] && return 0
  echo "creating the Wine prefix $WINEPREFIX (once; takes a while)"
  rm -rf "$WINEPREFIX"
  local log=$build/wineboot-$(basename "$WINEPREFIX").log
  WINEDLLOVERRIDES="mscoree=;mshtml=" timeout 600 "$wine" wineboot -i >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
  "$wineserver" -w
  local documents
  for documents in "$WINEPREFIX"/drive_c/users/*/Documents; do
    [[ -L $documents ]] && rm "$documents" && mkdir "$documents"
  done
  touch "$WINEPREFIX/.ostrel-ready"
}

# run_counted <program> [arguments...]: runs it under Wine, shows its output and
# adds its closing counts to $passed and $failed. No counts line, or a failing
# status without a failed check, counts as one failure. The program bounds each
# of its tests; this limit is for Wine itself.
run_counted() {
  local out status counts p f
  out=$(timeout 900 "$wine" "$@" 2>&1 | tr -d '\r') && status=0 || status=$?
  echo "$out"
  counts=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$out" | tail -n 1 || true)
  if [[ -z $counts ]]; then
    echo "FAIL - the program ended (status $status) without reporting its counts"
    failed=$((failed + 1))
    return
  fi
  read -r p _ f _ <<<"${counts//,/}"
  passed=$((passed + p)) failed=$((failed + f))
  if [[ $status -ne 0 && $f -eq 0 ]]; then
    echo "FAIL - the program exited with status $status"
    failed=$((failed + 1))
  fi
}
