#!/usr/bin/env bash
# Checks the Debian packages of `make package` as Debian's tools see them: lintian finds
# nothing; each file where Debian puts it, the control fields and dependencies, the debug
# symbols, no RPATH and no build paths. (sysroot_test.sh installs them.)
#   deb_test.sh <folder with the .deb files>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/support/checks.sh"
folder=$(cd "$1" && pwd)
version=$(project_version "$root")
arch=$(dpkg --print-architecture)
lib=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# expect <package> <Depends pattern> [architecture], with the files and links it holds on
# stdin; unpacks it into $scratch/root and its control files into $scratch/<package>.
expect() {
  local architecture=${3:-$arch}
  local deb=$folder/${1}_${version}_$architecture.deb
  echo "## $1"
  check "$deb exists" test -f "$deb" || return
  check "Package, Version and Architecture are $1, $version, $architecture" \
    test "$(dpkg-deb -f "$deb" Package Version Architecture)" = \
    $'Package: '"$1"$'\nVersion: '"$version"$'\nArchitecture: '"$architecture"
  check "it depends on $2" grep -qE "^$2" <(dpkg-deb -f "$deb" Depends)
  diff <(sort) <(dpkg-deb -c "$deb" | awk '$NF !~ /\/$/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
                 sed 's|^\./|/|' | sort) >"$scratch/diff"
  check "it holds exactly the files and links wanted" test ! -s "$scratch/diff" || cat "$scratch/diff"
  dpkg-deb -x "$deb" "$scratch/root"
  dpkg-deb -e "$deb" "$scratch/$1"
}

# docs <package>: its copyright file and changelog, which every package carries.
docs() { printf '/usr/share/doc/%s/changelog.gz\n/usr/share/doc/%s/copyright\n' "$1" "$1"; }

