#!/usr/bin/env bash
# Fails unless a built library exports exactly the public API, and (Windows)
# at the fixed ordinals, under its module name, importing only system DLLs.
# With ostrel_sim_ as extra prefix, the bench's control API (ostrel_sim.h) is
# exported too; on Windows it follows the 26 at ordinals in header order, and
# the SetupAPI and WinUSB calls are the DLL's own, not imports.
#   check-exports.sh linux <lib.so> [ostrel_sim_]
#   check-exports.sh windows <Ostrel.dll | OstrelSim.dll> [ostrel_sim_]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
header=$root/include/ostrel.h
sim_header=$root/include/ostrel_sim.h
def=$root/src/api/Ostrel.def

usage() { echo "usage: $0 linux|windows <library> [ostrel_sim_]" >&2; exit 2; }
[[ $# -ge 2 ]] || usage
mode=$1 lib=$2 extra=${3:-}
[[ -z $extra || $extra == ostrel_sim_ ]] || usage
[[ -f $lib ]] || { echo "FAIL: $lib does not exist" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# The public names as the header declares them: "OSTREL_API <type> OSTREL_CALL name(".
grep -o 'OSTREL_CALL [A-Za-z_][A-Za-z0-9_]*(' "$header" | sed 's/^OSTREL_CALL //; s/($//' \
  | sort -u >"$tmp/api"
# "name @ordinal" from the module definition, and its names alone.
awk '$2 ~ /^@[0-9]+$/ { print $1, substr($2, 2) }' "$def" | sort >"$tmp/def"
cut -d' ' -f1 "$tmp/def" | sort -u >"$tmp/def-names"

[[ $(wc -l <"$tmp/api") -eq 26 ]] || fail "include/ostrel.h declares $(wc -l <"$tmp/api") functions, not 26"
if ! diff -u "$tmp/api" "$tmp/def-names" >"$tmp/diff"; then
  fail "include/ostrel.h and src/api/Ostrel.def name different functions:"; cat "$tmp/diff"
fi
# The bench's control API in header order: "OSTREL_API <type> ostrel_sim_<name>(".
: >"$tmp/extra-api"
if [[ -n $extra ]]; then
  grep -E "^OSTREL_API .*\b$extra[a-z_]+\(" "$sim_header" | grep -oE "$extra[a-z_]+" >"$tmp/extra-api"
  [[ -s $tmp/extra-api ]] || fail "include/ostrel_sim.h declares no $extra function"
fi

check_linux() {
  # Symbols the linker itself defines in some versions; they are not ours.
  local linker_defined='^(_init|_fini|_edata|_end|__bss_start)$'
  nm -D --defined-only "$lib" | awk 'NF == 3 { print $3 }' | sed 's/@.*//' \
    | grep -Ev "$linker_defined" | sort -u >"$tmp/exported"
  sort -u "$tmp/api" "$tmp/extra-api" >"$tmp/public"
  comm -23 "$tmp/public" "$tmp/exported" | sed 's/^/FAIL: not exported: /'
  comm -13 "$tmp/public" "$tmp/exported" | sed 's/^/FAIL: exported but not public: /'
  if ! cmp -s "$tmp/public" "$tmp/exported"; then failures=$((failures + 1)); fi
}

check_windows() {
  local objdump=x86_64-w64-mingw32-objdump
  "$objdump" -p "$lib" >"$tmp/pe"

  local module expected=Ostrel.dll
  [[ -z $extra ]] || expected=OstrelSim.dll
  module=$(awk '$1 == "Name" && NF == 3 { print $3; exit }' "$tmp/pe")
  [[ $module == "$expected" ]] || fail "export directory names the module '$module', not $expected"

  # objdump prints each name with its index into the address table; the
  # ordinal is that index plus the ordinal base.
  local base
  base=$(awk '/^Export Address Table -- Ordinal Base/ { print $NF; exit }' "$tmp/pe")
  [[ -n $base ]] || { fail "no export table"; base=1; }
  awk -v base="$base" '
    /^\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && /^[[:space:]]*$/ { on = 0 }
    on { gsub(/[][]/, " "); print $2, $1 + base }' "$tmp/pe" | sort >"$tmp/exported"
  # The 26 at their ordinals, then the extra functions numbered on in header order.
  awk -v first="$(wc -l <"$tmp/def")" '{ print $1, first + NR }' "$tmp/extra-api" | sort -u - "$tmp/def" >"$tmp/expected"
  if ! diff -u "$tmp/expected" "$tmp/exported" >"$tmp/diff"; then
    fail "exports differ from src/api/Ostrel.def${extra:+ and then ostrel_sim.h} (name ordinal; - expected, + found):"
    cat "$tmp/diff"
  fi

  # Windows' own DLLs only: the C++ runtime and winpthread must be linked in.
  local allowed='^(kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|setupapi|winusb|version|cfgmgr32|ntdll|msvcrt|ucrtbase|ws2_32|bcrypt|api-ms-win-crt-[a-z0-9-]+|api-ms-win-core-[a-z0-9-]+)\.dll$'
  awk '/DLL Name:/ { print $3 }' "$tmp/pe" | sort -u >"$tmp/imports"
  while read -r dll; do
    grep -Eqi "$allowed" <<<"$dll" || fail "imports $dll, which is not a Windows system DLL"
    # The bench's DLL answers the SetupAPI and WinUSB calls itself.
    if [[ -n $extra ]] && grep -Eqi '^(setupapi|winusb)\.dll$' <<<"$dll"; then
      fail "imports $dll: the simulated bench must stand in for it"
    fi
  done <"$tmp/imports"
}

case $mode in
  linux) check_linux ;;
  windows) check_windows ;;
  *) usage ;;
esac

if [[ $failures -ne 0 ]]; then
  echo "$lib: export check failed"
  exit 1
fi
echo "$lib: exports OK"
