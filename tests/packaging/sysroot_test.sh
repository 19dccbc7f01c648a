#!/usr/bin/env bash
# Installs the Debian packages of `make package` with dpkg into a scratch root (dpkg --root, the
# maintainer scripts run outside it with DPKG_ROOT set, as for an image build), runs the tool and
# the Python package from the installed files alone, and removes them again.
#   sysroot_test.sh <folder with the .deb files>
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/tests/support/checks.sh"
folder=$(cd "$1" && pwd)
version=$(project_version "$root")
lib=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sysroot=$scratch/root
mkdir -p "$sysroot/var/lib/dpkg/info" "$sysroot/var/lib/dpkg/updates"
touch "$sysroot/var/lib/dpkg/status"
# The scratch root holds no libc or Python of its own: the dependencies are the host's (Debian's
# /usr/bin/python3, which has PyVISA, not whichever python3 comes first on PATH).
dpkg_root() { dpkg --root="$sysroot" --force-script-chrootless --force-depends --log=/dev/null "$@" >>"$scratch/dpkg.log" 2>&1; }

echo "## dpkg --root $sysroot --install"
packages=("$folder"/libostrel0_*.deb "$folder"/libostrel-dev_*.deb "$folder"/ostrel-tools_*.deb "$folder"/python3-ostrel_*.deb)
check "dpkg installs the four packages and their scripts succeed" dpkg_root --install "${packages[@]}" ||
  cat "$scratch/dpkg.log"
check "all four are installed" \
  test "$(dpkg-query --admindir="$sysroot/var/lib/dpkg" -W -f='${db:Status-Abbrev}\n' | grep -c '^ii')" = 4
check "ostrel-tools' postinst made the gateway's system user and group" \
  eval 'grep -q "^ostrel:x:[0-9]*:[0-9]*:Ostrel LAN gateway:/nonexistent:" "$sysroot/etc/passwd" &&
        grep -q "^ostrel:x:" "$sysroot/etc/group"'

version_out=$(env -u OSTREL_BENCH -u OSTREL_LIBRARY LD_LIBRARY_PATH="$sysroot$lib" "$sysroot/usr/bin/ostrel" --version 2>&1)
check "the installed tool runs and loads the installed library" test "$version_out" = \
  "ostrel $version"$'\n'"library $sysroot$lib/libostrel.so.$version (real instruments)" || echo "$version_out"
python_out=$(cd "$scratch" && env -u OSTREL_BENCH PYTHONPATH="$sysroot/usr/lib/python3/dist-packages" \
  PYTHONDONTWRITEBYTECODE=1 OSTREL_LIBRARY="$sysroot$lib/libostrel-sim.so.0" OSTREL_LOG_DIR="$scratch" /usr/bin/python3 -c '
import ostrel, ostrel.sim, pyvisa_ostrel, sys
with ostrel.sim.bench(sys.argv[1]):
    print(ostrel.__file__, len(ostrel.discover()))' "$root/examples/bench.json" 2>&1)
check "the installed Python package imports and discovers the bench's instruments" \
  test "$python_out" = "$sysroot/usr/lib/python3/dist-packages/ostrel/__init__.py 3" || echo "$python_out"

echo "## dpkg --root $sysroot --purge"
mkdir -p "$sysroot/var/log/ostrel"
check "dpkg purges them and their scripts succeed" \
  dpkg_root --purge python3-ostrel ostrel-tools libostrel-dev libostrel0 || cat "$scratch/dpkg.log"
check "nothing of them is left but the system user" \
  test -z "$(cd "$sysroot" && find . ! -type d ! -path './var/lib/dpkg/*' ! -path './etc/*' -print)$(ls "$sysroot/var/log")"
report