echo "## lintian"
lintian --allow-root "$folder"/*.deb >"$scratch/lintian" 2>&1
check "lintian finds nothing in $(ls "$folder"/*.deb | wc -l) packages" test ! -s "$scratch/lintian" || cat "$scratch/lintian"

expect libostrel0 '.*libudev1 .*libusb-1\.0-0 ' <<END
$lib/libostrel-sim.so.0 -> libostrel-sim.so.$version
$lib/libostrel-sim.so.$version
$lib/libostrel.so.0 -> libostrel.so.$version
$lib/libostrel.so.$version
$(docs libostrel0)
END
check "its ldconfig runs by trigger, not by a script of its own" \
  test "$(grep -v '^#' "$scratch/libostrel0/triggers"):$(echo $(ls "$scratch/libostrel0"))" = \
  "activate-noawait ldconfig:control md5sums shlibs triggers"
check "the copyright file holds the licence" grep -q "^License: Expat" "$scratch/root/usr/share/doc/libostrel0/copyright"
check "the changelog's latest entry is this version" \
  test "$(zcat "$scratch/root/usr/share/doc/libostrel0/changelog.gz" | head -n 1)" = "ostrel ($version) unstable; urgency=medium"
check "its shlibs name both libraries" test "$(cat "$scratch/libostrel0/shlibs")" = \
  "libostrel-sim 0 libostrel0 (>= $version)"$'\n'"libostrel 0 libostrel0 (>= $version)"

expect libostrel-dev "libostrel0 \(= $version\)" <<END
/usr/include/ostrel.h
/usr/include/ostrel.hpp
/usr/include/ostrel_sim.h
$lib/libostrel-sim.so -> libostrel-sim.so.0
$lib/libostrel.so -> libostrel.so.0
$lib/pkgconfig/ostrel-sim.pc
$lib/pkgconfig/ostrel.pc
$lib/cmake/Ostrel/OstrelConfig.cmake
$lib/cmake/Ostrel/OstrelConfigVersion.cmake
$lib/cmake/Ostrel/OstrelTargets.cmake
$lib/cmake/Ostrel/OstrelTargets-release.cmake
$(docs libostrel-dev)
END
check "ostrel.pc names /usr as its prefix" grep -qx 'prefix=/usr' "$scratch/root$lib/pkgconfig/ostrel.pc"

expect ostrel-tools "libostrel0 \(= $version\), .*libc6" <<END
/etc/ostrel/serve.conf
/usr/bin/ostrel
/usr/lib/systemd/system/ostrel-serve.service
/usr/lib/sysusers.d/ostrel.conf
/usr/lib/udev/rules.d/70-ostrel.rules
/usr/share/doc/ostrel/README.md
/usr/share/doc/ostrel/architecture.md
/usr/share/doc/ostrel/bench.md
/usr/share/doc/ostrel/cpp.md
/usr/share/doc/ostrel/lan.md
/usr/share/doc/ostrel/linux.md
/usr/share/man/man1/ostrel.1.gz
$(docs ostrel-tools)
END
documents=$(sed -n 's|^Documentation=file://||p' "$scratch/root/usr/lib/systemd/system/ostrel-serve.service")
check "the documents its unit names are in it" test -f "$scratch/root$documents"
check "the manual page is the tool's own help" zgrep -qF 'udev\-rule' "$scratch/root/usr/share/man/man1/ostrel.1.gz"
check "the gateway's options file is a conffile" test "$(cat "$scratch/ostrel-tools/conffiles")" = /etc/ostrel/serve.conf
check "the service runs the packaged tool with the packaged options file" \
  grep -qx 'ExecStart=/usr/bin/ostrel --config /etc/ostrel/serve.conf serve' "$scratch/root/usr/lib/systemd/system/ostrel-serve.service"
# The options file parses (status 2 would be a refused option); the address given after it ends serve at once.
LD_LIBRARY_PATH="$scratch/root$lib" "$scratch/root/usr/bin/ostrel" --config "$scratch/root/etc/ostrel/serve.conf" \
  --bench "$root/examples/bench.json" serve --listen no-address >"$scratch/serve.out" 2>&1
status=$?
check "the tool takes the service's options file" grep -q "cannot listen on 'no-address'" "$scratch/serve.out" ||
  { echo "status $status"; cat "$scratch/serve.out"; }

python=/usr/lib/python3/dist-packages
expect python3-ostrel "libostrel0 \(= $version\), python3:any" all < <(cd "$root/python" && find ostrel pyvisa_ostrel -type f ! -path '*__pycache__*' |
  sed "s|^|$python/|"; docs python3-ostrel)
check "its description keeps its quotes" grep -qF 'ResourceManager("@ostrel")' <(dpkg-deb -f "$folder"/python3-ostrel_*.deb Description)

# The debug symbols of each binary, where gdb looks for them by its build ID.
for package in libostrel0 ostrel-tools; do
  binaries=("$scratch/root$lib"/*.so.*.*.*)
  [[ $package == ostrel-tools ]] && binaries=("$scratch/root/usr/bin/ostrel")
  expect $package-dbgsym "$package \(= $version\)" < <(
    for binary in "${binaries[@]}"; do
      echo "/usr/lib/debug/.build-id/$(readelf -n "$binary" | sed -n 's|.*Build ID: \(..\)\(.*\)|\1/\2|p').debug"
    done
    echo "/usr/share/doc/$package-dbgsym -> $package")
done

echo "## All packages"
# Only the debug symbols name the source files, for the debugger.
check "no file names the build or source tree" \
  eval '! grep -rlF --exclude-dir=debug -e "$folder" -e "$root" "$scratch/root"'
for binary in "$scratch/root/usr/bin/ostrel" "$scratch/root$lib"/*.so.*.*.*; do
  check "${binary#"$scratch/root"} is stripped and has no RPATH or RUNPATH" \
    eval '! readelf -d "$binary" | grep -qE "R(UN)?PATH" && ! readelf -S "$binary" | grep -q "\.debug_info"'
done
report
