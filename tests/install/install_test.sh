#!/usr/bin/env bash
# Installs a build into a scratch prefix and builds the C example against it as users do, once
# with pkg-config and once with CMake's find_package: nothing may lead back into the build tree.
#   install_test.sh <build-dir>
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "$1" && pwd)
source "$root/tests/support/checks.sh"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

echo "## cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log" || { cat "$scratch/install.log"; report; exit 1; }
pc=$(find "$prefix" -name ostrel-sim.pc)
export PKG_CONFIG_PATH=${pc%/*}
libdir=$(pkg-config --variable=libdir ostrel-sim)
check "it installs the udev rules and the licence" \
  test -f "$prefix/lib/udev/rules.d/70-ostrel.rules" -a -f "$prefix/share/doc/ostrel/LICENSE"
check "the library's soname carries its major version" \
  grep -q 'SONAME.*\[libostrel-sim\.so\.0\]' <(readelf -d "$libdir/libostrel-sim.so")
version=$(OSTREL_BENCH="$root/examples/bench.json" "$prefix/bin/ostrel" --version)
check "the installed tool reports the project's version and finds its library in the prefix" \
  test "$(head -n 1 <<<"$version"):$(sed -n 's/^library \(.*\)\.so.*/\1/p' <<<"$version")" = \
  "ostrel $(project_version "$root"):$libdir/libostrel-sim"

echo "## The C example built against the prefix"
cc "$root/examples/list_and_query.c" $(pkg-config --cflags --libs ostrel-sim) -Wl,-rpath,"$libdir" \
  -o "$scratch/pkg-config-consumer"
cmake -S "$here/consumer" -B "$scratch/cmake-consumer" -DCMAKE_PREFIX_PATH="$prefix" >"$scratch/cmake.log" &&
  cmake --build "$scratch/cmake-consumer" >>"$scratch/cmake.log" || cat "$scratch/cmake.log"
for consumer in "$scratch/pkg-config-consumer" "$scratch/cmake-consumer/consumer"; do
  name=${consumer#"$scratch"/}
  check "$name builds and asks each instrument who it is" \
    grep -q " VORN 2955-L 0.9.8 03/15/24 SN30502$" <(OSTREL_BENCH="$root/examples/bench.json" OSTREL_LOG_DIR="$scratch" \
      "$consumer" 2>&1)
  check "$name loads the library from the prefix" grep -q "libostrel-sim.so.0 => $libdir/" <(ldd "$consumer")
done

echo "## The C++ example built against the prefix (ostrel.hpp)"
c++ -std=c++17 "$root/examples/cpp/bench_monitor.cpp" $(pkg-config --cflags --libs ostrel-sim) -pthread \
  -Wl,-rpath,"$libdir" -o "$scratch/pkg-config-consumer-cpp"
for consumer in "$scratch/pkg-config-consumer-cpp" "$scratch/cmake-consumer/consumer_cpp"; do
  name=${consumer#"$scratch"/}
  check "$name builds, queries each instrument and follows a plug and an unplug" \
    grep -qzP '2955-L SN30502  VORN 2955-L [^\n]*\narrived: 2961-P SN40001, VORN 2961-P[^\n]*\nleft: 2961-P SN40001\n' \
    <(OSTREL_BENCH="$root/examples/bench.json" OSTREL_LOG_DIR="$scratch" "$consumer" 2>&1)
done

echo "## No path into the build tree"
binaries=("$prefix"/bin/* "$libdir"/lib*.so.*.*.* "$scratch/pkg-config-consumer" "$scratch/cmake-consumer/consumer"
  "$scratch/pkg-config-consumer-cpp" "$scratch/cmake-consumer/consumer_cpp")
for binary in "${binaries[@]}"; do
  check "${binary#"$scratch"/}: neither its RUNPATH nor ldd names the build tree" \
    eval '! readelf -d "$binary" | grep -E "R(UN)?PATH" | grep -qF "$build" && ! ldd "$binary" | grep -qF "$build"'
done
check "no installed file names the build or source tree" eval '! grep -rlF -e "$build" -e "$root" "$prefix"'
report
