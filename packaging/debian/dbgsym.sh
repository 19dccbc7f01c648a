#!/usr/bin/env bash
# Makes a -dbgsym package of CPack's (.ddeb) what Debian's tools build, as a .deb:
# md5sums with the package's own paths (CPack writes its staging folder's), and
# /usr/share/doc/<package>-dbgsym a link to the package's documents (its copyright
# and changelog), which the dbgsym package depends on at the same version.
#   dbgsym.sh <.ddeb> <folder for the .deb>
set -euo pipefail
ddeb=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -R "$ddeb" "$scratch/root"
package=$(dpkg-deb -f "$ddeb" Package)
mkdir -p "$scratch/root/usr/share/doc"
ln -s "${package%-dbgsym}" "$scratch/root/usr/share/doc/$package"
(cd "$scratch/root" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
dpkg-deb --root-owner-group -Zxz -b "$scratch/root" "$2/$(basename "$ddeb" .ddeb).deb" >/dev/null
