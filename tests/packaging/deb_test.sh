#!/usr/bin/env bash
# Checks the Debian packages of `make package` as dpkg sees them: each file where Debian
# puts it, the control fields and dependencies, the maintainer scripts, and no build paths.
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

# expect <package> <Depends pattern>, with the files and links it holds on stdin;
# unpacks it into $scratch/root and its control files into $scratch/<package>.
expect() {
  local deb=$folder/${1}_${version}_$arch.deb
  echo "## $1"
  check "$deb exists" test -f "$deb" || return
  check "Package, Version and Architecture are $1, $version, $arch" \
    test "$(dpkg-deb -f "$deb" Package Version Architecture)" = $'Package: '"$1"$'\nVersion: '"$version"$'\nArchitecture: '"$arch"
  check "it depends on $2" grep -qE "^$2" <(dpkg-deb -f "$deb" Depends)
  diff <(sort) <(dpkg-deb -c "$deb" | awk '$NF !~ /\/$/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' |
                 sed 's|^\./|/|' | sort) >"$scratch/diff"
  check "it holds exactly the files and links wanted" test ! -s "$scratch/diff" || cat "$scratch/diff"
  dpkg-deb -x "$deb" "$scratch/root"
  dpkg-deb -e "$deb" "$scratch/$1"
}

expect libostrel0 '.*libudev1 .*libusb-1\.0-0 ' <<END
$lib/libostrel-sim.so.0 -> libostrel-sim.so.$version
$lib/libostrel-sim.so.$version
$lib/libostrel.so.0 -> libostrel.so.$version
$lib/libostrel.so.$version
END
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
/usr/share/doc/ostrel/README.md
/usr/share/doc/ostrel/architecture.md
/usr/share/doc/ostrel/bench.md
/usr/share/doc/ostrel/cpp.md
/usr/share/doc/ostrel/lan.md
/usr/share/doc/ostrel/linux.md
END
check "ostrel.pc names /usr as its prefix" grep -qx 'prefix=/usr' "$scratch/root$lib/pkgconfig/ostrel.pc"

expect ostrel-tools "libostrel0 \(= $version\), .*libc6" <<END
/etc/ostrel/serve.conf
/usr/bin/ostrel
/usr/lib/systemd/system/ostrel-serve.service
/usr/lib/udev/rules.d/70-ostrel.rules
END
check "the gateway's options file is a conffile" test "$(cat "$scratch/ostrel-tools/conffiles")" = /etc/ostrel/serve.conf
check "the service runs the packaged tool with the packaged options file" \
  grep -qx 'ExecStart=/usr/bin/ostrel --config /etc/ostrel/serve.conf serve' "$scratch/root/usr/lib/systemd/system/ostrel-serve.service"
# The options file parses (status 2 would be a refused option); the address given after it ends serve at once.
LD_LIBRARY_PATH="$scratch/root$lib" "$scratch/root/usr/bin/ostrel" --config "$scratch/root/etc/ostrel/serve.conf" \
  --bench "$root/examples/bench.json" serve --listen no-address >"$scratch/serve.out" 2>&1
status=$?
check "the tool takes the service's options file" grep -q "cannot listen on 'no-address'" "$scratch/serve.out" ||
  { echo "status $status"; cat "$scratch/serve.out"; }
# A udev that is missing or fails must never fail the installation.
mkdir "$scratch/bin" && printf '#!/bin/sh\nexit 1\n' >"$scratch/bin/udevadm" && chmod +x "$scratch/bin/udevadm"
for script in postinst postrm; do
  check "its $script never fails, whatever udev does" env PATH="$scratch/bin:$PATH" sh "$scratch/ostrel-tools/$script" configure
done

echo "## All packages"
check "no file names the build or source tree" eval '! grep -rlF -e "$folder" -e "$root" "$scratch/root"'
check "the tool has no RUNPATH" eval '! readelf -d "$scratch/root/usr/bin/ostrel" | grep -q RUNPATH'
report
