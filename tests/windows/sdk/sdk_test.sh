#!/usr/bin/env bash
# Checks the Windows SDK zip of `make dist` as a Windows developer gets it: its files, the
# stripped DLLs and their debug links, the version resources, Ostrel.lib and OstrelSim.lib
# in an MSVC-style link (clang for the MSVC target, lld-link, no C runtime) run under Wine,
# and the bench example built with MinGW against libOstrelSim.dll.a.
#   sdk_test.sh <ostrel-<version>-win64.zip> <windows build dir (for its Wine prefix)>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
source "$root/tests/support/checks.sh"
zip=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
build=$(cd "$2" && pwd)
version=$(project_version "$root")
top=ostrel-$version-win64
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "## $zip"
(cd "$scratch" && cmake -E tar xf "$zip") || { echo "FAIL - cannot unpack it"; exit 1; }
sdk=$scratch/$top
diff <(printf '%s\n' LICENSE README-windows.md bin/Ostrel.dll bin/Ostrel.dll.debug bin/OstrelSim.dll bin/OstrelSim.dll.debug \
                     bin/ostrel.exe bindings/Ostrel.cs examples/bench.json examples/bench_hotplug.c include/ostrel.h \
                     include/ostrel.hpp include/ostrel_sim.h lib/Ostrel.lib lib/OstrelSim.lib lib/libOstrel.dll.a lib/libOstrelSim.dll.a) \
     <(cd "$sdk" && find . -type f ! -path './python/*' | sed 's|^\./||' | sort) >"$scratch/diff"
check "it holds the SDK's files under $top/" test ! -s "$scratch/diff" || cat "$scratch/diff"
if [[ -d $root/python/ostrel ]]; then
  check "it holds the Python packages" test -f "$sdk/python/ostrel/__init__.py" -a -d "$sdk/python/pyvisa_ostrel"
fi

objdump=x86_64-w64-mingw32-objdump
for dll in Ostrel.dll OstrelSim.dll; do
  check "$dll carries no debug data" eval '! $objdump -h "$sdk/bin/$dll" | grep -q "\.debug_"'
  check "$dll.debug holds it" eval '$objdump -h "$sdk/bin/$dll.debug" | grep -q "\.debug_info"'
  x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$scratch/debuglink" "$sdk/bin/$dll" "$scratch/copy.dll"
  check "$dll's debug link names $dll.debug with its CRC" python3 -c '
import struct, sys, zlib
link, debug = open(sys.argv[1], "rb").read(), open(sys.argv[2], "rb").read()
sys.exit(link[:link.index(b"\0")] != sys.argv[3].encode() or struct.unpack("<I", link[-4:])[0] != zlib.crc32(debug))' \
    "$scratch/debuglink" "$sdk/bin/$dll.debug" "$dll.debug"
done

# The fixed part of a version resource: its signature, structure version, then file and
# product version as two little-endian words each (major << 16 | minor, patch << 16).
le32() { printf '%02x%02x%02x%02x' $(($1 & 255)) $(($1 >> 8 & 255)) $(($1 >> 16 & 255)) $(($1 >> 24 & 255)); }
IFS=. read -r major minor patch <<<"$version"
words=$(le32 $((major << 16 | minor)))$(le32 $((patch << 16)))
fixed=bd04effe00000100$words$words
for binary in Ostrel.dll OstrelSim.dll ostrel.exe; do
  check "$binary's version resource holds $version" eval '$objdump -s -j .rsrc "$sdk/bin/$binary" |
    awk "NF > 1 && \$1 ~ /^[0-9a-f]+\$/ { print \$2 \$3 \$4 \$5 }" | tr -d "\n" | grep -q "$fixed" &&
    strings -el "$sdk/bin/$binary" | grep -A1 -x ProductVersion | grep -qx "$version"'
done

echo "## An MSVC-style program linked against lib/Ostrel.lib, and against lib/OstrelSim.lib"
printf 'LIBRARY kernel32.dll\nEXPORTS\n  GetStdHandle\n  WriteFile\n  ExitProcess\n' >"$scratch/kernel32.def"
check "it compiles without a C runtime" eval 'llvm-dlltool -m i386:x86-64 -d "$scratch/kernel32.def" -l "$scratch/kernel32.lib" &&
  clang --target=x86_64-pc-windows-msvc -O1 -ffreestanding -fno-stack-protector -Wall -Werror -I"$sdk/include" \
    -c "$here/msvc_consumer.c" -o "$scratch/msvc_consumer.obj"'
for library in Ostrel OstrelSim; do
  check "it links against $library.lib and imports from $library.dll by name" eval 'lld-link -nologo -entry:start \
    -subsystem:console -nodefaultlib -out:"$sdk/bin/msvc_$library.exe" "$scratch/msvc_consumer.obj" \
    "$sdk/lib/$library.lib" "$scratch/kernel32.lib" && $objdump -p "$sdk/bin/msvc_$library.exe" | grep -qx "	DLL Name: $library.dll"'
done

echo "## Its examples/bench_hotplug.c built with MinGW against lib/libOstrelSim.dll.a"
check "it builds, and of Ostrel's DLLs it imports OstrelSim.dll alone" eval 'x86_64-w64-mingw32-gcc -Wall -Werror \
  -I"$sdk/include" "$sdk/examples/bench_hotplug.c" -L"$sdk/lib" -lOstrelSim -o "$scratch/bench_hotplug.exe" &&
  test "$($objdump -p "$scratch/bench_hotplug.exe" | grep -i "DLL Name: ostrel")" = "	DLL Name: OstrelSim.dll"'

export WINEPREFIX=$build/wineprefix WINEDLLOVERRIDES="mscoree=;mshtml="
source "$root/scripts/wine-common.sh"
trap '"$wineserver" -w 2>/dev/null; rm -rf "$scratch"' EXIT
prepare_prefix
cd "$sdk/bin"
for library in Ostrel OstrelSim; do
  [[ -f msvc_$library.exe ]] && check "it runs under Wine, its calls into $library.dll succeeding" "$wine" "msvc_$library.exe"
done
check "bin/ostrel.exe runs and reports $version" \
  test "$("$wine" ostrel.exe --version | tr -d '\r' | head -n 1)" = "ostrel $version"
report
