#!/usr/bin/env bash
# Builds Ostrel as a subproject (add_subdirectory) of a consumer, with its defaults for one: the
# libraries alone. pkg-config sees only libusb and libudev, and CLI11 cannot be found, as on a
# machine without the tool's dependencies (CLI11, libedit, libtirpc).
#   subproject_test.sh
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$root/tests/support/checks.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "## add_subdirectory(ostrel), pkg-config limited to libusb-1.0 and libudev"
mkdir "$scratch/pc"
for module in libusb-1.0 libudev; do
  pc=$(pkg-config --variable=pcfiledir "$module")/$module.pc && ln -s "$pc" "$scratch/pc/"
done
export PKG_CONFIG_PATH="" PKG_CONFIG_LIBDIR=$scratch/pc
build=$scratch/build
check "it configures without CLI11, libedit or libtirpc" \
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON \
    -DOSTREL_EXPECT_REAL_LIBRARY=ON >"$scratch/configure.log" 2>&1 || cat "$scratch/configure.log"
check "it builds the consumer" cmake --build "$build" -j2 >"$scratch/build.log" 2>&1 || tail -30 "$scratch/build.log"
check "the consumer runs on the simulated bench" \
  grep -q " VORN 2955-L 0.9.8 03/15/24 SN30502$" <(OSTREL_BENCH="$root/examples/bench.json" OSTREL_LOG_DIR="$scratch" \
    "$build/consumer" 2>&1)
check "neither the tool, the examples nor the tests are built" \
  test -z "$(find "$build/ostrel" -type f \( -name ostrel -o -name list_and_query -o -name '*_tests' \))"
check "the real library is built too" test -f "$build/ostrel/src/platform/libusb/libostrel.so.0"
report
